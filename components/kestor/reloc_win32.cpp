#include "components/kestor/reloc_win32.h"

#include <algorithm>

#include "base/check.h"
#include "base/logging.h"
#include "base/strings.h"

namespace kestor {
namespace {

constexpr std::uint64_t kBlockHeaderSize = 8;
constexpr std::uint64_t kEntrySize = 2;
constexpr std::uint32_t kPageSize = 0x1000;

// Update logs name these lines by their source line, which therefore stays the same.
constexpr int kInvalidRvaLine = 193;
constexpr int kReaderRangeCheckLine = 61;

void LogInvalidRva(offset_t location) {
  LOG_AT(ERROR, kInvalidRvaLine) << "Invalid RVA at " << base::FormatString("%08X", location) << ".";
}

}  // namespace

bool FindRelocBlocks(ConstBufferView image, RelocRegion region, std::vector<offset_t>* block_offsets) {
  block_offsets->clear();
  if (region.size >= kOffsetBound) return false;
  CHECK_LE(region.offset, image.size());
  CHECK_LE(region.size, image.size() - region.offset);
  const std::uint64_t end = region.offset + region.size;
  std::uint64_t cursor = region.offset;
  while (end - cursor >= kBlockHeaderSize) {
    block_offsets->push_back(static_cast<offset_t>(cursor));
    const std::uint32_t size_of_block = image.read<std::uint32_t>(static_cast<std::size_t>(cursor + 4));
    if (size_of_block < kBlockHeaderSize || size_of_block % 4 != 0 || size_of_block > end - cursor) return false;
    cursor += size_of_block;
  }
  return cursor == end;
}

RelocRvaReaderWin32::RelocRvaReaderWin32(ConstBufferView image, RelocRegion region,
                                         const std::vector<offset_t>& block_offsets, offset_t lo, offset_t hi)
    : image_(image) {
  CHECK_AT(lo <= hi, kReaderRangeCheckLine);
  const std::uint64_t region_end = region.offset + region.size;
  const std::uint64_t clamped_lo = std::clamp<std::uint64_t>(lo, region.offset, region_end);
  end_ = std::clamp<std::uint64_t>(hi, region.offset, region_end);
  if (block_offsets.empty()) return;  // stays exhausted
  // Blocks start at the region's offset, so one starts at or before the clamped lo.
  auto block = std::upper_bound(block_offsets.begin(), block_offsets.end(), clamped_lo);
  if (block != block_offsets.begin()) --block;
  if (!LoadRelocBlock(*block)) return;
  exhausted_ = false;
  if (clamped_lo > cur_entry_) {
    // An entry that starts before lo is never yielded.
    const std::uint64_t skip = (clamped_lo - cur_entry_ + 1) & ~std::uint64_t{1};
    cur_entry_ = std::min(cur_entry_ + skip, end_entries_);
  }
}

bool RelocRvaReaderWin32::LoadRelocBlock(std::uint64_t block_offset) {
  const std::uint64_t first_entry = block_offset + kBlockHeaderSize;
  if (first_entry >= end_ || end_ - first_entry < kEntrySize) return false;
  page_rva_ = image_.read<std::uint32_t>(static_cast<std::size_t>(block_offset));
  const std::uint32_t size_of_block = image_.read<std::uint32_t>(static_cast<std::size_t>(block_offset + 4));
  cur_entry_ = first_entry;
  end_entries_ = block_offset + size_of_block;
  return true;
}

std::optional<RelocEntry> RelocRvaReaderWin32::GetNext() {
  if (exhausted_) return std::nullopt;
  while (end_entries_ < cur_entry_ + kEntrySize) {
    // The next block starts where this one's entries end; the blocks were validated whole.
    if (!LoadRelocBlock(end_entries_)) {
      exhausted_ = true;
      return std::nullopt;
    }
  }
  if (end_ < cur_entry_ + kEntrySize) return std::nullopt;
  const std::uint16_t entry = image_.read<std::uint16_t>(static_cast<std::size_t>(cur_entry_));
  const RelocEntry result{static_cast<std::uint8_t>(entry >> 12), static_cast<offset_t>(cur_entry_),
                          page_rva_ + (entry & 0xFFFu)};
  cur_entry_ += kEntrySize;
  return result;
}

RelocReaderWin32::RelocReaderWin32(RelocRvaReaderWin32&& reloc_rva_reader, std::uint16_t reloc_type,
                                   offset_t offset_bound, const RvaOffsetMap& map)
    : reloc_rva_reader_(std::move(reloc_rva_reader)),
      reloc_type_(reloc_type),
      offset_bound_(offset_bound),
      entry_rva_to_offset_(map) {}

std::optional<Reference> RelocReaderWin32::GetNext() {
  while (std::optional<RelocEntry> entry = reloc_rva_reader_.GetNext()) {
    if (entry->type != reloc_type_) continue;
    if (!entry_rva_to_offset_.IsValid(entry->target_rva)) continue;
    const offset_t target = entry_rva_to_offset_.Convert(entry->target_rva);
    if (target == kInvalidOffset || target >= offset_bound_) continue;
    return Reference{entry->location, target};
  }
  return std::nullopt;
}

RelocWriterWin32::RelocWriterWin32(std::uint16_t reloc_type, MutableBufferView image,
                                   const std::vector<offset_t>& block_offsets, const RvaOffsetMap& map)
    : reloc_type_(reloc_type), image_(image), block_offsets_(block_offsets), target_offset_to_rva_(map) {}

void RelocWriterWin32::PutNext(Reference ref) {
  // The block holding the entry: the last one that starts at or before it. A location before
  // the first block, or an entry that runs past the image, comes only from a patch that does
  // not match its images; it is skipped like a target outside the page.
  auto block = std::upper_bound(block_offsets_.begin(), block_offsets_.end(), ref.location);
  if (block == block_offsets_.begin() || !image_.can_access<std::uint16_t>(ref.location)) {
    LogInvalidRva(ref.location);
    return;
  }
  --block;
  // The blocks were found in an image of this size, so the header is inside it.
  const rva_t page_rva = image_.read<std::uint32_t>(*block);
  const rva_t target_rva = target_offset_to_rva_.Convert(ref.target);
  const std::uint32_t page_offset = target_rva - page_rva;
  if (page_offset >= kPageSize) {
    LogInvalidRva(ref.location);
    return;
  }
  image_.write<std::uint16_t>(ref.location, static_cast<std::uint16_t>(reloc_type_ << 12 | page_offset));
}

}  // namespace kestor
