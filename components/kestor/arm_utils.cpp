#include "components/kestor/arm_utils.h"

namespace kestor {
namespace {

// The low `bits` bits of value, sign-extended.
template <int bits>
constexpr arm_disp_t SignExtend(std::uint32_t value) {
  static_assert(bits > 0 && bits < 32);
  return static_cast<arm_disp_t>(value << (32 - bits)) >> (32 - bits);
}

// Whether disp lies in [-2^bits, 2^bits - 1].
template <int bits>
constexpr bool FitsSigned(arm_disp_t disp) {
  return disp >= -(arm_disp_t{1} << bits) && disp <= (arm_disp_t{1} << bits) - 1;
}

constexpr std::uint32_t Bits(arm_disp_t disp, int shift, std::uint32_t mask) {
  return (static_cast<std::uint32_t>(disp) >> shift) & mask;
}

// The distance from base to target, wrapping like the processor's arithmetic.
constexpr arm_disp_t Distance(rva_t base, rva_t target) { return static_cast<arm_disp_t>(target - base); }

constexpr rva_t Add(rva_t base, arm_disp_t disp) { return base + static_cast<rva_t>(disp); }

// A24: the condition 0b1111 marks BLX, which carries bit 1 of the displacement in bit 24 (H).
constexpr bool IsA24(std::uint32_t code32) { return (code32 & 0x0E000000) == 0x0A000000; }
constexpr bool IsArmBlx(std::uint32_t code32) { return (code32 & 0xF0000000) == 0xF0000000; }

constexpr bool IsT8(std::uint16_t code16) { return (code16 & 0xF000) == 0xD000 && (code16 & 0x0F00) != 0x0F00; }
constexpr bool IsT11(std::uint16_t code16) { return (code16 & 0xF800) == 0xE000; }
constexpr bool IsT20(std::uint32_t code32) {
  return (code32 & 0xF800D000) == 0xF0008000 && (code32 & 0x03C00000) != 0x03C00000;
}
// T24: B.W and BL; BLX, whose H bit (bit 0) must be clear.
constexpr bool IsT24BranchOrBl(std::uint32_t code32) { return (code32 & 0xF8009000) == 0xF0009000; }
constexpr bool IsT24Blx(std::uint32_t code32) { return (code32 & 0xF800D000) == 0xF000C000 && (code32 & 1) == 0; }

constexpr bool IsImmd14(std::uint32_t code32) { return (code32 & 0x7E000000) == 0x36000000; }
constexpr bool IsImmd19(std::uint32_t code32) {
  return (code32 & 0xFF000010) == 0x54000000 || (code32 & 0x7E000000) == 0x34000000;
}
constexpr bool IsImmd26(std::uint32_t code32) { return (code32 & 0x7C000000) == 0x14000000; }

}  // namespace

// --- AArch32 ------------------------------------------------------------------------------

std::uint32_t AArch32Rel32Translator::FetchArmCode32(ConstBufferView view, offset_t idx) {
  return view.read<std::uint32_t>(idx);
}

void AArch32Rel32Translator::StoreArmCode32(MutableBufferView view, offset_t idx, std::uint32_t code) {
  view.write<std::uint32_t>(idx, code);
}

std::uint16_t AArch32Rel32Translator::FetchThumb2Code16(ConstBufferView view, offset_t idx) {
  return view.read<std::uint16_t>(idx);
}

void AArch32Rel32Translator::StoreThumb2Code16(MutableBufferView view, offset_t idx, std::uint16_t code) {
  view.write<std::uint16_t>(idx, code);
}

std::uint32_t AArch32Rel32Translator::FetchThumb2Code32(ConstBufferView view, offset_t idx) {
  // The halfword at idx, which forms bits 31..16, is the low half of the word read there.
  const std::uint32_t word = view.read<std::uint32_t>(idx);
  return word << 16 | word >> 16;
}

void AArch32Rel32Translator::StoreThumb2Code32(MutableBufferView view, offset_t idx, std::uint32_t code) {
  view.write<std::uint32_t>(idx, code << 16 | code >> 16);
}

bool AArch32Rel32Translator::DecodeA24(std::uint32_t code32, arm_disp_t* disp) {
  if (!IsA24(code32)) return false;
  arm_disp_t result = SignExtend<26>((code32 & 0x00FFFFFF) << 2);
  if (IsArmBlx(code32)) result += static_cast<arm_disp_t>((code32 >> 23) & 2);
  *disp = result;
  return true;
}

bool AArch32Rel32Translator::EncodeA24(arm_disp_t disp, std::uint32_t* code32) {
  const std::uint32_t code = *code32;
  if (!IsA24(code) || !FitsSigned<25>(disp)) return false;
  if (IsArmBlx(code)) {
    if (disp % 2 != 0) return false;
    *code32 = (code & 0xFE000000) | Bits(disp, 1, 1) << 24 | Bits(disp, 2, 0xFFFFFF);
  } else {
    if (disp % 4 != 0) return false;
    *code32 = (code & 0xFF000000) | Bits(disp, 2, 0xFFFFFF);
  }
  return true;
}

bool AArch32Rel32Translator::ReadA24(rva_t instr_rva, std::uint32_t code32, rva_t* target_rva) {
  arm_disp_t disp;
  if (instr_rva % 4 != 0 || !DecodeA24(code32, &disp)) return false;
  const rva_t mask = IsArmBlx(code32) ? ~rva_t{1} : ~rva_t{3};
  *target_rva = Add(instr_rva + 8, disp) & mask;
  return true;
}

bool AArch32Rel32Translator::WriteA24(rva_t instr_rva, rva_t target_rva, std::uint32_t* code32) {
  if (instr_rva % 4 != 0 || !IsA24(*code32)) return false;
  if (target_rva % (IsArmBlx(*code32) ? 2 : 4) != 0) return false;
  return EncodeA24(Distance(instr_rva + 8, target_rva), code32);
}

bool AArch32Rel32Translator::DecodeT8(std::uint16_t code16, arm_disp_t* disp) {
  if (!IsT8(code16)) return false;
  *disp = SignExtend<9>(std::uint32_t{code16 & 0xFFu} << 1);
  return true;
}

bool AArch32Rel32Translator::EncodeT8(arm_disp_t disp, std::uint16_t* code16) {
  if (!IsT8(*code16) || disp % 2 != 0 || !FitsSigned<8>(disp)) return false;
  *code16 = static_cast<std::uint16_t>((*code16 & 0xFF00u) | Bits(disp, 1, 0xFF));
  return true;
}

bool AArch32Rel32Translator::ReadT8(rva_t instr_rva, std::uint16_t code16, rva_t* target_rva) {
  arm_disp_t disp;
  if (instr_rva % 2 != 0 || !DecodeT8(code16, &disp)) return false;
  *target_rva = Add(instr_rva + 4, disp);
  return true;
}

bool AArch32Rel32Translator::WriteT8(rva_t instr_rva, rva_t target_rva, std::uint16_t* code16) {
  if (instr_rva % 2 != 0 || target_rva % 2 != 0) return false;
  return EncodeT8(Distance(instr_rva + 4, target_rva), code16);
}

bool AArch32Rel32Translator::DecodeT11(std::uint16_t code16, arm_disp_t* disp) {
  if (!IsT11(code16)) return false;
  *disp = SignExtend<12>(std::uint32_t{code16 & 0x7FFu} << 1);
  return true;
}

bool AArch32Rel32Translator::EncodeT11(arm_disp_t disp, std::uint16_t* code16) {
  if (!IsT11(*code16) || disp % 2 != 0 || !FitsSigned<11>(disp)) return false;
  *code16 = static_cast<std::uint16_t>((*code16 & 0xF800u) | Bits(disp, 1, 0x7FF));
  return true;
}

bool AArch32Rel32Translator::ReadT11(rva_t instr_rva, std::uint16_t code16, rva_t* target_rva) {
  arm_disp_t disp;
  if (instr_rva % 2 != 0 || !DecodeT11(code16, &disp)) return false;
  *target_rva = Add(instr_rva + 4, disp);
  return true;
}

bool AArch32Rel32Translator::WriteT11(rva_t instr_rva, rva_t target_rva, std::uint16_t* code16) {
  if (instr_rva % 2 != 0 || target_rva % 2 != 0) return false;
  return EncodeT11(Distance(instr_rva + 4, target_rva), code16);
}

// T20 fields: S = bit 26, imm6 = bits 21..16, J1 = bit 13, J2 = bit 11, imm11 = bits 10..0;
// the displacement is S:J2:J1:imm6:imm11:0.
bool AArch32Rel32Translator::DecodeT20(std::uint32_t code32, arm_disp_t* disp) {
  if (!IsT20(code32)) return false;
  const std::uint32_t imm = ((code32 >> 26) & 1) << 20 | ((code32 >> 11) & 1) << 19 | ((code32 >> 13) & 1) << 18 |
                            ((code32 >> 16) & 0x3F) << 12 | (code32 & 0x7FF) << 1;
  *disp = SignExtend<21>(imm);
  return true;
}

bool AArch32Rel32Translator::EncodeT20(arm_disp_t disp, std::uint32_t* code32) {
  if (!IsT20(*code32) || disp % 2 != 0 || !FitsSigned<20>(disp)) return false;
  *code32 = (*code32 & 0xFBC0D000) | Bits(disp, 20, 1) << 26 | Bits(disp, 12, 0x3F) << 16 | Bits(disp, 18, 1) << 13 |
            Bits(disp, 19, 1) << 11 | Bits(disp, 1, 0x7FF);
  return true;
}

bool AArch32Rel32Translator::ReadT20(rva_t instr_rva, std::uint32_t code32, rva_t* target_rva) {
  arm_disp_t disp;
  if (instr_rva % 2 != 0 || !DecodeT20(code32, &disp)) return false;
  *target_rva = Add(instr_rva + 4, disp) & ~rva_t{1};
  return true;
}

bool AArch32Rel32Translator::WriteT20(rva_t instr_rva, rva_t target_rva, std::uint32_t* code32) {
  if (instr_rva % 2 != 0 || target_rva % 2 != 0) return false;
  return EncodeT20(Distance(instr_rva + 4, target_rva), code32);
}

// T24 fields: S = bit 26, imm10 = bits 25..16, J1 = bit 13, J2 = bit 11, imm11 = bits 10..0;
// with I1 = NOT(J1 XOR S) and I2 = NOT(J2 XOR S) the displacement is S:I1:I2:imm10:imm11:0.
bool AArch32Rel32Translator::DecodeT24(std::uint32_t code32, arm_disp_t* disp) {
  if (!IsT24BranchOrBl(code32) && !IsT24Blx(code32)) return false;
  const std::uint32_t s = (code32 >> 26) & 1;
  const std::uint32_t i1 = ~((code32 >> 13) ^ s) & 1;
  const std::uint32_t i2 = ~((code32 >> 11) ^ s) & 1;
  const std::uint32_t imm = s << 24 | i1 << 23 | i2 << 22 | ((code32 >> 16) & 0x3FF) << 12 | (code32 & 0x7FF) << 1;
  *disp = SignExtend<25>(imm);
  return true;
}

bool AArch32Rel32Translator::EncodeT24(arm_disp_t disp, std::uint32_t* code32) {
  const std::uint32_t code = *code32;
  const bool blx = IsT24Blx(code);
  if ((!blx && !IsT24BranchOrBl(code)) || !FitsSigned<24>(disp)) return false;
  if (disp % (blx ? 4 : 2) != 0) return false;
  const std::uint32_t s = Bits(disp, 24, 1);
  const std::uint32_t j1 = ~(Bits(disp, 23, 1) ^ s) & 1;
  const std::uint32_t j2 = ~(Bits(disp, 22, 1) ^ s) & 1;
  *code32 = (code & 0xF800D000) | s << 26 | Bits(disp, 12, 0x3FF) << 16 | j1 << 13 | j2 << 11 | Bits(disp, 1, 0x7FF);
  return true;
}

bool AArch32Rel32Translator::ReadT24(rva_t instr_rva, std::uint32_t code32, rva_t* target_rva) {
  arm_disp_t disp;
  if (instr_rva % 2 != 0 || !DecodeT24(code32, &disp)) return false;
  // BLX switches to ARM code, which counts from the word-aligned PC.
  if (IsT24Blx(code32)) {
    *target_rva = Add((instr_rva + 4) & ~rva_t{3}, disp) & ~rva_t{3};
  } else {
    *target_rva = Add(instr_rva + 4, disp) & ~rva_t{1};
  }
  return true;
}

bool AArch32Rel32Translator::WriteT24(rva_t instr_rva, rva_t target_rva, std::uint32_t* code32) {
  if (instr_rva % 2 != 0) return false;
  const bool blx = IsT24Blx(*code32);
  if (!blx && !IsT24BranchOrBl(*code32)) return false;
  if (target_rva % (blx ? 4 : 2) != 0) return false;
  const rva_t base = blx ? (instr_rva + 4) & ~rva_t{3} : instr_rva + 4;
  return EncodeT24(Distance(base, target_rva), code32);
}

// --- AArch64 ------------------------------------------------------------------------------

std::uint32_t AArch64Rel32Translator::FetchCode32(ConstBufferView view, offset_t idx) {
  return view.read<std::uint32_t>(idx);
}

void AArch64Rel32Translator::StoreCode32(MutableBufferView view, offset_t idx, std::uint32_t code) {
  view.write<std::uint32_t>(idx, code);
}

bool AArch64Rel32Translator::DecodeImmd14(std::uint32_t code32, arm_disp_t* disp) {
  if (!IsImmd14(code32)) return false;
  *disp = SignExtend<16>(((code32 >> 5) & 0x3FFF) << 2);
  return true;
}

bool AArch64Rel32Translator::EncodeImmd14(arm_disp_t disp, std::uint32_t* code32) {
  if (!IsImmd14(*code32) || disp % 4 != 0 || !FitsSigned<15>(disp)) return false;
  *code32 = (*code32 & 0xFFF8001F) | Bits(disp, 2, 0x3FFF) << 5;
  return true;
}

bool AArch64Rel32Translator::ReadImmd14(rva_t instr_rva, std::uint32_t code32, rva_t* target_rva) {
  arm_disp_t disp;
  if (instr_rva % 4 != 0 || !DecodeImmd14(code32, &disp)) return false;
  *target_rva = Add(instr_rva, disp);
  return true;
}

bool AArch64Rel32Translator::WriteImmd14(rva_t instr_rva, rva_t target_rva, std::uint32_t* code32) {
  if (instr_rva % 4 != 0 || target_rva % 4 != 0) return false;
  return EncodeImmd14(Distance(instr_rva, target_rva), code32);
}

bool AArch64Rel32Translator::DecodeImmd19(std::uint32_t code32, arm_disp_t* disp) {
  if (!IsImmd19(code32)) return false;
  *disp = SignExtend<21>(((code32 >> 5) & 0x7FFFF) << 2);
  return true;
}

bool AArch64Rel32Translator::EncodeImmd19(arm_disp_t disp, std::uint32_t* code32) {
  if (!IsImmd19(*code32) || disp % 4 != 0 || !FitsSigned<20>(disp)) return false;
  *code32 = (*code32 & 0xFF00001F) | Bits(disp, 2, 0x7FFFF) << 5;
  return true;
}

bool AArch64Rel32Translator::ReadImmd19(rva_t instr_rva, std::uint32_t code32, rva_t* target_rva) {
  arm_disp_t disp;
  if (instr_rva % 4 != 0 || !DecodeImmd19(code32, &disp)) return false;
  *target_rva = Add(instr_rva, disp);
  return true;
}

bool AArch64Rel32Translator::WriteImmd19(rva_t instr_rva, rva_t target_rva, std::uint32_t* code32) {
  if (instr_rva % 4 != 0 || target_rva % 4 != 0) return false;
  return EncodeImmd19(Distance(instr_rva, target_rva), code32);
}

bool AArch64Rel32Translator::DecodeImmd26(std::uint32_t code32, arm_disp_t* disp) {
  if (!IsImmd26(code32)) return false;
  *disp = SignExtend<28>((code32 & 0x3FFFFFF) << 2);
  return true;
}

bool AArch64Rel32Translator::EncodeImmd26(arm_disp_t disp, std::uint32_t* code32) {
  if (!IsImmd26(*code32) || disp % 4 != 0 || !FitsSigned<27>(disp)) return false;
  *code32 = (*code32 & 0xFC000000) | Bits(disp, 2, 0x3FFFFFF);
  return true;
}

bool AArch64Rel32Translator::ReadImmd26(rva_t instr_rva, std::uint32_t code32, rva_t* target_rva) {
  arm_disp_t disp;
  if (instr_rva % 4 != 0 || !DecodeImmd26(code32, &disp)) return false;
  *target_rva = Add(instr_rva, disp);
  return true;
}

bool AArch64Rel32Translator::WriteImmd26(rva_t instr_rva, rva_t target_rva, std::uint32_t* code32) {
  if (instr_rva % 4 != 0 || target_rva % 4 != 0) return false;
  return EncodeImmd26(Distance(instr_rva, target_rva), code32);
}

}  // namespace kestor
