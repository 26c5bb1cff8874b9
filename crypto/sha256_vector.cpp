// SHA-256 for CPUs without the SHA instructions: the message schedule four words at a
// time in vectors, the rounds in general registers. The two run on different execution
// units, so the schedule costs little beside the rounds, which are a chain of dependent
// additions and rotations that no vector form shortens.
//
// The SSSE3 form takes one block at a time in 128-bit vectors. The AVX2 form puts two
// blocks side by side, one per 128-bit half, so the schedule of the second block comes
// free with the first; the second block's rounds then read its schedule from memory.
#include "crypto/sha_x86.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include <array>
#include <cstdlib>
#include <utility>

#include "crypto/sha256_constants.h"

namespace crypto::detail {

#if defined(__x86_64__) || defined(__i386__)

namespace {

#define ONDREL_SHA_INLINE __attribute__((always_inline)) inline

// The round constants twice over, four from one group then the same four again, so one
// 256-bit load gives both halves their constants.
alignas(32) constexpr std::array<std::uint32_t, 128> k256_twice = [] {
  std::array<std::uint32_t, 128> t{};
  for (std::size_t g = 0; g < 16; ++g) {
    for (std::size_t i = 0; i < 4; ++i) {
      t[8 * g + i] = sha256_round_constants[4 * g + i];
      t[8 * g + 4 + i] = sha256_round_constants[4 * g + i];
    }
  }
  return t;
}();

ONDREL_SHA_INLINE std::uint32_t rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

// One round on the eight working variables held in v, rotated by R places instead of
// moved: round R's a is v[-R mod 8]. wk is the schedule word plus its constant.
template <int R>
ONDREL_SHA_INLINE void round(std::array<std::uint32_t, 8>& v, std::uint32_t wk) {
  const std::uint32_t a = v[(8 - R) & 7], b = v[(9 - R) & 7], c = v[(10 - R) & 7];
  std::uint32_t& d = v[(11 - R) & 7];
  const std::uint32_t e = v[(12 - R) & 7], f = v[(13 - R) & 7], g = v[(14 - R) & 7];
  std::uint32_t& h = v[(15 - R) & 7];
  const std::uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + (((f ^ g) & e) ^ g) + wk;
  d += t1;
  h = t1 + (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + (((a ^ b) & (b ^ c)) ^ b);
}

// Four rounds from four consecutive wk words; group G starts at round 4 G.
template <int G>
ONDREL_SHA_INLINE void four_rounds(std::array<std::uint32_t, 8>& v, const std::uint32_t* wk) {
  round<(4 * G) & 7>(v, wk[0]);
  round<(4 * G + 1) & 7>(v, wk[1]);
  round<(4 * G + 2) & 7>(v, wk[2]);
  round<(4 * G + 3) & 7>(v, wk[3]);
}

ONDREL_SHA_INLINE void add_state(std::uint32_t state[8], const std::array<std::uint32_t, 8>& v) {
  for (std::size_t i = 0; i < 8; ++i) state[i] += v[i];
}

#define ONDREL_SSSE3_TARGET __attribute__((target("ssse3")))

struct Ops128 {
  using V = __m128i;
  ONDREL_SSSE3_TARGET static ONDREL_SHA_INLINE V add(V a, V b) { return _mm_add_epi32(a, b); }
  ONDREL_SSSE3_TARGET static ONDREL_SHA_INLINE V xor3(V a, V b, V c) { return _mm_xor_si128(_mm_xor_si128(a, b), c); }
  ONDREL_SSSE3_TARGET static ONDREL_SHA_INLINE V srl32(V a, int n) { return _mm_srli_epi32(a, n); }
  ONDREL_SSSE3_TARGET static ONDREL_SHA_INLINE V sll32(V a, int n) { return _mm_slli_epi32(a, n); }
  ONDREL_SSSE3_TARGET static ONDREL_SHA_INLINE V srl64(V a, int n) { return _mm_srli_epi64(a, n); }
  ONDREL_SSSE3_TARGET static ONDREL_SHA_INLINE V alignr4(V hi, V lo) { return _mm_alignr_epi8(hi, lo, 4); }
  template <int M>
  ONDREL_SSSE3_TARGET static ONDREL_SHA_INLINE V shuffle(V a) {
    return _mm_shuffle_epi32(a, M);
  }
  // Words 0 and 2 (the low halves of the 64-bit lanes) into words 0 and 1, or 2 and 3.
  ONDREL_SSSE3_TARGET static ONDREL_SHA_INLINE V gather_low(V a) {
    return _mm_shuffle_epi8(a, _mm_set_epi64x(-1, 0x0b0a090803020100LL));
  }
  ONDREL_SSSE3_TARGET static ONDREL_SHA_INLINE V gather_high(V a) {
    return _mm_shuffle_epi8(a, _mm_set_epi64x(0x0b0a090803020100LL, -1));
  }
};

#define ONDREL_AVX2_TARGET __attribute__((target("avx2,bmi2")))

struct Ops256 {
  using V = __m256i;
  ONDREL_AVX2_TARGET static ONDREL_SHA_INLINE V add(V a, V b) { return _mm256_add_epi32(a, b); }
  ONDREL_AVX2_TARGET static ONDREL_SHA_INLINE V xor3(V a, V b, V c) {
    return _mm256_xor_si256(_mm256_xor_si256(a, b), c);
  }
  ONDREL_AVX2_TARGET static ONDREL_SHA_INLINE V srl32(V a, int n) { return _mm256_srli_epi32(a, n); }
  ONDREL_AVX2_TARGET static ONDREL_SHA_INLINE V sll32(V a, int n) { return _mm256_slli_epi32(a, n); }
  ONDREL_AVX2_TARGET static ONDREL_SHA_INLINE V srl64(V a, int n) { return _mm256_srli_epi64(a, n); }
  ONDREL_AVX2_TARGET static ONDREL_SHA_INLINE V alignr4(V hi, V lo) { return _mm256_alignr_epi8(hi, lo, 4); }
  template <int M>
  ONDREL_AVX2_TARGET static ONDREL_SHA_INLINE V shuffle(V a) {
    return _mm256_shuffle_epi32(a, M);
  }
  ONDREL_AVX2_TARGET static ONDREL_SHA_INLINE V gather_low(V a) {
    return _mm256_shuffle_epi8(a, _mm256_set_epi64x(-1, 0x0b0a090803020100LL, -1, 0x0b0a090803020100LL));
  }
  ONDREL_AVX2_TARGET static ONDREL_SHA_INLINE V gather_high(V a) {
    return _mm256_shuffle_epi8(a, _mm256_set_epi64x(0x0b0a090803020100LL, -1, 0x0b0a090803020100LL, -1));
  }
};

// The schedule step, written once for both vector widths (the macro gives each its
// instruction set): from x0 = W[t-16..t-13], x1 = W[t-12..t-9], x2 = W[t-8..t-5] and
// x3 = W[t-4..t-1], the words W[t..t+3]. sigma1 of two words is formed in 64-bit lanes
// holding each word twice, where a 64-bit shift is a 32-bit rotation; the last two
// words need the first two, hence two halves.
#define ONDREL_SHA256_SCHEDULE(TARGET, Ops)                                                             \
  TARGET ONDREL_SHA_INLINE Ops::V sigma1_doubled(Ops, Ops::V d) {                                       \
    return Ops::xor3(Ops::srl64(d, 17), Ops::srl64(d, 19), Ops::srl32(d, 10));                          \
  }                                                                                                     \
  TARGET ONDREL_SHA_INLINE Ops::V schedule(Ops ops, Ops::V x0, Ops::V x1, Ops::V x2, Ops::V x3) {       \
    const Ops::V w15 = Ops::alignr4(x1, x0); /* W[t-15..t-12] */                                        \
    const Ops::V w7 = Ops::alignr4(x3, x2);  /* W[t-7..t-4] */                                          \
    const Ops::V s0 = Ops::xor3(Ops::xor3(Ops::srl32(w15, 3), Ops::srl32(w15, 7), Ops::sll32(w15, 25)), \
                                Ops::srl32(w15, 18), Ops::sll32(w15, 14));                              \
    Ops::V t = Ops::add(Ops::add(x0, s0), w7);                                                          \
    /* W[t-2], W[t-1] each doubled; their sigma1 into words 0 and 1, zeros above. */                    \
    t = Ops::add(t, Ops::gather_low(sigma1_doubled(ops, Ops::template shuffle<0xFA>(x3))));             \
    /* W[t], W[t+1] each doubled; their sigma1 into words 2 and 3, zeros below. */                      \
    return Ops::add(t, Ops::gather_high(sigma1_doubled(ops, Ops::template shuffle<0x50>(t))));          \
  }

ONDREL_SHA256_SCHEDULE(ONDREL_SSSE3_TARGET, Ops128)
ONDREL_SHA256_SCHEDULE(ONDREL_AVX2_TARGET, Ops256)

// Group G of sixteen: stores W + K for its four rounds, computes the schedule sixteen
// words ahead, then runs the rounds. At 256 bits the second block's W + K stays in wk
// for its own rounds later.
template <std::size_t G>
ONDREL_SSSE3_TARGET ONDREL_SHA_INLINE void group(__m128i (&x)[4], std::array<std::uint32_t, 8>& v, std::uint32_t* wk) {
  constexpr std::size_t i = G & 3;
  _mm_store_si128(
      reinterpret_cast<__m128i*>(wk),
      _mm_add_epi32(x[i], _mm_load_si128(reinterpret_cast<const __m128i*>(sha256_round_constants.data() + 4 * G))));
  if constexpr (G < 12) x[i] = schedule(Ops128{}, x[i], x[(i + 1) & 3], x[(i + 2) & 3], x[(i + 3) & 3]);
  four_rounds<static_cast<int>(G)>(v, wk);
}

template <std::size_t G>
ONDREL_AVX2_TARGET ONDREL_SHA_INLINE void group(__m256i (&x)[4], std::array<std::uint32_t, 8>& v, std::uint32_t* wk) {
  constexpr std::size_t i = G & 3;
  _mm256_store_si256(
      reinterpret_cast<__m256i*>(wk + 8 * G),
      _mm256_add_epi32(x[i], _mm256_load_si256(reinterpret_cast<const __m256i*>(k256_twice.data() + 8 * G))));
  if constexpr (G < 12) x[i] = schedule(Ops256{}, x[i], x[(i + 1) & 3], x[(i + 2) & 3], x[(i + 3) & 3]);
  four_rounds<static_cast<int>(G)>(v, wk + 8 * G);
}

template <std::size_t... G>
ONDREL_SSSE3_TARGET ONDREL_SHA_INLINE void all_groups(std::index_sequence<G...>, __m128i (&x)[4],
                                                      std::array<std::uint32_t, 8>& v, std::uint32_t* wk) {
  (group<G>(x, v, wk), ...);
}

template <std::size_t... G>
ONDREL_AVX2_TARGET ONDREL_SHA_INLINE void all_groups(std::index_sequence<G...>, __m256i (&x)[4],
                                                     std::array<std::uint32_t, 8>& v, std::uint32_t* wk) {
  (group<G>(x, v, wk), ...);
}

// The second block's rounds, from the upper halves of wk.
template <std::size_t... G>
ONDREL_AVX2_TARGET ONDREL_SHA_INLINE void second_block_rounds(std::index_sequence<G...>,
                                                              std::array<std::uint32_t, 8>& v,
                                                              const std::uint32_t* wk) {
  (four_rounds<static_cast<int>(G)>(v, wk + 8 * G + 4), ...);
}

constexpr std::uint64_t kBswapLo = 0x0405060700010203ULL, kBswapHi = 0x0c0d0e0f08090a0bULL;

}  // namespace

ONDREL_SSSE3_TARGET void sha256_blocks_ssse3(std::uint32_t state[8], const std::uint8_t* p, std::size_t blocks) {
  const __m128i bswap = _mm_set_epi64x(static_cast<long long>(kBswapHi), static_cast<long long>(kBswapLo));
  alignas(16) std::uint32_t wk[4];
  for (; blocks > 0; --blocks, p += 64) {
    __m128i x[4];
    for (std::size_t i = 0; i < 4; ++i) {
      x[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i)), bswap);
    }
    std::array<std::uint32_t, 8> v;
    for (std::size_t i = 0; i < 8; ++i) v[i] = state[i];
    all_groups(std::make_index_sequence<16>{}, x, v, wk);
    add_state(state, v);
  }
}

