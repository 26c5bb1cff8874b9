#include "components/kestor/reloc_elf.h"

#include <algorithm>

#include "base/check.h"
#include "base/logging.h"

namespace kestor {
namespace {

// The first entry boundary of `section` at or after `offset` (offset >= section.offset).
std::uint64_t NextEntryBoundary(const SectionDimensionsElf& section, std::uint64_t offset) {
  const std::uint64_t into = offset - section.offset;
  return section.offset + (into + section.entry_size - 1) / section.entry_size * section.entry_size;
}

}  // namespace

RelocReaderElf::RelocReaderElf(ConstBufferView image, std::uint32_t width,
                               const std::vector<SectionDimensionsElf>& sections, std::uint32_t rel_type, offset_t lo,
                               offset_t hi, const RvaOffsetMap& map)
    : image_(image), width_(width), rel_type_(rel_type), sections_(sections), target_rva_to_offset_(map) {
  CHECK(width_ == 4 || width_ == 8);
  CHECK(!sections_.empty());
  // The last section that starts at or before lo, else the first.
  auto after_lo = std::upper_bound(sections_.begin(), sections_.end(), lo,
                                   [](offset_t value, const SectionDimensionsElf& s) { return value < s.offset; });
  current_ = after_lo == sections_.begin() ? sections_.begin() : after_lo - 1;
  cursor_ = lo > current_->offset ? NextEntryBoundary(*current_, lo) : current_->offset;

  end_cursor_ = hi;
  auto after_hi = std::upper_bound(sections_.begin(), sections_.end(), hi,
                                   [](offset_t value, const SectionDimensionsElf& s) { return value < s.offset; });
  if (after_hi != sections_.begin() && hi < (after_hi - 1)->end()) {
    end_cursor_ = NextEntryBoundary(*(after_hi - 1), hi);
  }
  // The entry boundary after hi lies past the image's end when a section that is not a whole
  // number of entries ends the image; an entry there must not be read.
  end_cursor_ = std::min<std::uint64_t>(end_cursor_, image_.size());
}

std::optional<Reference> RelocReaderElf::GetNext() {
  while (cursor_ + current_->entry_size <= end_cursor_) {
    if (cursor_ >= current_->end()) {
      if (++current_ == sections_.end()) {
        --current_;  // keeps the loop test valid for later calls
        cursor_ = end_cursor_;
        return std::nullopt;
      }
      cursor_ = current_->offset;
      if (end_cursor_ < cursor_ + current_->entry_size) return std::nullopt;
    }
    const offset_t location = static_cast<offset_t>(cursor_);
    cursor_ += current_->entry_size;
    std::uint64_t r_offset;
    std::uint32_t type;
    if (width_ == 4) {
      r_offset = image_.read<std::uint32_t>(location);
      type = image_.read<std::uint32_t>(location + 4) & 0xFF;
    } else {
      r_offset = image_.read<std::uint64_t>(location);
      type = static_cast<std::uint32_t>(image_.read<std::uint64_t>(location + 8));
      if (r_offset > 0xFFFFFFFFu) {
        LOG(WARNING) << "Warning: Skipping r_offset whose value exceeds 32-bits.";
        continue;
      }
    }
    if (type != rel_type_) continue;
    const offset_t target = target_rva_to_offset_.Convert(static_cast<rva_t>(r_offset));
    if (target == kInvalidOffset || !image_.covers(target, width_)) continue;
    return Reference{location, target};
  }
  return std::nullopt;
}

RelocWriterElf::RelocWriterElf(MutableBufferView image, std::uint32_t width, const RvaOffsetMap& map)
    : image_(image), width_(width), target_offset_to_rva_(map) {
  CHECK(width_ == 4 || width_ == 8);
}

void RelocWriterElf::PutNext(Reference ref) {
  const rva_t target_rva = target_offset_to_rva_.Convert(ref.target);
  if (width_ == 4) {
    if (!image_.can_access<std::uint32_t>(ref.location)) return;
    image_.write<std::uint32_t>(ref.location, target_rva);
  } else {
    if (!image_.can_access<std::uint64_t>(ref.location)) return;
    image_.write<std::uint64_t>(ref.location, std::uint64_t{target_rva});
  }
}

}  // namespace kestor
