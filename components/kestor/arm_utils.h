#pragma once
// ARM relative branches as address types. Each type has its own field layout, displacement
// width, scale and PC offset; for each, a translator provides six functions: fetch and store
// the instruction's code unit, decode and encode its displacement, read the target of an
// instruction at a known RVA, and write a target into it. ArmAddrTraits binds one set, and
// the reader, writer and mixer templates below turn any binding into reference kinds.
//
// 32-bit ARM (AArch32):
//   A24  B, BL, BLX (imm)  ARM code, one 32-bit word, target base RVA + 8
//   T8   B<c> (16-bit)     Thumb-2, one halfword, target base RVA + 4
//   T11  B (16-bit)        Thumb-2, one halfword
//   T20  B<c>.W            Thumb-2, two halfwords, the first forming bits 31..16
//   T24  B.W, BL, BLX      Thumb-2, two halfwords; BLX counts from RVA + 4 rounded down to 4
// AArch64 (no PC offset):
//   Immd14  TBZ, TBNZ;  Immd19  B.cond, CBZ, CBNZ;  Immd26  B, BL
#include <algorithm>
#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>

#include "components/kestor/buffer_view.h"
#include "components/kestor/image_utils.h"
#include "components/kestor/rel32_utils.h"
#include "components/kestor/rva_offset_map.h"

namespace kestor {

// A signed branch displacement in bytes.
using arm_disp_t = std::int32_t;

// One address type: its enumeration value and its six functions. Fetch and Store go through
// the byte view's checked accessors: callers test that the code unit fits first.
template <class ENUM, ENUM TYPE, class CODE_T, CODE_T (*FETCH)(ConstBufferView, offset_t),
          void (*STORE)(MutableBufferView, offset_t, CODE_T), bool (*DECODE)(CODE_T, arm_disp_t*),
          bool (*ENCODE)(arm_disp_t, CODE_T*), bool (*READ)(rva_t, CODE_T, rva_t*),
          bool (*WRITE)(rva_t, rva_t, CODE_T*)>
struct ArmAddrTraits {
  static constexpr ENUM addr_type = TYPE;
  using code_t = CODE_T;
  static constexpr auto Fetch = FETCH;
  static constexpr auto Store = STORE;
  static constexpr auto Decode = DECODE;
  static constexpr auto Encode = ENCODE;
  static constexpr auto Read = READ;
  static constexpr auto Write = WRITE;
};

// Decode: whether the code is of the type, and its displacement.
// Encode: whether the displacement fits the code's type; the displacement bits are replaced.
// Read: whether the code is of the type at a suitably aligned RVA; the target RVA.
// Write: whether the code is of the type, both RVAs are suitably aligned and the
//   displacement fits; the code then branches to the target.
class AArch32Rel32Translator {
 public:
  enum AddrType : std::uint8_t {
    ADDR_A24 = 0,
    ADDR_T8 = 1,
    ADDR_T11 = 2,
    ADDR_T20 = 3,
    ADDR_T24 = 4,
    NUM_ADDR_TYPE = 5,
  };

  // One little-endian word.
  static std::uint32_t FetchArmCode32(ConstBufferView view, offset_t idx);
  static void StoreArmCode32(MutableBufferView view, offset_t idx, std::uint32_t code);
  // One little-endian halfword.
  static std::uint16_t FetchThumb2Code16(ConstBufferView view, offset_t idx);
  static void StoreThumb2Code16(MutableBufferView view, offset_t idx, std::uint16_t code);
  // Two little-endian halfwords, the one at idx forming bits 31..16.
  static std::uint32_t FetchThumb2Code32(ConstBufferView view, offset_t idx);
  static void StoreThumb2Code32(MutableBufferView view, offset_t idx, std::uint32_t code);

  static bool DecodeA24(std::uint32_t code32, arm_disp_t* disp);
  static bool EncodeA24(arm_disp_t disp, std::uint32_t* code32);
  static bool ReadA24(rva_t instr_rva, std::uint32_t code32, rva_t* target_rva);
  static bool WriteA24(rva_t instr_rva, rva_t target_rva, std::uint32_t* code32);

  static bool DecodeT8(std::uint16_t code16, arm_disp_t* disp);
  static bool EncodeT8(arm_disp_t disp, std::uint16_t* code16);
  static bool ReadT8(rva_t instr_rva, std::uint16_t code16, rva_t* target_rva);
  static bool WriteT8(rva_t instr_rva, rva_t target_rva, std::uint16_t* code16);

  static bool DecodeT11(std::uint16_t code16, arm_disp_t* disp);
  static bool EncodeT11(arm_disp_t disp, std::uint16_t* code16);
  static bool ReadT11(rva_t instr_rva, std::uint16_t code16, rva_t* target_rva);
  static bool WriteT11(rva_t instr_rva, rva_t target_rva, std::uint16_t* code16);

