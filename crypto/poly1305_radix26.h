#pragma once
// Poly1305 over long runs of blocks in radix 2^26 with one block per 64-bit vector lane:
// the kernel shared by the SSE2 code (two lanes) and the AVX2 code (four lanes).
//
// Each source file that includes this header compiles it for its own instruction set
// (the AVX2 one under a target pragma), so everything here has internal linkage: the
// copies built for different sets must never be merged by the linker. The 128-bit
// mul32 is here, since SSE2 is part of every x86-64 CPU.
//
// Lane j of an accumulator takes blocks j, j + L, j + 2L, ... (L lanes). Every step
// multiplies the accumulator by r^L and adds the next L blocks; G steps are done
// together, as acc * r^2L + A * r^L + B for G = 2, so the products of the G groups are
// independent and the carries are done once per G L blocks. At the end lane j is
// multiplied by r^(L - j) and the lanes are summed, which is the sequential result.
//
// Limbs are 26 bits; values are carried only partially, so a limb may run a few bits
// over 2^26. Products of a limb and a power limb (times 5 at most) stay below 2^55.5,
// and the 5 G such terms and an added block below 2^60 for G up to 4, so nothing
// overflows 64 bits.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace crypto::detail {
namespace {  // internal linkage on purpose, see above

constexpr std::uint64_t radix26_mask = (std::uint64_t{1} << 26) - 1;

using U64x2 = std::uint64_t __attribute__((vector_size(16)));

// The low 32 bits of each lane of a times those of b, as 64-bit products.
[[gnu::always_inline]] inline U64x2 mul32(U64x2 a, U64x2 b) {
  return reinterpret_cast<U64x2>(_mm_mul_epu32(reinterpret_cast<__m128i>(a), reinterpret_cast<__m128i>(b)));
}

// Wider lanes come with their own mul32, declared by the file that includes this
// header after its target pragma.

template <class V>
constexpr std::size_t lanes_of = sizeof(V) / 8;

template <class V>
struct Limbs26 {
  V l[5];
};

// L consecutive blocks, block j in lane j, split into limbs with the 2^128 bit set.
template <class V>
[[gnu::always_inline]] inline Limbs26<V> load_blocks26(const std::uint8_t* m) {
  V a, b;
  std::memcpy(&a, m, sizeof a);
  std::memcpy(&b, m + sizeof a, sizeof b);
  V lo, hi;  // the first and the last eight bytes of each block
  if constexpr (lanes_of<V> == 2) {
    lo = __builtin_shuffle(a, b, V{0, 2});
    hi = __builtin_shuffle(a, b, V{1, 3});
  } else {
    lo = __builtin_shuffle(a, b, V{0, 2, 4, 6});
    hi = __builtin_shuffle(a, b, V{1, 3, 5, 7});
  }
  Limbs26<V> v;
  v.l[0] = lo & radix26_mask;
  v.l[1] = (lo >> 26) & radix26_mask;
  v.l[2] = ((lo >> 52) | (hi << 12)) & radix26_mask;
  v.l[3] = (hi >> 14) & radix26_mask;
  v.l[4] = (hi >> 40) | (std::uint64_t{1} << 24);
  return v;
}

// A power of r in every lane, and its limbs times 5: 2^130 is 5 modulo 2^130 - 5, so
// s folds the products at 2^130 and above back to the bottom.
template <class V>
struct Power26 {
  V r[5], s[5];
};

template <class V>
[[gnu::always_inline]] inline Power26<V> broadcast_power(const std::uint64_t p[5]) {
  Power26<V> out;
  for (int i = 0; i < 5; ++i) {
    out.r[i] = V{} + p[i];
    out.s[i] = out.r[i] * 5;
  }
  return out;
}

// d += a * r, lane by lane, without carrying. Limb by limb of a, so that only d, one
// limb of a and one product are live at a time: with sixteen registers, the powers
// are read from memory rather than spilling partial sums.
// The compiler would otherwise regroup the sums so as to compute all 25 products
// first and spill most of them; the empty asm keeps each sum in a register in order.
template <class V>
[[gnu::always_inline]] inline void mul_add(Limbs26<V>& d, const Limbs26<V>& a, const Power26<V>& p) {
  for (int i = 0; i < 5; ++i) {
    const V x = a.l[i];
    // Limb i lands at limb k = i + j of the product; from k = 5 on it folds back to
    // k - 5 through the power's limb times 5.
    for (int j = 0; j < 5; ++j) {
      const int k = i + j;
      d.l[k % 5] += mul32(x, k < 5 ? p.r[j] : p.s[j]);
      asm("" : "+x"(d.l[k % 5]));
    }
  }
}

// Limbs of up to 2^59 carried back to 26 bits (limbs 1 and 4 a few bits over) in two
// interleaved chains, 0 -> 1 -> 2 -> 3 and 3 -> 4 -> 0 -> 1, so that neither waits on
// the other.
template <class V>
[[gnu::always_inline]] inline void carry26(Limbs26<V>& d) {
  V* x = d.l;
  V c0 = x[0] >> 26, c3 = x[3] >> 26;
  x[0] &= radix26_mask;
  x[3] &= radix26_mask;
  x[1] += c0;
  x[4] += c3;
  V c1 = x[1] >> 26, c4 = x[4] >> 26;
  x[1] &= radix26_mask;
  x[4] &= radix26_mask;
  x[2] += c1;
  x[0] += c4 + (c4 << 2);
  V c2 = x[2] >> 26;
  c0 = x[0] >> 26;
  x[2] &= radix26_mask;
  x[0] &= radix26_mask;
  x[3] += c2;
  x[1] += c0;
  c3 = x[3] >> 26;
  x[3] &= radix26_mask;
  x[4] += c3;
}

// h = (...((h + m_1) r + m_2) r + ... + m_n) r for n full blocks, n a positive multiple
// of the lane count L, G steps at a time, with powers[i] = r^(i + 1) for every i + 1
// that is at most L or a multiple of L up to G L (the others are not read). h comes in
// and goes out as five limbs of 26 bits, the top one a little over.
template <class V, std::size_t G>
[[gnu::always_inline]] inline void blocks26(std::uint64_t h[5], const std::uint64_t powers[8][5], const std::uint8_t* m,
                                            std::size_t n) {
  constexpr std::size_t lanes = lanes_of<V>;
  constexpr std::size_t group = 16 * lanes;
  static_assert(G * lanes <= 8);
  // steps[g] = r^((g + 1) L): the group g places before the last of a batch is
  // multiplied by steps[G - 1 - g], the accumulator by steps[G - 1].
  Power26<V> steps[G];
  for (std::size_t g = 0; g < G; ++g) steps[g] = broadcast_power<V>(powers[(g + 1) * lanes - 1]);

  Limbs26<V> acc = load_blocks26<V>(m);
  for (int i = 0; i < 5; ++i) acc.l[i][0] += h[i];
  m += group;
  n -= lanes;
  for (; n >= G * lanes; n -= G * lanes, m += G * group) {
    Limbs26<V> d = load_blocks26<V>(m + (G - 1) * group);
    mul_add(d, acc, steps[G - 1]);
    for (std::size_t g = 0; g + 1 < G; ++g) mul_add(d, load_blocks26<V>(m + g * group), steps[G - 2 - g]);
    carry26(d);
    acc = d;
  }
  for (; n > 0; n -= lanes, m += group) {
    Limbs26<V> d = load_blocks26<V>(m);
    mul_add(d, acc, steps[0]);
    carry26(d);
    acc = d;
  }

  // Lane j times r^(lanes - j), then the lanes summed.
  Power26<V> last;
  for (int i = 0; i < 5; ++i) {
    for (std::size_t j = 0; j < lanes; ++j) last.r[i][j] = powers[lanes - 1 - j][i];
    last.s[i] = last.r[i] * 5;
  }
  Limbs26<V> d{};
  mul_add(d, acc, last);
  std::uint64_t t[5];
  for (int i = 0; i < 5; ++i) {
    t[i] = 0;
    for (std::size_t j = 0; j < lanes; ++j) t[i] += d.l[i][j];
  }
  // Two carry passes leave every limb below 2^26 but the top one, which stays a
  // little above at most.
  for (int pass = 0; pass < 2; ++pass) {
    for (int i = 0; i < 4; ++i) {
      t[i + 1] += t[i] >> 26;
      t[i] &= radix26_mask;
    }
    const std::uint64_t c = t[4] >> 26;
    t[4] &= radix26_mask;
    t[0] += c * 5;
  }
  for (int i = 0; i < 4; ++i) {
    t[i + 1] += t[i] >> 26;
    t[i] &= radix26_mask;
  }
  for (int i = 0; i < 5; ++i) h[i] = t[i];
}

}  // namespace
}  // namespace crypto::detail
