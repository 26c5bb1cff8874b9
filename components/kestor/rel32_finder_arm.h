#pragma once
// Finding ARM relative branches in code by their bit patterns. Each candidate names its
// address type; the scan resumes right behind the candidate's instruction whether the
// disassembler keeps it or not, so no instruction is looked at twice.
#include <cstdint>
#include <optional>

#include "components/kestor/arm_utils.h"
#include "components/kestor/buffer_view.h"
#include "components/kestor/image_utils.h"
#include "components/kestor/rel32_finder.h"
#include "components/kestor/rva_offset_map.h"

namespace kestor {

template <typename ADDR_TYPE>
class Rel32FinderArm : public Rel32Finder {
 public:
  struct Result {
    offset_t location;  // offset of the instruction's first byte
    rva_t target_rva;
    ADDR_TYPE type;
    bool operator==(const Result&) const = default;
  };
  // What a scan without a candidate leaves.
  static constexpr Result kNoResult{kInvalidOffset, kInvalidRva, static_cast<ADDR_TYPE>(0xFF)};

  using Rel32Finder::Rel32Finder;

  const Result& GetRel32() const { return rel32_; }

 protected:
  // Records a candidate; the scan resumes at `next` either way.
  NextPositions SetResult(std::uint64_t location, rva_t target_rva, ADDR_TYPE type, std::uint64_t next) {
    rel32_ = Result{static_cast<offset_t>(location), target_rva, type};
    return NextPositions{static_cast<offset_t>(next), static_cast<offset_t>(next)};
  }
  std::optional<NextPositions> NoResult() {
    rel32_ = kNoResult;
    return std::nullopt;
  }

 private:
  Result rel32_ = kNoResult;
};

// AArch32: in ARM mode the words of the region (A24); in Thumb-2 mode its 16-bit and 32-bit
// instructions (T8, T11, T20, T24), stepped over by their size.
class Rel32FinderAArch32 : public Rel32FinderArm<AArch32Rel32Translator::AddrType> {
 public:
  Rel32FinderAArch32(ConstBufferView image, const RvaOffsetMap& map, bool is_thumb2)
      : Rel32FinderArm(image, map), is_thumb2_(is_thumb2) {}

  bool is_thumb2() const { return is_thumb2_; }

 protected:
  std::optional<NextPositions> Scan(OffsetRange region) override;

 private:
  std::optional<NextPositions> ScanA32(OffsetRange region);
  std::optional<NextPositions> ScanT32(OffsetRange region);

  const bool is_thumb2_;
};

// AArch64: TBZ and TBNZ (Immd14), B.cond, CBZ and CBNZ (Immd19), B and BL (Immd26).
class Rel32FinderAArch64 : public Rel32FinderArm<AArch64Rel32Translator::AddrType> {
 public:
  using Rel32FinderArm::Rel32FinderArm;

 protected:
  std::optional<NextPositions> Scan(OffsetRange region) override;
};

}  // namespace kestor
