#pragma once
// Arithmetic in the prime field of p = 2^255 - 19.
//
// An element is five signed 64-bit limbs in radix 2^51: value = sum limb[i] * 2^(51 i),
// taken modulo p. Limbs are not kept normalised: gf_add and gf_sub work limb by limb
// without carrying, so limbs may be negative or exceed 51 bits. Every operation accepts
// sums and differences of a few multiplied or unpacked elements (any limb of magnitude
// below 2^58); products are formed in 128-bit integers and carried back below 2^52.
// Only gf_pack produces the canonical value.
//
// Nothing here branches on or indexes by the value of an element: secrets stay
// secret under timing.
#include <array>
#include <cstdint>
#include <optional>

#include "encoding/bytes.h"

namespace crypto {

// The field code the curve operations can run on, slowest first; all give the same
// bytes. The best the CPU has is chosen once (ONDREL_CPU_CAP holds it lower: bmi2adx,
// ifma); tests and benchmarks ask for each.
enum class FieldIsa : std::uint8_t {
  Portable,  // five 51-bit limbs, this header
  Mulx,      // four 64-bit limbs through BMI2 and ADX (crypto/field64.h)
  Ifma,      // four field products at once through AVX-512 IFMA (the X25519 ladder only)
};

FieldIsa best_field_isa();
// Whether this CPU runs `isa`.
bool field_isa_supported(FieldIsa isa);
const char* to_string(FieldIsa isa);

struct Gf {
  std::array<std::int64_t, 5> v{};
};

namespace field_detail {
__extension__ typedef __int128 i128;
inline constexpr std::int64_t kMask51 = (std::int64_t{1} << 51) - 1;

constexpr std::uint64_t load_u64_le(const std::uint8_t* p) {
  std::uint64_t x = 0;
  for (int i = 7; i >= 0; --i) x = (x << 8) | p[i];
  return x;
}
}  // namespace field_detail

// Element from 32 little-endian bytes; bit 255 is ignored, so values 2^255 - 19 ...
// 2^255 - 1 (not canonical) are accepted and taken modulo p.
constexpr Gf gf_unpack(const std::array<std::uint8_t, 32>& s) {
  using field_detail::kMask51;
  using field_detail::load_u64_le;
  const std::uint64_t w0 = load_u64_le(s.data());
  const std::uint64_t w1 = load_u64_le(s.data() + 8);
  const std::uint64_t w2 = load_u64_le(s.data() + 16);
  const std::uint64_t w3 = load_u64_le(s.data() + 24);
  Gf r;
  r.v[0] = static_cast<std::int64_t>(w0) & kMask51;
  r.v[1] = static_cast<std::int64_t>((w0 >> 51) | (w1 << 13)) & kMask51;
  r.v[2] = static_cast<std::int64_t>((w1 >> 38) | (w2 << 26)) & kMask51;
  r.v[3] = static_cast<std::int64_t>((w2 >> 25) | (w3 << 39)) & kMask51;
  r.v[4] = static_cast<std::int64_t>(w3 >> 12) & kMask51;
  return r;
}

// Small non-negative constant as an element.
constexpr Gf gf_from_u64(std::uint64_t x) {
  Gf r;
  r.v[0] = static_cast<std::int64_t>(x) & field_detail::kMask51;
  r.v[1] = static_cast<std::int64_t>(x >> 51);
  return r;
}

constexpr Gf gf_copy(const Gf& a) { return a; }

constexpr Gf gf_add(const Gf& a, const Gf& b) {
  Gf r;
  for (int i = 0; i < 5; ++i) r.v[i] = a.v[i] + b.v[i];
  return r;
}

constexpr Gf gf_sub(const Gf& a, const Gf& b) {
  Gf r;
  for (int i = 0; i < 5; ++i) r.v[i] = a.v[i] - b.v[i];
  return r;
}

// One carry pass, in place: limb i keeps its low 51 bits (the arithmetic shift rounds
// towards minus infinity, so negative limbs carry correctly) and passes the rest to
// limb i + 1; the carry out of limb 4 comes back into limb 0 times 19
// (2^255 = 19 mod p).
constexpr void gf_carry(Gf& a) {
  using field_detail::kMask51;
  std::int64_t c = 0;
  for (int i = 0; i < 5; ++i) {
    a.v[i] += c;
    c = a.v[i] >> 51;
    a.v[i] &= kMask51;
  }
  a.v[0] += 19 * c;
}

namespace field_detail {
// Carries five 128-bit column sums back into 51-bit limbs: one pass in 128 bits with
// the top carry folded back times 19, then a second carry out of limb 0.
constexpr Gf reduce_columns(i128 t0, i128 t1, i128 t2, i128 t3, i128 t4) {
  Gf r;
  t1 += t0 >> 51;
  r.v[0] = static_cast<std::int64_t>(t0 & kMask51);
  t2 += t1 >> 51;
  r.v[1] = static_cast<std::int64_t>(t1 & kMask51);
  t3 += t2 >> 51;
  r.v[2] = static_cast<std::int64_t>(t2 & kMask51);
  t4 += t3 >> 51;
  r.v[3] = static_cast<std::int64_t>(t3 & kMask51);
  const i128 top = t4 >> 51;
  r.v[4] = static_cast<std::int64_t>(t4 & kMask51);
  const i128 x0 = static_cast<i128>(r.v[0]) + top * 19;
  r.v[0] = static_cast<std::int64_t>(x0 & kMask51);
  r.v[1] += static_cast<std::int64_t>(x0 >> 51);
  return r;
}
}  // namespace field_detail

// Product, reduced: the 25 limb products are summed into five columns, the part above
// 2^255 folded back times 19, then carried.
constexpr Gf gf_mul(const Gf& a, const Gf& b) {
  using field_detail::i128;
  const std::int64_t b1_19 = 19 * b.v[1], b2_19 = 19 * b.v[2], b3_19 = 19 * b.v[3], b4_19 = 19 * b.v[4];
  const auto m = [](std::int64_t x, std::int64_t y) { return static_cast<i128>(x) * y; };
  const i128 t0 = m(a.v[0], b.v[0]) + m(a.v[1], b4_19) + m(a.v[2], b3_19) + m(a.v[3], b2_19) + m(a.v[4], b1_19);
  const i128 t1 = m(a.v[0], b.v[1]) + m(a.v[1], b.v[0]) + m(a.v[2], b4_19) + m(a.v[3], b3_19) + m(a.v[4], b2_19);
  const i128 t2 = m(a.v[0], b.v[2]) + m(a.v[1], b.v[1]) + m(a.v[2], b.v[0]) + m(a.v[3], b4_19) + m(a.v[4], b3_19);
  const i128 t3 = m(a.v[0], b.v[3]) + m(a.v[1], b.v[2]) + m(a.v[2], b.v[1]) + m(a.v[3], b.v[0]) + m(a.v[4], b4_19);
  const i128 t4 = m(a.v[0], b.v[4]) + m(a.v[1], b.v[3]) + m(a.v[2], b.v[2]) + m(a.v[3], b.v[1]) + m(a.v[4], b.v[0]);
  return field_detail::reduce_columns(t0, t1, t2, t3, t4);
}

// a * a, with the symmetric products formed once.
constexpr Gf gf_sq(const Gf& a) {
  using field_detail::i128;
  const std::int64_t a0_2 = 2 * a.v[0], a1_2 = 2 * a.v[1];
  const std::int64_t a3_19 = 19 * a.v[3], a4_19 = 19 * a.v[4];
  const auto m = [](std::int64_t x, std::int64_t y) { return static_cast<i128>(x) * y; };
  const i128 t0 = m(a.v[0], a.v[0]) + m(2 * a.v[1], a4_19) + m(2 * a.v[2], a3_19);
  const i128 t1 = m(a0_2, a.v[1]) + m(2 * a.v[2], a4_19) + m(a.v[3], a3_19);
  const i128 t2 = m(a0_2, a.v[2]) + m(a.v[1], a.v[1]) + m(2 * a.v[3], a4_19);
  const i128 t3 = m(a0_2, a.v[3]) + m(a1_2, a.v[2]) + m(a.v[4], a4_19);
  const i128 t4 = m(a0_2, a.v[4]) + m(a1_2, a.v[3]) + m(a.v[2], a.v[2]);
  return field_detail::reduce_columns(t0, t1, t2, t3, t4);
}

// In place: swaps a and b when bit is 1 and leaves them when it is 0, running the same
// operations either way.
constexpr void gf_cswap(Gf& a, Gf& b, std::uint32_t bit) {
  const std::int64_t mask = -static_cast<std::int64_t>(bit & 1);
  for (int i = 0; i < 5; ++i) {
    const std::int64_t t = mask & (a.v[i] ^ b.v[i]);
    a.v[i] ^= t;
    b.v[i] ^= t;
  }
}

// Canonical 32-byte little-endian encoding, value reduced into 0 .. p - 1.
std::array<std::uint8_t, 32> gf_pack(const Gf& a);

// a^(p-2): the inverse of a, and 0 for 0.
Gf gf_inv(const Gf& a);

// a^(2^252 - 3).
Gf gf_pow2523(const Gf& a);

// True when the canonical encoding is 32 zero bytes.
bool gf_is_zero(const Gf& a);

// True when a and b are the same field element (canonical encodings compared in full).
bool gf_equal(const Gf& a, const Gf& b);

// A square root of a, or none when a is not a square; 0 gives 0. The root is returned
// as computed, without choosing a sign.
std::optional<Gf> gf_sqrt_opt(const Gf& a);

// The square root of -1, 2^((p - 1) / 4) mod p.
inline constexpr Gf ed_sqrt_m1 =
    gf_unpack({0xb0, 0xa0, 0x0e, 0x4a, 0x27, 0x1b, 0xee, 0xc4, 0x78, 0xe4, 0x2f, 0xad, 0x06, 0x18, 0x43, 0x2f,
               0xa7, 0xd7, 0xfb, 0x3d, 0x99, 0x00, 0x4d, 0x2b, 0x0b, 0xdf, 0xc1, 0x4f, 0x80, 0x24, 0x83, 0x2b});

// (p - 1) / 2 = 2^254 - 10 as 32 little-endian bytes.
inline constexpr std::array<std::uint8_t, 32> half_p_le = {
    0xf6, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x3f};

}  // namespace crypto
