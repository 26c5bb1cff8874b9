#include "crypto/sha_x86.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include <cstdlib>

#include "crypto/sha256_constants.h"

namespace crypto::detail {

#if defined(__x86_64__) || defined(__i386__)

namespace {

constexpr const std::uint32_t* k256 = sha256_round_constants.data();

}  // namespace

// The SHA instructions keep the eight working variables as two vectors, ABEF and
// CDGH; the state is shuffled into that form once per call and back at the end.
__attribute__((target("sha,sse4.1,ssse3"))) void sha256_blocks_x86(std::uint32_t state[8], const std::uint8_t* p,
                                                                   std::size_t blocks) {
  const __m128i bswap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
  __m128i tmp = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));       // DCBA
  __m128i cdgh = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));  // HGFE
  tmp = _mm_shuffle_epi32(tmp, 0xB1);                                           // CDAB
  cdgh = _mm_shuffle_epi32(cdgh, 0x1B);                                         // EFGH
  __m128i abef = _mm_alignr_epi8(tmp, cdgh, 8);                                 // ABEF
  cdgh = _mm_blend_epi16(cdgh, tmp, 0xF0);                                      // CDGH

  for (; blocks > 0; --blocks, p += 64) {
    const __m128i abef_save = abef;
    const __m128i cdgh_save = cdgh;
    __m128i w[4];
#pragma GCC unroll 16
    for (int g = 0; g < 16; ++g) {
      __m128i& cur = w[g & 3];
      if (g < 4) {
        cur = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * g)), bswap);
      } else {
        // W[g] from W[g-4] (cur), W[g-3], W[g-2], W[g-1].
        __m128i t = _mm_sha256msg1_epu32(cur, w[(g + 1) & 3]);
        t = _mm_add_epi32(t, _mm_alignr_epi8(w[(g + 3) & 3], w[(g + 2) & 3], 4));
        cur = _mm_sha256msg2_epu32(t, w[(g + 3) & 3]);
      }
      __m128i m = _mm_add_epi32(cur, _mm_load_si128(reinterpret_cast<const __m128i*>(k256 + 4 * g)));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, m);
      m = _mm_shuffle_epi32(m, 0x0E);
      abef = _mm_sha256rnds2_epu32(abef, cdgh, m);
    }
    abef = _mm_add_epi32(abef, abef_save);
    cdgh = _mm_add_epi32(cdgh, cdgh_save);
  }

  tmp = _mm_shuffle_epi32(abef, 0x1B);      // FEBA
  cdgh = _mm_shuffle_epi32(cdgh, 0xB1);     // DCHG
  abef = _mm_blend_epi16(tmp, cdgh, 0xF0);  // DCBA
  cdgh = _mm_alignr_epi8(cdgh, tmp, 8);     // HGFE
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), abef);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), cdgh);
}

namespace {

template <int F>
__attribute__((target("sha,sse4.1,ssse3"), always_inline)) inline __m128i sha1_rounds4(__m128i abcd, __m128i e) {
  return _mm_sha1rnds4_epu32(abcd, e, F);
}

}  // namespace

// SHA-1 keeps A..D in one vector and E in the top lane of another; sha1nexte
// derives the next E from the A of four rounds before.
__attribute__((target("sha,sse4.1,ssse3"))) void sha1_blocks_x86(std::uint32_t state[5], const std::uint8_t* p,
                                                                 std::size_t blocks) {
  const __m128i bswap = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
  __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0x1B);
  __m128i e0 = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);

  for (; blocks > 0; --blocks, p += 64) {
    const __m128i abcd_save = abcd;
    const __m128i e_save = e0;
    __m128i w[4];
    __m128i e = e0;
    __m128i prev = abcd;
#pragma GCC unroll 20
    for (int g = 0; g < 20; ++g) {
      __m128i& cur = w[g & 3];
      if (g < 4) {
        cur = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * g)), bswap);
      } else {
        // W[g] from W[g-4] (cur), W[g-3], W[g-2], W[g-1].
        __m128i t = _mm_sha1msg1_epu32(cur, w[(g + 1) & 3]);
        t = _mm_xor_si128(t, w[(g + 2) & 3]);
        cur = _mm_sha1msg2_epu32(t, w[(g + 3) & 3]);
      }
      e = (g == 0) ? _mm_add_epi32(e, cur) : _mm_sha1nexte_epu32(prev, cur);
      prev = abcd;
      switch (g / 5) {
        case 0: abcd = sha1_rounds4<0>(abcd, e); break;
        case 1: abcd = sha1_rounds4<1>(abcd, e); break;
        case 2: abcd = sha1_rounds4<2>(abcd, e); break;
        default: abcd = sha1_rounds4<3>(abcd, e); break;
      }
    }
    e0 = _mm_sha1nexte_epu32(prev, e_save);
    abcd = _mm_add_epi32(abcd, abcd_save);
  }

  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_shuffle_epi32(abcd, 0x1B));
  state[4] = static_cast<std::uint32_t>(_mm_extract_epi32(e0, 3));
}

#define ONDREL_SHA512V_TARGET __attribute__((target("avx512f,avx512bw,avx512vl")))

namespace {

template <int N>
ONDREL_SHA512V_TARGET inline __m512i ror(__m512i x) {
  // The masked forms: the plain ones pass an undefined vector that GCC 12 warns about.
  return _mm512_maskz_ror_epi32(static_cast<__mmask16>(0xFFFF), x, N);
}

template <int N>
ONDREL_SHA512V_TARGET inline __m512i shr(__m512i x) {
  return _mm512_maskz_srli_epi32(static_cast<__mmask16>(0xFFFF), x, N);
}

}  // namespace

