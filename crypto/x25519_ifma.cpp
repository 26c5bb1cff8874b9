#include "crypto/x25519_ifma.h"

#if defined(X25519_IFMA_AVAILABLE)

#include <immintrin.h>

#include "crypto/field.h"

// Only these functions are compiled for the AVX-512 instructions; callers check the CPU
// first.
#define IFMA_TARGET __attribute__((target("avx2,avx512f,avx512vl,avx512ifma")))
#define IFMA_INLINE IFMA_TARGET __attribute__((always_inline)) inline

namespace crypto {

namespace {

// Four field elements side by side: lane j of limb i is limb i of element j, in the
// radix 2^51 of Gf (value = sum limb[i] * 2^(51 i), modulo p), limbs unsigned.
//
// The multiply-add instructions read only the low 52 bits of each input lane, so every
// input of mul() has limbs below 2^52; mul() and carry() return limbs below 2^52 (one
// carry round from sums below 2^61), and the sums below are carried before they are
// multiplied.
struct Fe4 {
  __m256i l[5];
};

constexpr std::uint64_t kMask51 = (std::uint64_t{1} << 51) - 1;

IFMA_INLINE __m256i splat(std::uint64_t x) { return _mm256_set1_epi64x(static_cast<long long>(x)); }

IFMA_INLINE __m256i times19(__m256i x) {
  return _mm256_add_epi64(_mm256_add_epi64(x, _mm256_slli_epi64(x, 1)), _mm256_slli_epi64(x, 4));
}

// One carry round over all limbs at once: each limb keeps its low 51 bits and passes
// the rest up; the carry out of limb 4 comes back into limb 0 times 19 (2^255 = 19 mod
// p). From limbs below 2^61 this leaves limbs below 2^52.
IFMA_INLINE Fe4 carry(const Fe4& a) {
  const __m256i mask = splat(kMask51);
  __m256i c[5];
  Fe4 r;
  for (int i = 0; i < 5; ++i) {
    c[i] = _mm256_srli_epi64(a.l[i], 51);
    r.l[i] = _mm256_and_si256(a.l[i], mask);
  }
  for (int i = 1; i < 5; ++i) r.l[i] = _mm256_add_epi64(r.l[i], c[i - 1]);
  r.l[0] = _mm256_add_epi64(r.l[0], times19(c[4]));
  return r;
}

// Lane by lane a * b. Each 104-bit limb product splits at bit 52: the low part counts
// at 2^(51 k), the high part at 2^(51 (k + 1)) twice. Columns stay below 15 * 2^52;
// those at and above 2^255 come back times 19, below 2^61. The rows of a are summed in
// two groups, so that no column waits on more than three multiply-adds in a row.
IFMA_INLINE Fe4 mul(const Fe4& a, const Fe4& b) {
  const __m256i zero = _mm256_setzero_si256();
  __m256i lo[2][9], hi[2][10];
  for (auto& g : lo)
    for (auto& x : g) x = zero;
  for (auto& g : hi)
    for (auto& x : g) x = zero;
  for (int i = 0; i < 5; ++i) {
    const int g = i < 3 ? 0 : 1;
    for (int j = 0; j < 5; ++j) {
      lo[g][i + j] = _mm256_madd52lo_epu64(lo[g][i + j], a.l[i], b.l[j]);
      hi[g][i + j + 1] = _mm256_madd52hi_epu64(hi[g][i + j + 1], a.l[i], b.l[j]);
    }
  }
  __m256i z[10];
  z[0] = lo[0][0];
  for (int k = 1; k < 9; ++k) {
    const __m256i l = _mm256_add_epi64(lo[0][k], lo[1][k]);
    const __m256i h = _mm256_add_epi64(hi[0][k], hi[1][k]);
    z[k] = _mm256_add_epi64(l, _mm256_slli_epi64(h, 1));
  }
  z[9] = _mm256_slli_epi64(_mm256_add_epi64(hi[0][9], hi[1][9]), 1);
  Fe4 r;
  for (int k = 0; k < 5; ++k) r.l[k] = _mm256_add_epi64(z[k], times19(z[k + 5]));
  return carry(r);
}

// Lane by lane a * k for a constant k below 2^17, not carried: limbs below 2^52 + 2^24.
IFMA_INLINE Fe4 mul_small(const Fe4& a, std::uint64_t k) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i kv = splat(k);
  __m256i lo[5], hi[5];
  for (int i = 0; i < 5; ++i) {
    lo[i] = _mm256_madd52lo_epu64(zero, a.l[i], kv);
    hi[i] = _mm256_madd52hi_epu64(zero, a.l[i], kv);
  }
  Fe4 r;
  r.l[0] = _mm256_add_epi64(lo[0], times19(_mm256_slli_epi64(hi[4], 1)));
  for (int i = 1; i < 5; ++i) r.l[i] = _mm256_add_epi64(lo[i], _mm256_slli_epi64(hi[i - 1], 1));
  return r;
}

IFMA_INLINE Fe4 add(const Fe4& a, const Fe4& b) {
  Fe4 r;
  for (int i = 0; i < 5; ++i) r.l[i] = _mm256_add_epi64(a.l[i], b.l[i]);
  return r;
}

// 4p - a, limb by limb: 4p's limbs (2^53 - 76, 2^53 - 4, ...) exceed any limb below
// 2^52, so nothing goes negative.
IFMA_INLINE Fe4 negate(const Fe4& a) {
  Fe4 r;
  r.l[0] = _mm256_sub_epi64(splat(4 * (kMask51 - 18)), a.l[0]);
  for (int i = 1; i < 5; ++i) r.l[i] = _mm256_sub_epi64(splat(4 * kMask51), a.l[i]);
  return r;
}

// Lane j of the result is lane (imm >> 2j) & 3 of a.
template <int imm>
IFMA_INLINE Fe4 permute(const Fe4& a) {
  Fe4 r;
  for (int i = 0; i < 5; ++i) r.l[i] = _mm256_permute4x64_epi64(a.l[i], imm);
  return r;
}

// The lanes whose two bits are set in imm (bits 2j and 2j + 1 for lane j) from b, the
// others from a.
template <int imm>
IFMA_INLINE Fe4 blend(const Fe4& a, const Fe4& b) {
  Fe4 r;
  for (int i = 0; i < 5; ++i) r.l[i] = _mm256_blend_epi32(a.l[i], b.l[i], imm);
  return r;
}

constexpr int kLane0 = 0x03, kLane1 = 0x0c, kLanes13 = 0xcc, kLanes23 = 0xf0;

// (x2, z2, x3, z3) becomes (x3, z3, x2, z2) where mask is all ones, by the same
// operations either way.
IFMA_INLINE Fe4 cswap_pairs(const Fe4& s, __m256i mask) {
  Fe4 r;
  for (int i = 0; i < 5; ++i) {
    const __m256i other = _mm256_permute4x64_epi64(s.l[i], _MM_SHUFFLE(1, 0, 3, 2));
    r.l[i] = _mm256_xor_si256(s.l[i], _mm256_and_si256(mask, _mm256_xor_si256(s.l[i], other)));
  }
  return r;
}

IFMA_INLINE __m256i lanes(std::uint64_t l0, std::uint64_t l1, std::uint64_t l2, std::uint64_t l3) {
  return _mm256_set_epi64x(static_cast<long long>(l3), static_cast<long long>(l2), static_cast<long long>(l1),
                           static_cast<long long>(l0));
}

}  // namespace

