#include "components/kestor/rel32_finder_arm.h"

namespace kestor {
namespace {

// The first offset at or after `offset` that is a multiple of `alignment` from the image start.
constexpr std::uint64_t AlignUp(std::uint64_t offset, std::uint64_t alignment) {
  return (offset + alignment - 1) / alignment * alignment;
}

}  // namespace

std::optional<Rel32Finder::NextPositions> Rel32FinderAArch32::Scan(OffsetRange region) {
  return is_thumb2_ ? ScanT32(region) : ScanA32(region);
}

std::optional<Rel32Finder::NextPositions> Rel32FinderAArch32::ScanA32(OffsetRange region) {
  using T = AArch32Rel32Translator;
  const std::uint64_t end = region.hi;
  if (region.empty() || end - region.lo < 4) return NoResult();
  for (std::uint64_t o = AlignUp(region.lo, 4); o < end && end - o >= 4; o += 4) {
    const offset_t offset = static_cast<offset_t>(o);
    const rva_t instr_rva = offset_to_rva_.Convert(offset);
    rva_t target_rva;
    if (T::ReadA24(instr_rva, T::FetchArmCode32(image_, offset), &target_rva)) {
      return SetResult(o, target_rva, T::ADDR_A24, o + 4);
    }
  }
  return NoResult();
}

std::optional<Rel32Finder::NextPositions> Rel32FinderAArch32::ScanT32(OffsetRange region) {
  using T = AArch32Rel32Translator;
  const std::uint64_t end = region.hi;
  if (region.empty() || end - region.lo < 2) return NoResult();
  std::uint64_t size = 2;
  for (std::uint64_t o = AlignUp(region.lo, 2); o < end && end - o >= 2; o += size) {
    const offset_t offset = static_cast<offset_t>(o);
    const rva_t instr_rva = offset_to_rva_.Convert(offset);
    const std::uint16_t code16 = T::FetchThumb2Code16(image_, offset);
    const bool is_32bit = (code16 & 0xF000) == 0xF000 || (code16 & 0xF800) == 0xE800;
    size = is_32bit ? 4 : 2;
    rva_t target_rva;
    if (!is_32bit) {
      if (T::ReadT8(instr_rva, code16, &target_rva)) return SetResult(o, target_rva, T::ADDR_T8, o + size);
      if (T::ReadT11(instr_rva, code16, &target_rva)) return SetResult(o, target_rva, T::ADDR_T11, o + size);
      continue;
    }
    // A 32-bit instruction that straddles the region's end is not read.
    if (end - o < 4) continue;
    const std::uint32_t code32 = T::FetchThumb2Code32(image_, offset);
    if (T::ReadT20(instr_rva, code32, &target_rva)) return SetResult(o, target_rva, T::ADDR_T20, o + size);
    if (T::ReadT24(instr_rva, code32, &target_rva)) return SetResult(o, target_rva, T::ADDR_T24, o + size);
  }
  return NoResult();
}

std::optional<Rel32Finder::NextPositions> Rel32FinderAArch64::Scan(OffsetRange region) {
  using T = AArch64Rel32Translator;
  const std::uint64_t end = region.hi;
  if (region.empty() || end - region.lo < 4) return NoResult();
  for (std::uint64_t o = AlignUp(region.lo, 4); o < end && end - o >= 4; o += 4) {
    const offset_t offset = static_cast<offset_t>(o);
    const rva_t instr_rva = offset_to_rva_.Convert(offset);
    const std::uint32_t code32 = T::FetchCode32(image_, offset);
    rva_t target_rva;
    // The three patterns are disjoint.
    if (T::ReadImmd14(instr_rva, code32, &target_rva)) return SetResult(o, target_rva, T::ADDR_IMMD14, o + 4);
    if (T::ReadImmd19(instr_rva, code32, &target_rva)) return SetResult(o, target_rva, T::ADDR_IMMD19, o + 4);
    if (T::ReadImmd26(instr_rva, code32, &target_rva)) return SetResult(o, target_rva, T::ADDR_IMMD26, o + 4);
  }
  return NoResult();
}

}  // namespace kestor
