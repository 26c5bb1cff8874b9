#include "components/kestor/rel32_finder.h"

#include <algorithm>
#include <cstring>

#include "base/check.h"

namespace kestor {

Abs32GapFinder::Abs32GapFinder(ConstBufferView image, OffsetRange region, const std::deque<offset_t>& abs32_locations,
                               std::uint32_t abs32_width)
    : region_end_(region.hi),
      current_lo_(region.lo),
      abs32_current_(std::lower_bound(abs32_locations.begin(), abs32_locations.end(), region.lo)),
      abs32_end_(abs32_locations.end()),
      abs32_width_(abs32_width) {
  CHECK_LE(region.lo, region.hi);
  CHECK_LE(region.hi, image.size());
  // A body that starts before the region and reaches into it.
  if (abs32_current_ != abs32_locations.begin()) {
    current_lo_ = std::max<std::uint64_t>(current_lo_, std::uint64_t{*(abs32_current_ - 1)} + abs32_width_);
  }
}

std::optional<OffsetRange> Abs32GapFinder::FindNext() {
  while (abs32_current_ != abs32_end_ && *abs32_current_ < region_end_) {
    const offset_t location = *abs32_current_++;
    const std::uint64_t gap_lo = current_lo_;
    current_lo_ = std::uint64_t{location} + abs32_width_;
    if (gap_lo < location) return OffsetRange{static_cast<offset_t>(gap_lo), location};
  }
  if (current_lo_ < region_end_) {
    const OffsetRange gap{static_cast<offset_t>(current_lo_), region_end_};
    current_lo_ = region_end_;
    return gap;
  }
  return std::nullopt;
}

Rel32Finder::Rel32Finder(ConstBufferView image, const RvaOffsetMap& map) : image_(image), offset_to_rva_(map) {}

void Rel32Finder::SetRegion(OffsetRange region) {
  // Scans read the region's bytes without further tests.
  CHECK_LE(region.lo, region.hi);
  CHECK_LE(region.hi, image_.size());
  region_ = region;
  accept_position_ = region.lo;
}

bool Rel32Finder::FindNext() {
  const std::optional<NextPositions> next = Scan(region_);
  if (!next) return false;
  region_.lo = next->reject;
  accept_position_ = next->accept;
  return true;
}

void Rel32Finder::Accept() { region_.lo = accept_position_; }

void Rel32FinderIntel::SetResult(offset_t location, bool can_point_outside_section) {
  const rva_t location_rva = offset_to_rva_.Convert(location);
  rva_t target_rva = kInvalidRva;
  if (location_rva != kInvalidRva) {
    std::uint32_t displacement;
    std::memcpy(&displacement, image_.begin() + location, sizeof(displacement));
    target_rva = location_rva + 4 + displacement;  // wraps like the processor's arithmetic
  }
  rel32_ = Result{location, target_rva, can_point_outside_section};
}

std::optional<Rel32Finder::NextPositions> Rel32FinderX86::Scan(OffsetRange region) {
  const std::uint8_t* const data = image_.begin();
  for (offset_t p = region.lo; p < region.hi; ++p) {
    const offset_t remaining = region.hi - p;
    const std::uint8_t op = data[p];
    if (remaining >= 5 && (op == 0xE8 || op == 0xE9)) {  // call, jmp rel32
      SetResult(p + 1, false);
      return NextPositions{p + 1, p + 5};
    }
    if (remaining >= 6 && op == 0x0F && (data[p + 1] & 0xF0) == 0x80) {  // jcc rel32
      SetResult(p + 2, false);
      return NextPositions{p + 1, p + 6};
    }
  }
  return std::nullopt;
}

std::optional<Rel32Finder::NextPositions> Rel32FinderX64::Scan(OffsetRange region) {
  const std::uint8_t* const data = image_.begin();
  for (offset_t p = region.lo; p < region.hi; ++p) {
    const offset_t remaining = region.hi - p;
    const std::uint8_t op = data[p];
    if (remaining >= 5 && (op == 0xE8 || op == 0xE9)) {  // call, jmp rel32
      SetResult(p + 1, false);
      return NextPositions{p + 1, p + 5};
    }
    if (remaining < 6) continue;
    const std::uint8_t modrm = data[p + 1];
    if (op == 0x0F && (modrm & 0xF0) == 0x80) {  // jcc rel32
      SetResult(p + 2, false);
      return NextPositions{p + 1, p + 6};
    }
    // mov r/m32 <-> reg and lea, with a RIP-relative operand and no index.
    const bool rip_relative_mov_or_lea = (op == 0x89 || op == 0x8B || op == 0x8D) && (modrm & 0xC7) == 0x05;
    // call and jmp through a RIP-relative pointer.
    const bool rip_relative_indirect = op == 0xFF && (modrm == 0x15 || modrm == 0x25);
    if (rip_relative_mov_or_lea || rip_relative_indirect) {
      SetResult(p + 2, true);
      return NextPositions{p + 1, p + 6};
    }
  }
  return std::nullopt;
}

}  // namespace kestor
