#include "crypto/poly1305_x86.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include <cstdlib>

#if defined(__x86_64__) || defined(__i386__)
#include "crypto/poly1305_radix26.h"
#endif

namespace crypto::detail {

#if defined(__x86_64__) || defined(__i386__)

namespace {

#define ONDREL_IFMA __attribute__((target("avx512f,avx512ifma")))

constexpr std::uint64_t mask44 = (std::uint64_t{1} << 44) - 1;
constexpr std::uint64_t mask42 = (std::uint64_t{1} << 42) - 1;

// Plain vector arithmetic is written with the compiler's vector type, which maps it
// to the same instructions; g++ 12 warns about the undefined source operand the
// shift intrinsics pass. Only the 52-bit multiply-adds and the permutes are intrinsics.
using V8 = std::uint64_t __attribute__((vector_size(64)));

struct Vec3 {
  V8 l0, l1, l2;
};

ONDREL_IFMA inline V8 madd52lo(V8 acc, V8 a, V8 b) {
  return reinterpret_cast<V8>(_mm512_madd52lo_epu64(reinterpret_cast<__m512i>(acc), reinterpret_cast<__m512i>(a),
                                                    reinterpret_cast<__m512i>(b)));
}
ONDREL_IFMA inline V8 madd52hi(V8 acc, V8 a, V8 b) {
  return reinterpret_cast<V8>(_mm512_madd52hi_epu64(reinterpret_cast<__m512i>(acc), reinterpret_cast<__m512i>(a),
                                                    reinterpret_cast<__m512i>(b)));
}

// Eight blocks, one per 64-bit lane, split into 44-bit limbs with the 2^128 bit set.
ONDREL_IFMA inline Vec3 load_blocks(const std::uint8_t* m) {
  const __m512i a = _mm512_loadu_si512(m);
  const __m512i b = _mm512_loadu_si512(m + 64);
  const V8 lo = reinterpret_cast<V8>(_mm512_permutex2var_epi64(a, _mm512_set_epi64(14, 12, 10, 8, 6, 4, 2, 0), b));
  const V8 hi = reinterpret_cast<V8>(_mm512_permutex2var_epi64(a, _mm512_set_epi64(15, 13, 11, 9, 7, 5, 3, 1), b));
  return {lo & mask44, ((lo >> 44) | (hi << 20)) & mask44, (hi >> 24) | (std::uint64_t{1} << 40)};
}

// h * r modulo 2^130 - 5, lane by lane, limbs carried back to 44/44/42 bits (plus a
// bit or so). s1 = 20 r1 and s2 = 20 r2 fold the products at 2^132 and above, since
// 2^132 = 4 * 2^130 is 20 modulo p. Each madd52 adds the low or the high 52 bits of
// a 104-bit product; the high halves weigh 2^52 = 2^8 * 2^44 more than the low ones.
ONDREL_IFMA inline Vec3 mul(const Vec3& h, V8 r0, V8 r1, V8 r2, V8 s1, V8 s2) {
  const V8 z = {};
  V8 d0lo = madd52lo(z, h.l0, r0);
  V8 d0hi = madd52hi(z, h.l0, r0);
  V8 d1lo = madd52lo(z, h.l0, r1);
  V8 d1hi = madd52hi(z, h.l0, r1);
  V8 d2lo = madd52lo(z, h.l0, r2);
  V8 d2hi = madd52hi(z, h.l0, r2);
  d0lo = madd52lo(d0lo, h.l1, s2);
  d0hi = madd52hi(d0hi, h.l1, s2);
  d1lo = madd52lo(d1lo, h.l1, r0);
  d1hi = madd52hi(d1hi, h.l1, r0);
  d2lo = madd52lo(d2lo, h.l1, r1);
  d2hi = madd52hi(d2hi, h.l1, r1);
  d0lo = madd52lo(d0lo, h.l2, s1);
  d0hi = madd52hi(d0hi, h.l2, s1);
  d1lo = madd52lo(d1lo, h.l2, s2);
  d1hi = madd52hi(d1hi, h.l2, s2);
  d2lo = madd52lo(d2lo, h.l2, r0);
  d2hi = madd52hi(d2hi, h.l2, r0);

  Vec3 out;
  out.l0 = d0lo & mask44;
  d1lo += (d0lo >> 44) + (d0hi << 8);
  out.l1 = d1lo & mask44;
  d2lo += (d1lo >> 44) + (d1hi << 8);
  out.l2 = d2lo & mask42;
  // The bits at 2^130 and above come back times 5.
  const V8 c = (d2lo >> 42) + (d2hi << 10);
  out.l0 += c + (c << 2);
  out.l1 += out.l0 >> 44;
  out.l0 &= mask44;
  return out;
}

// Lane j gets powers[7 - j][limb] * times, so that lane j is multiplied by r^(8 - j).
ONDREL_IFMA inline V8 lane_powers(const std::uint64_t powers[8][3], int limb, std::uint64_t times) {
  V8 v;
  for (int j = 0; j < 8; ++j) v[j] = powers[7 - j][limb] * times;
  return v;
}

ONDREL_IFMA inline std::uint64_t lane_sum(V8 v) {
  std::uint64_t sum = 0;
  for (int j = 0; j < 8; ++j) sum += v[j];
  return sum;
}

}  // namespace

// Lane j accumulates blocks j, j + 8, j + 16, ...; each step multiplies every lane
// by r^8 and adds the next eight blocks. At the end lane j is multiplied by r^(8 - j)
// and the lanes are summed, which is the sequential result.
ONDREL_IFMA void poly1305_blocks_ifma(std::uint64_t h[3], const std::uint64_t powers[8][3], const std::uint8_t* m,
                                      std::size_t n) {
  const V8 r0 = V8{} + powers[7][0];
  const V8 r1 = V8{} + powers[7][1];
  const V8 r2 = V8{} + powers[7][2];
  const V8 s1 = r1 * 20;
  const V8 s2 = r2 * 20;

  Vec3 acc = load_blocks(m);
  acc.l0[0] += h[0];
  acc.l1[0] += h[1];
  acc.l2[0] += h[2];
  for (std::size_t i = 8; i < n; i += 8) {
    m += 128;
    const Vec3 next = load_blocks(m);
    acc = mul(acc, r0, r1, r2, s1, s2);
    acc.l0 += next.l0;
    acc.l1 += next.l1;
    acc.l2 += next.l2;
  }
  acc = mul(acc, lane_powers(powers, 0, 1), lane_powers(powers, 1, 1), lane_powers(powers, 2, 1),
            lane_powers(powers, 1, 20), lane_powers(powers, 2, 20));

  std::uint64_t t0 = lane_sum(acc.l0);
  std::uint64_t t1 = lane_sum(acc.l1);
  std::uint64_t t2 = lane_sum(acc.l2);
  t1 += t0 >> 44;
  t0 &= mask44;
  t2 += t1 >> 44;
  t1 &= mask44;
  t0 += (t2 >> 42) * 5;
  t2 &= mask42;
  t1 += t0 >> 44;
  t0 &= mask44;
  t2 += t1 >> 44;
  t1 &= mask44;
  h[0] = t0;
  h[1] = t1;
  h[2] = t2;
}

void poly1305_blocks_sse2(std::uint64_t h[5], const std::uint64_t powers[8][5], const std::uint8_t* m, std::size_t n) {
  blocks26<U64x2, 4>(h, powers, m, n);
}

#else

void poly1305_blocks_ifma(std::uint64_t*, const std::uint64_t (*)[3], const std::uint8_t*, std::size_t) {
  std::abort();
}
void poly1305_blocks_sse2(std::uint64_t*, const std::uint64_t (*)[5], const std::uint8_t*, std::size_t) {
  std::abort();
}

#endif

}  // namespace crypto::detail
