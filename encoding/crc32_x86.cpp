#include "encoding/crc32_x86.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include <array>

namespace encoding::detail {

#if defined(__x86_64__) || defined(__i386__)

namespace {

// How the folding works.
//
// The CRC is M(x) * x^32 mod P(x) for the message polynomial M, whose first bit (bit 0 of
// the first byte) is its highest term; the initial value complements the first 32 bits.
// A 16-byte block loaded little-endian into a vector register therefore holds bit j as
// the coefficient of x^(127 - j): the low 64-bit lane A is the block's high half and the
// high lane B its low half, block = A * x^64 + B.
//
// Folding moves a block d bits further on without changing the CRC: the block followed
// by d bits contributes block * x^d = A * x^(d+64) + B * x^d, and replacing each power by
// its remainder mod P leaves the CRC alone. A times (x^(d+64) mod P), a 32-bit
// polynomial, has fewer than 96 terms and can be XORed into the block d bits on.
//
// PCLMULQDQ multiplies integers' bits as polynomials, bit i standing for x^i. With both
// factors reflected (a lane's bit i for x^(63-i), a 32-bit constant's bit j for
// x^(31-j)), bit m of the product gathers the terms of x^(94-m). Read as a block, where
// bit m stands for x^(127-m), that is the product times x^33. So the constant that
// multiplies a lane by x^e is x^(e-33) mod P, bit-reflected: it is computed below by
// stepping the bitwise CRC's shift-register e-33 times from x^0.
//
// The end turns one 128-bit block X = A * x^64 + B into X * x^32 mod P in three steps:
// 96 bits T = A * (x^96 mod P) + B * x^32; 64 bits U = C * (x^64 mod P) + D where C is
// T's high 32 bits and D the rest; then Barrett's reduction of U, exact for
// polynomials: with mu = floor(x^64 / P), the quotient is
// q = floor(floor(U / x^32) * mu / x^32) and the remainder the low 32 bits of U - q * P.
// T is held in the low 96 bits of a register (bit j for x^(95-j)) and U in the low 64
// (bit j for x^(63-j)); read at those widths a product gains x^1 rather than x^33, so A
// takes x^95 and C x^63. mu and P have 33 bits and are reflected over 33 (bit 32 - d for
// x^d), so their products with reflected 32-bit values land with bit m standing for
// x^(63-m), as U does.

constexpr std::uint32_t poly = 0xEDB88320u;

// x^e mod P, reflected as the CRC register is (bit 31 - d holds x^d).
constexpr std::uint32_t x_pow_mod(unsigned e) {
  std::uint32_t r = 1u << 31;  // x^0
  for (unsigned i = 0; i < e; ++i) r = (r & 1) ? (r >> 1) ^ poly : r >> 1;
  return r;
}

// P with its x^32 term, reflected over 33 bits: x^32 on bit 0, the rest one bit up.
constexpr std::uint64_t poly33 = (std::uint64_t{poly} << 1) | 1;

// floor(x^64 / P) by long division, reflected over 33 bits.
constexpr std::uint64_t barrett_mu() {
  std::uint64_t p = 0;  // P unreflected, bit d for x^d
  for (unsigned d = 0; d <= 32; ++d) {
    if ((poly33 >> (32 - d)) & 1) p |= std::uint64_t{1} << d;
  }
  // The first step takes x^32 * P from x^64, leaving (P - x^32) * x^32; the rest fit in
  // 64 bits.
  std::uint64_t q = std::uint64_t{1} << 32;
  std::uint64_t r = (p ^ (std::uint64_t{1} << 32)) << 32;
  for (unsigned d = 63; d >= 32; --d) {
    if ((r >> d) & 1) {
      q |= std::uint64_t{1} << (d - 32);
      r ^= p << (d - 32);
    }
  }
  std::uint64_t reflected = 0;
  for (unsigned d = 0; d <= 32; ++d) {
    if ((q >> d) & 1) reflected |= std::uint64_t{1} << (32 - d);
  }
  return reflected;
}

// The two lane constants that fold a block `bits` further on: the low lane (A) times
// x^(bits+64), the high lane (B) times x^bits.
struct FoldBy {
  long long low, high;
};

constexpr FoldBy fold_by(unsigned bits) {
  return {static_cast<long long>(x_pow_mod(bits + 64 - 33)), static_cast<long long>(x_pow_mod(bits - 33))};
}

constexpr FoldBy by128 = fold_by(128), by256 = fold_by(256), by384 = fold_by(384), by512 = fold_by(512);
constexpr FoldBy by1024 = fold_by(1024), by1536 = fold_by(1536), by2048 = fold_by(2048);

// The end: the low lane times x^96 and C times x^64, then mu and P.
constexpr FoldBy to_96_and_64 = {static_cast<long long>(x_pow_mod(95)), static_cast<long long>(x_pow_mod(63))};
constexpr FoldBy barrett = {static_cast<long long>(barrett_mu()), static_cast<long long>(poly33)};

// Byte-shuffle controls for the last partial block: 16 bytes from offset n move a
// register's bytes n places up (its first n bytes to the top), from offset 16 + n n
// places down; 0x80 clears a byte.
constexpr std::array<std::uint8_t, 48> shifts = [] {
  std::array<std::uint8_t, 48> t{};
  for (std::size_t i = 0; i < t.size(); ++i) t[i] = i >= 16 && i < 32 ? static_cast<std::uint8_t>(i - 16) : 0x80;
  return t;
}();

#define ONDREL_CLMUL_TARGET __attribute__((target("pclmul,sse4.1")))
#define ONDREL_VPCLMUL_TARGET __attribute__((target("avx512f,avx512bw,avx512vl,vpclmulqdq,pclmul,sse4.1")))

ONDREL_CLMUL_TARGET inline __m128i load(const std::uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

ONDREL_CLMUL_TARGET inline __m128i constants(FoldBy k) { return _mm_set_epi64x(k.high, k.low); }

ONDREL_CLMUL_TARGET inline __m128i fold(__m128i x, __m128i k) {
  return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

// X * x^32 mod P for the block x: the CRC register.
ONDREL_CLMUL_TARGET inline std::uint32_t reduce(__m128i x) {
  const __m128i low32 = _mm_set_epi32(0, 0, 0, -1);
  const __m128i k = constants(to_96_and_64);
  const __m128i t = _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_srli_si128(x, 8));
  const __m128i u = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(t, low32), k, 0x10), _mm_srli_si128(t, 4));
  const __m128i b = constants(barrett);
  const __m128i q = _mm_and_si128(_mm_clmulepi64_si128(_mm_and_si128(u, low32), b, 0x00), low32);
  const __m128i r = _mm_xor_si128(u, _mm_clmulepi64_si128(q, b, 0x10));
  return static_cast<std::uint32_t>(_mm_extract_epi32(r, 1));
}

// The CRC register after the block x (everything before p, folded) and the n bytes at p.
ONDREL_CLMUL_TARGET inline std::uint32_t finish(__m128i x, const std::uint8_t* p, std::size_t n) {
  const __m128i k = constants(by128);
  for (; n >= 16; p += 16, n -= 16) x = _mm_xor_si128(fold(x, k), load(p));
  if (n > 0) {
    // x and the n bytes left are 16 + n bytes: x's first n bytes, a short block folded
    // 16 bytes on, then a full block of x's other 16 - n bytes and the n left. That block
    // is the input's last 16 bytes with x's bytes in place of those already folded into x.
    const __m128i up = _mm_loadu_si128(reinterpret_cast<const __m128i*>(shifts.data() + n));
    const __m128i down = _mm_loadu_si128(reinterpret_cast<const __m128i*>(shifts.data() + 16 + n));
    const __m128i last = load(p + n - 16);
    const __m128i rest = _mm_blendv_epi8(last, _mm_shuffle_epi8(x, down), up);
    x = _mm_xor_si128(fold(_mm_shuffle_epi8(x, up), k), rest);
  }
  return reduce(x);
}

}  // namespace