IFMA_TARGET std::array<std::uint8_t, 32> x25519_ladder_ifma(const std::array<std::uint8_t, 32>& scalar,
                                                            const std::array<std::uint8_t, 32>& u) {
  const Gf x1 = gf_unpack(u);  // limbs below 2^51
  const auto limb = [&](int i) { return static_cast<std::uint64_t>(x1.v[static_cast<std::size_t>(i)]); };
  // The state (x2, z2, x3, z3) = (1, 0, u, 1), and the last step's multipliers (1, 1, 1, u).
  Fe4 s, x1_last;
  for (int i = 0; i < 5; ++i) {
    const std::uint64_t one = i == 0 ? 1 : 0;
    s.l[i] = lanes(one, 0, limb(i), one);
    x1_last.l[i] = lanes(one, one, one, limb(i));
  }

  // The portable ladder's step, four products at a time. Only the swap masks depend on
  // the scalar; each step swaps by its bit XOR the previous one.
  std::uint64_t swapped = 0;
  for (int t = 254; t >= 0; --t) {
    const std::uint64_t bit = (scalar[static_cast<std::size_t>(t >> 3)] >> (t & 7)) & 1;
    s = cswap_pairs(s, splat(0 - (bit ^ swapped)));
    swapped = bit;

    // (A, B, C, D) = (x2 + z2, x2 - z2, x3 + z3, x3 - z3)
    const Fe4 xs = permute<_MM_SHUFFLE(2, 2, 0, 0)>(s);
    const Fe4 zs = permute<_MM_SHUFFLE(3, 3, 1, 1)>(s);
    const Fe4 abcd = carry(add(xs, blend<kLanes13>(zs, negate(zs))));
    // (AA, BB, CB, DA)
    const Fe4 m1 = mul(abcd, permute<_MM_SHUFFLE(0, 1, 1, 0)>(abcd));
    // (AA, E, DA + CB, DA - CB) with E = AA - BB
    const Fe4 aa_dada = permute<_MM_SHUFFLE(3, 3, 0, 0)>(m1);
    const Fe4 bb_cbcb = permute<_MM_SHUFFLE(2, 2, 1, 1)>(m1);
    Fe4 zero{};
    for (auto& x : zero.l) x = _mm256_setzero_si256();
    const Fe4 t2 = carry(add(aa_dada, blend<kLane0>(blend<kLanes13>(bb_cbcb, negate(bb_cbcb)), zero)));
    // (BB, AA + 121665 E, DA + CB, DA - CB)
    const Fe4 bb_aa = permute<_MM_SHUFFLE(3, 2, 0, 1)>(m1);
    const Fe4 a24e = mul_small(t2, 121665);
    const Fe4 q = carry(blend<kLanes23>(add(bb_aa, blend<kLane1>(zero, a24e)), t2));
    // (x2, z2, x3, z3) = (AA BB, E (AA + 121665 E), (DA + CB)^2, u (DA - CB)^2)
    s = mul(mul(t2, q), x1_last);
  }
  s = cswap_pairs(s, splat(0 - swapped));

  alignas(32) std::uint64_t out[5][4];
  for (int i = 0; i < 5; ++i) _mm256_store_si256(reinterpret_cast<__m256i*>(out[i]), s.l[i]);
  Gf x2, z2;  // limbs below 2^52, as Gf allows
  for (std::size_t i = 0; i < 5; ++i) {
    x2.v[i] = static_cast<std::int64_t>(out[i][0]);
    z2.v[i] = static_cast<std::int64_t>(out[i][1]);
  }
  return gf_pack(gf_mul(x2, gf_inv(z2)));
}

}  // namespace crypto

#endif  // X25519_IFMA_AVAILABLE