  static bool DecodeT20(std::uint32_t code32, arm_disp_t* disp);
  static bool EncodeT20(arm_disp_t disp, std::uint32_t* code32);
  static bool ReadT20(rva_t instr_rva, std::uint32_t code32, rva_t* target_rva);
  static bool WriteT20(rva_t instr_rva, rva_t target_rva, std::uint32_t* code32);

  static bool DecodeT24(std::uint32_t code32, arm_disp_t* disp);
  static bool EncodeT24(arm_disp_t disp, std::uint32_t* code32);
  static bool ReadT24(rva_t instr_rva, std::uint32_t code32, rva_t* target_rva);
  static bool WriteT24(rva_t instr_rva, rva_t target_rva, std::uint32_t* code32);

  using AddrTraits_A24 = ArmAddrTraits<AddrType, ADDR_A24, std::uint32_t, FetchArmCode32, StoreArmCode32, DecodeA24,
                                       EncodeA24, ReadA24, WriteA24>;
  using AddrTraits_T8 = ArmAddrTraits<AddrType, ADDR_T8, std::uint16_t, FetchThumb2Code16, StoreThumb2Code16, DecodeT8,
                                      EncodeT8, ReadT8, WriteT8>;
  using AddrTraits_T11 = ArmAddrTraits<AddrType, ADDR_T11, std::uint16_t, FetchThumb2Code16, StoreThumb2Code16,
                                       DecodeT11, EncodeT11, ReadT11, WriteT11>;
  using AddrTraits_T20 = ArmAddrTraits<AddrType, ADDR_T20, std::uint32_t, FetchThumb2Code32, StoreThumb2Code32,
                                       DecodeT20, EncodeT20, ReadT20, WriteT20>;
  using AddrTraits_T24 = ArmAddrTraits<AddrType, ADDR_T24, std::uint32_t, FetchThumb2Code32, StoreThumb2Code32,
                                       DecodeT24, EncodeT24, ReadT24, WriteT24>;
};

class AArch64Rel32Translator {
 public:
  enum AddrType : std::uint8_t {
    ADDR_IMMD14 = 0,
    ADDR_IMMD19 = 1,
    ADDR_IMMD26 = 2,
    NUM_ADDR_TYPE = 3,
  };

  // One little-endian word.
  static std::uint32_t FetchCode32(ConstBufferView view, offset_t idx);
  static void StoreCode32(MutableBufferView view, offset_t idx, std::uint32_t code);

  static bool DecodeImmd14(std::uint32_t code32, arm_disp_t* disp);
  static bool EncodeImmd14(arm_disp_t disp, std::uint32_t* code32);
  static bool ReadImmd14(rva_t instr_rva, std::uint32_t code32, rva_t* target_rva);
  static bool WriteImmd14(rva_t instr_rva, rva_t target_rva, std::uint32_t* code32);

  static bool DecodeImmd19(std::uint32_t code32, arm_disp_t* disp);
  static bool EncodeImmd19(arm_disp_t disp, std::uint32_t* code32);
  static bool ReadImmd19(rva_t instr_rva, std::uint32_t code32, rva_t* target_rva);
  static bool WriteImmd19(rva_t instr_rva, rva_t target_rva, std::uint32_t* code32);

  static bool DecodeImmd26(std::uint32_t code32, arm_disp_t* disp);
  static bool EncodeImmd26(arm_disp_t disp, std::uint32_t* code32);
  static bool ReadImmd26(rva_t instr_rva, std::uint32_t code32, rva_t* target_rva);
  static bool WriteImmd26(rva_t instr_rva, rva_t target_rva, std::uint32_t* code32);

  using AddrTraits_Immd14 = ArmAddrTraits<AddrType, ADDR_IMMD14, std::uint32_t, FetchCode32, StoreCode32, DecodeImmd14,
                                          EncodeImmd14, ReadImmd14, WriteImmd14>;
  using AddrTraits_Immd19 = ArmAddrTraits<AddrType, ADDR_IMMD19, std::uint32_t, FetchCode32, StoreCode32, DecodeImmd19,
                                          EncodeImmd19, ReadImmd19, WriteImmd19>;
  using AddrTraits_Immd26 = ArmAddrTraits<AddrType, ADDR_IMMD26, std::uint32_t, FetchCode32, StoreCode32, DecodeImmd26,
                                          EncodeImmd26, ReadImmd26, WriteImmd26>;
};

// The branches of one address type whose location lies in [lo, hi), from the sorted location
// list of that type: {location of the instruction, file offset of its target}. A location
// whose code is no longer of the type, whose RVA is misaligned or whose target has no offset
// is skipped.
template <class ADDR_TRAITS>
class Rel32ReaderArm : public ReferenceReader {
 public:
  using CODE_T = typename ADDR_TRAITS::code_t;