ONDREL_CLMUL_TARGET std::uint32_t crc32_update_clmul(std::uint32_t crc, const std::uint8_t* p, std::size_t n) {
  __m128i x0 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
  if (n < 64) return finish(x0, p + 16, n - 16);
  // Four lanes of 16 bytes run side by side, so that a multiplication's latency is
  // covered by the other lanes', each folded 64 bytes on per step.
  __m128i x1 = load(p + 16), x2 = load(p + 32), x3 = load(p + 48);
  p += 64;
  n -= 64;
  const __m128i k = constants(by512);
  for (; n >= 64; p += 64, n -= 64) {
    x0 = _mm_xor_si128(fold(x0, k), load(p));
    x1 = _mm_xor_si128(fold(x1, k), load(p + 16));
    x2 = _mm_xor_si128(fold(x2, k), load(p + 32));
    x3 = _mm_xor_si128(fold(x3, k), load(p + 48));
  }
  x3 = _mm_xor_si128(x3, fold(x0, constants(by384)));
  x3 = _mm_xor_si128(x3, _mm_xor_si128(fold(x1, constants(by256)), fold(x2, constants(by128))));
  return finish(x3, p, n);
}

namespace {

ONDREL_VPCLMUL_TARGET inline __m512i load512(const std::uint8_t* p) { return _mm512_loadu_si512(p); }

// The same pair in each 128-bit lane.
ONDREL_VPCLMUL_TARGET inline __m512i constants512(FoldBy k) {
  return _mm512_set_epi64(k.high, k.low, k.high, k.low, k.high, k.low, k.high, k.low);
}

// a ^ b ^ c in one instruction.
ONDREL_VPCLMUL_TARGET inline __m512i xor3(__m512i a, __m512i b, __m512i c) {
  return _mm512_ternarylogic_epi64(a, b, c, 0x96);
}

// Each 128-bit lane of x folded by k, with data added.
ONDREL_VPCLMUL_TARGET inline __m512i fold512(__m512i x, __m512i k, __m512i data) {
  return xor3(_mm512_clmulepi64_epi128(x, k, 0x00), _mm512_clmulepi64_epi128(x, k, 0x11), data);
}

}  // namespace

