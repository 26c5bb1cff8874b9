#include "components/kestor/abs32_utils.h"

#include <algorithm>
#include <limits>

#include "base/check.h"

namespace kestor {

AbsoluteAddress::AbsoluteAddress(std::uint32_t width, std::uint64_t image_base)
    : width_(width), image_base_(image_base) {
  CHECK(width_ == 4 || width_ == 8);
}

bool AbsoluteAddress::Read(offset_t offset, ConstBufferView image) {
  if (width_ == 4) {
    if (!image.can_access<std::uint32_t>(offset)) return false;
    value_ = image.read<std::uint32_t>(offset);
  } else {
    if (!image.can_access<std::uint64_t>(offset)) return false;
    value_ = image.read<std::uint64_t>(offset);
  }
  return true;
}

bool AbsoluteAddress::Write(offset_t offset, MutableBufferView image) const {
  if (width_ == 4) {
    if (!image.can_access<std::uint32_t>(offset)) return false;
    image.write<std::uint32_t>(offset, static_cast<std::uint32_t>(value_));
  } else {
    if (!image.can_access<std::uint64_t>(offset)) return false;
    image.write<std::uint64_t>(offset, value_);
  }
  return true;
}

rva_t AbsoluteAddress::ToRva() const {
  if (value_ < image_base_) return kInvalidRva;
  const std::uint64_t rva = value_ - image_base_;
  return rva < kOffsetBound ? static_cast<rva_t>(rva) : kInvalidRva;
}

bool AbsoluteAddress::FromRva(rva_t rva) {
  if (rva > kOffsetBound - 1) return false;
  if (width_ == 4) {
    const std::uint64_t base32 = image_base_ & 0xFFFFFFFFu;
    if (base32 + rva > std::numeric_limits<std::uint32_t>::max()) return false;
    value_ = base32 + rva;
  } else {
    if (image_base_ > std::numeric_limits<std::uint64_t>::max() - rva) return false;
    value_ = image_base_ + rva;
  }
  return true;
}

bool Abs32BoundSplitsLocation(const std::deque<offset_t>& locations, std::uint32_t width, offset_t bound) {
  auto it = std::lower_bound(locations.begin(), locations.end(), bound);
  return it != locations.begin() && bound - *(it - 1) < width;
}

Abs32RvaExtractorWin32::Abs32RvaExtractorWin32(ConstBufferView image, AbsoluteAddress addr,
                                               const std::deque<offset_t>& locations, offset_t lo, offset_t hi)
    : image_(image), addr_(addr) {
  CHECK_LE(lo, hi);
  cur_ = LowerBoundChecked(locations, lo);
  end_ = LowerBoundChecked(locations, hi);
}

std::deque<offset_t>::const_iterator Abs32RvaExtractorWin32::LowerBoundChecked(const std::deque<offset_t>& locations,
                                                                               offset_t offset) {
  auto it = std::lower_bound(locations.begin(), locations.end(), offset);
  // A bound inside a body would cut that reference in two.
  CHECK(it == locations.begin() || offset - *(it - 1) >= addr_.width());
  return it;
}

std::optional<Abs32RvaExtractorWin32::Unit> Abs32RvaExtractorWin32::GetNext() {
  while (cur_ < end_) {
    const offset_t location = *cur_++;
    if (!addr_.Read(location, image_)) continue;
    const rva_t rva = addr_.ToRva();
    if (rva == kInvalidRva) continue;
    return Unit{location, rva};
  }
  return std::nullopt;
}

Abs32ReaderWin32::Abs32ReaderWin32(Abs32RvaExtractorWin32 extractor, const RvaOffsetMap& map)
    : extractor_(extractor), target_rva_to_offset_(map) {}

std::optional<Reference> Abs32ReaderWin32::GetNext() {
  while (std::optional<Abs32RvaExtractorWin32::Unit> unit = extractor_.GetNext()) {
    const offset_t target = target_rva_to_offset_.Convert(unit->target_rva);
    if (target == kInvalidOffset) continue;
    return Reference{unit->location, target};
  }
  return std::nullopt;
}

std::unique_ptr<ReferenceReader> MakeAbs32ReaderWin32(ConstBufferView image, AbsoluteAddress addr,
                                                      const std::deque<offset_t>& locations, offset_t lo, offset_t hi,
                                                      const RvaOffsetMap& map) {
  if (lo > hi || Abs32BoundSplitsLocation(locations, addr.width(), lo) ||
      Abs32BoundSplitsLocation(locations, addr.width(), hi)) {
    return nullptr;
  }
  return std::make_unique<Abs32ReaderWin32>(Abs32RvaExtractorWin32(image, addr, locations, lo, hi), map);
}

Abs32WriterWin32::Abs32WriterWin32(MutableBufferView image, AbsoluteAddress addr, const RvaOffsetMap& map)
    : image_(image), addr_(addr), target_offset_to_rva_(map) {}

void Abs32WriterWin32::PutNext(Reference ref) {
  const rva_t rva = target_offset_to_rva_.Convert(ref.target);
  if (rva == kInvalidRva) return;
  if (!addr_.FromRva(rva)) return;
  addr_.Write(ref.location, image_);
}

std::size_t RemoveUntranslatableAbs32(ConstBufferView image, AbsoluteAddress addr, const RvaOffsetMap& map,
                                      std::deque<offset_t>* locations) {
  RvaOffsetMap::RvaToOffsetCache rva_to_offset(map);
  const std::size_t before = locations->size();
  std::erase_if(*locations, [&](offset_t location) {
    if (!addr.Read(location, image)) return true;
    const rva_t rva = addr.ToRva();
    return rva == kInvalidRva || rva_to_offset.Convert(rva) == kInvalidOffset;
  });
  return before - locations->size();
}

std::size_t RemoveOverlappingAbs32Locations(std::uint32_t width, std::deque<offset_t>* locations) {
  if (locations->size() < 2) return 0;
  auto kept = locations->begin();
  for (auto it = locations->begin() + 1; it != locations->end(); ++it) {
    if (*it - *kept >= width) *++kept = *it;
  }
  const std::size_t removed = static_cast<std::size_t>(locations->end() - (kept + 1));
  locations->erase(kept + 1, locations->end());
  return removed;
}

}  // namespace kestor