  Rel32ReaderArm(ConstBufferView image, const RvaOffsetMap& map, const std::deque<offset_t>& locations, offset_t lo,
                 offset_t hi)
      : image_(image),
        offset_to_rva_(map),
        rva_to_offset_(map),
        cur_(std::lower_bound(locations.begin(), locations.end(), lo)),
        end_(locations.end()),
        hi_(hi) {}

  std::optional<Reference> GetNext() override {
    while (cur_ != end_) {
      const offset_t location = *cur_;
      if (location >= hi_) {
        cur_ = end_;
        break;
      }
      ++cur_;
      // Locations come from a scan of this image; the test keeps a hand-made list from
      // stopping the process.
      if (!image_.can_access<CODE_T>(location)) continue;
      const CODE_T code = ADDR_TRAITS::Fetch(image_, location);
      const rva_t instr_rva = offset_to_rva_.Convert(location);
      rva_t target_rva;
      if (!ADDR_TRAITS::Read(instr_rva, code, &target_rva)) continue;
      if (!rva_to_offset_.IsValid(target_rva)) continue;
      const offset_t target = rva_to_offset_.Convert(target_rva);
      if (target == kInvalidOffset) continue;
      return Reference{location, target};
    }
    return std::nullopt;
  }

 private:
  ConstBufferView image_;
  RvaOffsetMap::OffsetToRvaCache offset_to_rva_;
  RvaOffsetMap::RvaToOffsetCache rva_to_offset_;
  std::deque<offset_t>::const_iterator cur_;
  const std::deque<offset_t>::const_iterator end_;
  const offset_t hi_;
};

// Re-aims the branch at a reference's location; the opcode and condition bits are those the
// image already holds there. A branch that cannot reach the target, a location or target
// without an RVA, and a code unit that does not fit in the image are left as they are, with an
// ERROR line.
template <class ADDR_TRAITS>
class Rel32WriterArm : public ReferenceWriter {
 public:
  using CODE_T = typename ADDR_TRAITS::code_t;

  Rel32WriterArm(MutableBufferView image, const RvaOffsetMap& map) : image_(image), offset_to_rva_(map) {}

  void PutNext(Reference ref) override {
    const rva_t target_rva = offset_to_rva_.Convert(ref.target);
    // A location past the image's end comes only from a patch that does not match its
    // images; it is refused like any other branch that cannot be written.
    if (!image_.can_access<CODE_T>(ref.location)) {
      LogRel32WriteError(ref.location, 0, target_rva);
      return;
    }
    CODE_T code = ADDR_TRAITS::Fetch(image_, ref.location);
    const rva_t instr_rva = offset_to_rva_.Convert(ref.location);
    if (instr_rva == kInvalidRva || target_rva == kInvalidRva || !ADDR_TRAITS::Write(instr_rva, target_rva, &code)) {
      LogRel32WriteError(ref.location, code, target_rva);
      return;
    }
    ADDR_TRAITS::Store(image_, ref.location, code);
  }

 private:
  MutableBufferView image_;
  RvaOffsetMap::OffsetToRvaCache offset_to_rva_;
};

// The code unit at a new location with the displacement of the one at an old location.
template <class ADDR_TRAITS>
class Rel32MixerArm : public ReferenceMixer {
 public:
  using CODE_T = typename ADDR_TRAITS::code_t;

  Rel32MixerArm(ConstBufferView old_image, ConstBufferView new_image) : old_image_(old_image), new_image_(new_image) {}

  // A view of the mixer's buffer, valid until the next Mix. When either code is not of the
  // type or the old displacement does not fit the new code, a rate-limited warning is written
  // and the new code comes back unchanged; a location whose code unit does not fit gives an
  // empty view.
  ConstBufferView Mix(offset_t old_offset, offset_t new_offset) override {
    if (!new_image_.can_access<CODE_T>(new_offset)) {
      OutputRel32MixFailureWarning(ADDR_TRAITS::addr_type);
      return ConstBufferView();
    }
    std::copy_n(new_image_.begin() + new_offset, sizeof(CODE_T), out_buffer_.begin());
    const MutableBufferView out(out_buffer_.data(), out_buffer_.size());
    CODE_T code = ADDR_TRAITS::Fetch(out, 0);
    arm_disp_t old_disp;
    arm_disp_t new_disp;
    const bool mixed = old_image_.can_access<CODE_T>(old_offset) &&
                       ADDR_TRAITS::Decode(ADDR_TRAITS::Fetch(old_image_, old_offset), &old_disp) &&
                       ADDR_TRAITS::Decode(code, &new_disp) && ADDR_TRAITS::Encode(old_disp, &code);
    if (mixed) {
      ADDR_TRAITS::Store(out, 0, code);
    } else {
      OutputRel32MixFailureWarning(ADDR_TRAITS::addr_type);
    }
    return ConstBufferView(out_buffer_.data(), out_buffer_.size());
  }

 private:
  ConstBufferView old_image_;
  ConstBufferView new_image_;
  std::array<std::uint8_t, sizeof(CODE_T)> out_buffer_{};
};

}  // namespace kestor