// One message per 32-bit lane: the round function is the portable one, on sixteen
// messages at once. Block words are gathered from the lanes' pointers.
ONDREL_SHA512V_TARGET void sha256_blocks_x16(std::uint32_t* const state[16], const std::uint8_t* const data[16],
                                             std::size_t blocks) {
  const __m512i bswap =
      _mm512_set_epi64(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL, 0x0c0d0e0f08090a0bLL, 0x0405060700010203LL,
                       0x0c0d0e0f08090a0bLL, 0x0405060700010203LL, 0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
  // The state transposed: word j of every lane's state in s[j].
  alignas(64) std::uint32_t words[8][16];
  for (int l = 0; l < 16; ++l) {
    for (int j = 0; j < 8; ++j) words[j][l] = state[l][j];
  }
  __m512i s[8];
  for (int j = 0; j < 8; ++j) s[j] = _mm512_load_si512(words[j]);
  // The lanes' addresses, eight per vector, advanced one block at a time.
  alignas(64) std::uint64_t address[16];
  for (int l = 0; l < 16; ++l) address[l] = reinterpret_cast<std::uintptr_t>(data[l]);
  __m512i lo = _mm512_load_si512(address), hi = _mm512_load_si512(address + 8);
  const __m512i step = _mm512_set1_epi64(64);

  for (; blocks > 0; --blocks) {
    __m512i w[16];
    for (int t = 0; t < 16; ++t) {
      const void* word = reinterpret_cast<const void*>(static_cast<std::uintptr_t>(4 * t));
      const __m256i first = _mm512_mask_i64gather_epi32(_mm256_setzero_si256(), 0xFF, lo, word, 1);
      const __m256i second = _mm512_mask_i64gather_epi32(_mm256_setzero_si256(), 0xFF, hi, word, 1);
      const __m512i zero = _mm512_setzero_si512();
      const __m512i low = _mm512_mask_inserti64x4(zero, 0xFF, zero, first, 0);
      w[t] = _mm512_shuffle_epi8(_mm512_mask_inserti64x4(low, 0xFF, low, second, 1), bswap);
    }
    __m512i a = s[0], b = s[1], c = s[2], d = s[3], e = s[4], f = s[5], g = s[6], h = s[7];
#pragma GCC unroll 64
    for (int t = 0; t < 64; ++t) {
      __m512i wt = w[t & 15];
      if (t >= 16) {
        const __m512i w15 = w[(t - 15) & 15], w2 = w[(t - 2) & 15];
        const __m512i s0 = _mm512_ternarylogic_epi32(ror<7>(w15), ror<18>(w15), shr<3>(w15), 0x96);
        const __m512i s1 = _mm512_ternarylogic_epi32(ror<17>(w2), ror<19>(w2), shr<10>(w2), 0x96);
        wt = _mm512_add_epi32(_mm512_add_epi32(wt, s0), _mm512_add_epi32(w[(t - 7) & 15], s1));
        w[t & 15] = wt;
      }
      const __m512i k = _mm512_set1_epi32(static_cast<int>(k256[t]));
      const __m512i big_s1 = _mm512_ternarylogic_epi32(ror<6>(e), ror<11>(e), ror<25>(e), 0x96);
      const __m512i ch = _mm512_ternarylogic_epi32(e, f, g, 0xCA);  // (e & f) ^ (~e & g)
      const __m512i t1 = _mm512_add_epi32(_mm512_add_epi32(h, big_s1), _mm512_add_epi32(ch, _mm512_add_epi32(wt, k)));
      const __m512i big_s0 = _mm512_ternarylogic_epi32(ror<2>(a), ror<13>(a), ror<22>(a), 0x96);
      const __m512i maj = _mm512_ternarylogic_epi32(a, b, c, 0xE8);  // majority of a, b, c
      h = g;
      g = f;
      f = e;
      e = _mm512_add_epi32(d, t1);
      d = c;
      c = b;
      b = a;
      a = _mm512_add_epi32(t1, _mm512_add_epi32(big_s0, maj));
    }
    s[0] = _mm512_add_epi32(s[0], a);
    s[1] = _mm512_add_epi32(s[1], b);
    s[2] = _mm512_add_epi32(s[2], c);
    s[3] = _mm512_add_epi32(s[3], d);
    s[4] = _mm512_add_epi32(s[4], e);
    s[5] = _mm512_add_epi32(s[5], f);
    s[6] = _mm512_add_epi32(s[6], g);
    s[7] = _mm512_add_epi32(s[7], h);
    lo = _mm512_add_epi64(lo, step);
    hi = _mm512_add_epi64(hi, step);
  }
  for (int j = 0; j < 8; ++j) _mm512_store_si512(words[j], s[j]);
  for (int l = 0; l < 16; ++l) {
    for (int j = 0; j < 8; ++j) state[l][j] = words[j][l];
  }
}

#undef ONDREL_SHA512V_TARGET

#else

void sha256_blocks_x86(std::uint32_t*, const std::uint8_t*, std::size_t) { std::abort(); }
void sha1_blocks_x86(std::uint32_t*, const std::uint8_t*, std::size_t) { std::abort(); }
void sha256_blocks_x16(std::uint32_t* const*, const std::uint8_t* const*, std::size_t) { std::abort(); }

#endif

}  // namespace crypto::detail
