#include "components/kestor/disassembler_win32.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "base/check.h"
#include "base/logging.h"
#include "components/kestor/abs32_utils.h"
#include "components/kestor/rel32_utils.h"

namespace kestor {
namespace {

constexpr std::size_t kDosHeaderSize = 64;
constexpr std::size_t kElfanewOffset = 0x3C;
constexpr std::size_t kCoffHeaderSize = 20;
constexpr std::size_t kDataDirectorySize = 8;
constexpr std::uint32_t kBaseRelocationDirectory = 5;
// At most 16 data directories.
constexpr std::uint32_t kDataDirectoriesBound = 136;
constexpr std::uint32_t kSizeOfImageBound = 0x7FFFFFFE;

// Update logs name these messages by their source line, which therefore stays the same.
constexpr int kRvaAnomalyLine = 267;
constexpr int kUntranslatableAbs32Line = 343;
constexpr int kOverlappingAbs32Line = 349;
constexpr int kRelocReaderCheckLine = 129;

bool IsCodeSection(const pe::ImageSectionHeader& section) {
  constexpr std::uint32_t kCode = pe::kImageScnMemExecute | pe::kImageScnMemRead;
  return (section.characteristics & kCode) == kCode;
}

}  // namespace

template <class Traits>
bool DisassemblerWin32<Traits>::Parse(ConstBufferView image) {
  image_ = image;
  if (image_.size() >= (std::uint64_t{1} << 32)) return false;
  return ParseHeader();
}

template <class Traits>
bool DisassemblerWin32<Traits>::ParseHeader() {
  const std::size_t size = image_.size();
  if (size < 2 || image_[0] != 'M' || image_[1] != 'Z' || size < kDosHeaderSize) return false;
  const std::uint32_t e_lfanew = image_.read<std::uint32_t>(kElfanewOffset);
  // Loaders want the PE header 8-byte aligned behind the DOS header.
  if (e_lfanew < kDosHeaderSize || e_lfanew % 8 != 0) return false;
  const std::size_t signature = std::min<std::size_t>(e_lfanew, size);
  if (size - signature < 4 || std::memcmp(image_.begin() + signature, "PE\0\0", 4) != 0) return false;

  const std::size_t coff = signature + 4;
  if (size - coff < kCoffHeaderSize) return false;
  const std::uint16_t number_of_sections = image_.read<std::uint16_t>(coff + 2);
  const std::uint16_t size_of_optional_header = image_.read<std::uint16_t>(coff + 16);
  const std::size_t optional = coff + kCoffHeaderSize;
  if (size_of_optional_header < Traits::kMinOptionalHeaderSize) return false;
  if (size - optional < Traits::kOptionalHeaderSize) return false;
  if (image_.read<std::uint16_t>(optional) != Traits::kMagic) return false;

  const std::uint32_t directories_size = size_of_optional_header - Traits::kMinOptionalHeaderSize;
  const std::uint32_t number_of_rva_and_sizes =
      image_.read<std::uint32_t>(optional + Traits::kNumberOfRvaAndSizesOffset);
  if (directories_size / kDataDirectorySize != number_of_rva_and_sizes) return false;
  if (size_of_optional_header % 8 != 0 || directories_size >= kDataDirectoriesBound) return false;
  if (number_of_rva_and_sizes <= kBaseRelocationDirectory) return false;
  // The directories lie inside the full-size optional header tested above.
  const std::size_t reloc_directory =
      optional + Traits::kMinOptionalHeaderSize + kBaseRelocationDirectory * kDataDirectorySize;
  reloc_directory_rva_ = image_.read<std::uint32_t>(reloc_directory);
  reloc_directory_size_ = image_.read<std::uint32_t>(reloc_directory + 4);

  image_base_ = image_.read<typename Traits::ImageBase>(optional + Traits::kImageBaseOffset);
  const std::uint32_t size_of_image = image_.read<std::uint32_t>(optional + 56);
  if (size_of_image > kSizeOfImageBound) return false;

  // The section table is read behind an optional header of full size, whatever
  // SizeOfOptionalHeader says.
  const std::size_t section_table = optional + Traits::kOptionalHeaderSize;
  if (number_of_sections == 0) return false;
  if ((size - section_table) / sizeof(pe::ImageSectionHeader) < number_of_sections) return false;
  sections_.resize(number_of_sections);
  for (std::size_t i = 0; i < sections_.size(); ++i) {
    sections_[i] = image_.read<pe::ImageSectionHeader>(section_table + i * sizeof(pe::ImageSectionHeader));
  }

  std::vector<RvaOffsetMap::Unit> units;
  units.reserve(sections_.size());
  std::uint32_t raw_end = static_cast<std::uint32_t>(section_table);
  bool has_code = false;
  for (std::size_t i = 0; i < sections_.size(); ++i) {
    const pe::ImageSectionHeader& section = sections_[i];
    const std::uint64_t raw_data_end = std::uint64_t{section.pointer_to_raw_data} + section.size_of_raw_data;
    if (raw_data_end > size) return false;
    if (section.virtual_address >= size_of_image) return false;
    if (std::uint64_t{section.virtual_address} + section.virtual_size > size_of_image) return false;
    if (i > 0 && sections_[i - 1].virtual_address > section.virtual_address) {
      LOG_AT(WARNING, kRvaAnomalyLine) << "RVA anomaly found for Section " << i;
    }
    units.push_back(
        {section.pointer_to_raw_data, section.size_of_raw_data, section.virtual_address, section.virtual_size});
    raw_end = std::max(raw_end, static_cast<std::uint32_t>(raw_data_end));
    has_code = has_code || IsCodeSection(section);
  }
  if (size < raw_end || !has_code) return false;
  if (map_.Initialize(std::move(units)) != RvaOffsetMap::kSuccess) return false;
  image_.shrink(raw_end);
  return true;
}

template <class Traits>
void DisassemblerWin32<Traits>::LocateRelocRegion() {
  has_parsed_relocs_ = true;
  const offset_t offset = map_.RvaToOffset(reloc_directory_rva_);
  if (offset == kInvalidOffset || offset > image_.size()) return;
  if (reloc_directory_size_ > image_.size() - offset) return;
  const RelocRegion region{offset, reloc_directory_size_};
  if (FindRelocBlocks(image_, region, &reloc_block_offsets_)) reloc_region_ = region;
}

template <class Traits>
void DisassemblerWin32<Traits>::CollectAbs32Locations() {
  has_parsed_abs32_ = true;
  std::unique_ptr<ReferenceReader> relocs = MakeReadRelocs(0, size());
  while (std::optional<Reference> ref = relocs->GetNext()) abs32_locations_.push_back(ref->target);
  std::sort(abs32_locations_.begin(), abs32_locations_.end());
  const AbsoluteAddress addr(Traits::kVAWidth, image_base_);
  if (std::size_t n = RemoveUntranslatableAbs32(image_, addr, map_, &abs32_locations_); n > 0) {
    LOG_AT(WARNING, kUntranslatableAbs32Line) << "Removed " << n << " untranslatable abs32 references.";
  }
  if (std::size_t n = RemoveOverlappingAbs32Locations(Traits::kVAWidth, &abs32_locations_); n > 0) {
    LOG_AT(WARNING, kOverlappingAbs32Line) << "Removed " << n << " abs32 references with overlapping bodies.";
  }
}

template <class Traits>
void DisassemblerWin32<Traits>::CollectRel32Locations() {
  has_parsed_rel32_ = true;
  if (!has_parsed_abs32_) CollectAbs32Locations();
  for (const pe::ImageSectionHeader& section : sections_) {
    if (!IsCodeSection(section)) continue;
    // Parse made sure that the raw data lie inside the image and the RVAs below SizeOfImage.
    const offset_t start = section.pointer_to_raw_data;
    const offset_t end = start + std::min(section.size_of_raw_data, section.virtual_size);
    const rva_t start_rva = section.virtual_address;
    const rva_t end_rva = start_rva + section.virtual_size;
    typename Traits::Rel32FinderUse finder(image_, map_);
    CollectRel32Intel(image_, map_, finder, {start, end}, abs32_locations_, Traits::kVAWidth, start_rva, end_rva,
                      &rel32_locations_);
  }
  std::sort(rel32_locations_.begin(), rel32_locations_.end());
}

template <class Traits>
std::vector<ReferenceGroup> DisassemblerWin32<Traits>::MakeReferenceGroups() const {
  std::vector<ReferenceGroup> groups;
  groups.emplace_back(ReferenceTypeTraits{2, 0, 0}, &DisassemblerWin32::MakeReadRelocs,
                      &DisassemblerWin32::MakeWriteRelocs);
  groups.emplace_back(ReferenceTypeTraits{Traits::kVAWidth, 1, 1}, &DisassemblerWin32::MakeReadAbs32,
                      &DisassemblerWin32::MakeWriteAbs32);
  groups.emplace_back(ReferenceTypeTraits{4, 2, 2}, &DisassemblerWin32::MakeReadRel32,
                      &DisassemblerWin32::MakeWriteRel32);
  return groups;
}

template <class Traits>
std::unique_ptr<ReferenceReader> DisassemblerWin32<Traits>::MakeReadRelocs(offset_t lo, offset_t hi) {
  if (!has_parsed_relocs_) LocateRelocRegion();
  if (reloc_region_.offset == kInvalidOffset) return std::make_unique<EmptyReferenceReader>();
  CHECK_AT(image_.size() >= Traits::kVAWidth, kRelocReaderCheckLine);
  const offset_t offset_bound = static_cast<offset_t>(image_.size() - Traits::kVAWidth + 1);
  return std::make_unique<RelocReaderWin32>(RelocRvaReaderWin32(image_, reloc_region_, reloc_block_offsets_, lo, hi),
                                            Traits::kRelocType, offset_bound, map_);
}

template <class Traits>
std::unique_ptr<ReferenceWriter> DisassemblerWin32<Traits>::MakeWriteRelocs(MutableBufferView image) {
  if (!has_parsed_relocs_) LocateRelocRegion();
  if (reloc_region_.offset == kInvalidOffset) return std::make_unique<EmptyReferenceWriter>();
  return std::make_unique<RelocWriterWin32>(Traits::kRelocType, image, reloc_block_offsets_, map_);
}

template <class Traits>
std::unique_ptr<ReferenceReader> DisassemblerWin32<Traits>::MakeReadAbs32(offset_t lo, offset_t hi) {
  if (!has_parsed_abs32_) CollectAbs32Locations();
  return MakeAbs32ReaderWin32(image_, AbsoluteAddress(Traits::kVAWidth, image_base_), abs32_locations_, lo, hi, map_);
}

template <class Traits>
std::unique_ptr<ReferenceWriter> DisassemblerWin32<Traits>::MakeWriteAbs32(MutableBufferView image) {
  return std::make_unique<Abs32WriterWin32>(image, AbsoluteAddress(Traits::kVAWidth, image_base_), map_);
}

template <class Traits>
std::unique_ptr<ReferenceReader> DisassemblerWin32<Traits>::MakeReadRel32(offset_t lo, offset_t hi) {
  if (!has_parsed_rel32_) CollectRel32Locations();
  return std::make_unique<Rel32ReaderX86>(image_, lo, hi, rel32_locations_, map_);
}

template <class Traits>
std::unique_ptr<ReferenceWriter> DisassemblerWin32<Traits>::MakeWriteRel32(MutableBufferView image) {
  return std::make_unique<Rel32WriterX86>(image, map_);
}

template class DisassemblerWin32<Win32X86Traits>;
template class DisassemblerWin32<Win32X64Traits>;

}  // namespace kestor