ONDREL_AVX2_TARGET void sha256_blocks_avx2(std::uint32_t state[8], const std::uint8_t* p, std::size_t blocks) {
  const __m256i bswap = _mm256_set_epi64x(static_cast<long long>(kBswapHi), static_cast<long long>(kBswapLo),
                                          static_cast<long long>(kBswapHi), static_cast<long long>(kBswapLo));
  // Group g's W + K: words 8 g .. 8 g + 3 for the first block, 8 g + 4 .. 8 g + 7 for
  // the second.
  alignas(32) std::uint32_t wk[128];
  while (blocks > 0) {
    const bool pair = blocks >= 2;
    // A lone last block fills both halves; the second half's rounds are not run.
    const std::uint8_t* q = pair ? p + 64 : p;
    __m256i x[4];
    for (std::size_t i = 0; i < 4; ++i) {
      const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
      const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 16 * i));
      x[i] = _mm256_shuffle_epi8(_mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1), bswap);
    }
    std::array<std::uint32_t, 8> v;
    for (std::size_t i = 0; i < 8; ++i) v[i] = state[i];
    all_groups(std::make_index_sequence<16>{}, x, v, wk);
    add_state(state, v);
    if (!pair) break;
    for (std::size_t i = 0; i < 8; ++i) v[i] = state[i];
    second_block_rounds(std::make_index_sequence<16>{}, v, wk);
    add_state(state, v);
    p += 128;
    blocks -= 2;
  }
}

#else

void sha256_blocks_ssse3(std::uint32_t*, const std::uint8_t*, std::size_t) { std::abort(); }
void sha256_blocks_avx2(std::uint32_t*, const std::uint8_t*, std::size_t) { std::abort(); }

#endif

}  // namespace crypto::detail