ONDREL_VPCLMUL_TARGET std::uint32_t crc32_update_vpclmul(std::uint32_t crc, const std::uint8_t* p, std::size_t n) {
  __m512i z = _mm512_xor_si512(load512(p), _mm512_zextsi128_si512(_mm_cvtsi32_si128(static_cast<int>(crc))));
  if (n >= 256) {
    // Four registers of four 16-byte lanes, 256 bytes a step.
    __m512i z1 = load512(p + 64), z2 = load512(p + 128), z3 = load512(p + 192);
    p += 256;
    n -= 256;
    const __m512i k = constants512(by2048);
    for (; n >= 256; p += 256, n -= 256) {
      z = fold512(z, k, load512(p));
      z1 = fold512(z1, k, load512(p + 64));
      z2 = fold512(z2, k, load512(p + 128));
      z3 = fold512(z3, k, load512(p + 192));
    }
    const __m512i zero = _mm512_setzero_si512();
    z = xor3(fold512(z, constants512(by1536), zero), fold512(z1, constants512(by1024), zero),
             fold512(z2, constants512(by512), z3));
  } else {
    // One register of four lanes, from 64 bytes.
    p += 64;
    n -= 64;
  }
  const __m512i k64 = constants512(by512);
  for (; n >= 64; p += 64, n -= 64) z = fold512(z, k64, load512(p));
  // The four lanes of z into one: the first three folded 384, 256 and 128 bits on to the
  // last, which is added as it stands (its constants are zero, its product nothing).
  const __m512i lanes = _mm512_set_epi64(0, 0, by128.high, by128.low, by256.high, by256.low, by384.high, by384.low);
  z = fold512(z, lanes, _mm512_maskz_mov_epi64(0xC0, z));
  // (GCC 12's plain casts and extracts of 512-bit registers read an undefined register
  // that -Wuninitialized reports; the zero-masked extracts do not.)
  const __m128i x = _mm_xor_si128(
      _mm_xor_si128(_mm512_maskz_extracti32x4_epi32(0xF, z, 0), _mm512_maskz_extracti32x4_epi32(0xF, z, 1)),
      _mm_xor_si128(_mm512_maskz_extracti32x4_epi32(0xF, z, 2), _mm512_maskz_extracti32x4_epi32(0xF, z, 3)));
  return finish(x, p, n);
}

#endif

}  // namespace encoding::detail
