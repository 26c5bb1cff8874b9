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
  tmp = _mm_shuffle_epi32(tmp, 0xB1);                                            // CDAB
  cdgh = _mm_shuffle_epi32(cdgh, 0x1B);                                          // EFGH
  __m128i abef = _mm_alignr_epi8(tmp, cdgh, 8);                                  // ABEF
  cdgh = _mm_blend_epi16(cdgh, tmp, 0xF0);                                       // CDGH

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

  tmp = _mm_shuffle_epi32(abef, 0x1B);     // FEBA
  cdgh = _mm_shuffle_epi32(cdgh, 0xB1);    // DCHG
  abef = _mm_blend_epi16(tmp, cdgh, 0xF0); // DCBA
  cdgh = _mm_alignr_epi8(cdgh, tmp, 8);    // HGFE
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

#else

void sha256_blocks_x86(std::uint32_t*, const std::uint8_t*, std::size_t) { std::abort(); }
void sha1_blocks_x86(std::uint32_t*, const std::uint8_t*, std::size_t) { std::abort(); }

#endif

}  // namespace crypto::detail
