#include "crypto/chacha20_x86.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include <cstdlib>

namespace crypto::detail {

#if defined(__x86_64__) || defined(__i386__)

namespace {

#define ONDREL_AVX2 __attribute__((target("avx2")))

ONDREL_AVX2 inline __m256i rot16(__m256i v) {
  const __m256i m = _mm256_set_epi8(13, 12, 15, 14, 9, 8, 11, 10, 5, 4, 7, 6, 1, 0, 3, 2, 13, 12, 15, 14, 9, 8, 11, 10,
                                    5, 4, 7, 6, 1, 0, 3, 2);
  return _mm256_shuffle_epi8(v, m);
}
ONDREL_AVX2 inline __m256i rot8(__m256i v) {
  const __m256i m = _mm256_set_epi8(14, 13, 12, 15, 10, 9, 8, 11, 6, 5, 4, 7, 2, 1, 0, 3, 14, 13, 12, 15, 10, 9, 8, 11,
                                    6, 5, 4, 7, 2, 1, 0, 3);
  return _mm256_shuffle_epi8(v, m);
}
ONDREL_AVX2 inline __m256i rot12(__m256i v) { return _mm256_or_si256(_mm256_slli_epi32(v, 12), _mm256_srli_epi32(v, 20)); }
ONDREL_AVX2 inline __m256i rot7(__m256i v) { return _mm256_or_si256(_mm256_slli_epi32(v, 7), _mm256_srli_epi32(v, 25)); }

ONDREL_AVX2 inline void qr(__m256i& a, __m256i& b, __m256i& c, __m256i& d) {
  a = _mm256_add_epi32(a, b);
  d = rot16(_mm256_xor_si256(d, a));
  c = _mm256_add_epi32(c, d);
  b = rot12(_mm256_xor_si256(b, c));
  a = _mm256_add_epi32(a, b);
  d = rot8(_mm256_xor_si256(d, a));
  c = _mm256_add_epi32(c, d);
  b = rot7(_mm256_xor_si256(b, c));
}

// Four words (one vector per word, eight blocks per vector) turned into, for each
// block k in 0..3, the 16 bytes of those words for block k (low half) and block k+4
// (high half).
ONDREL_AVX2 inline void transpose4(__m256i& a, __m256i& b, __m256i& c, __m256i& d) {
  const __m256i t0 = _mm256_unpacklo_epi32(a, b);
  const __m256i t1 = _mm256_unpackhi_epi32(a, b);
  const __m256i t2 = _mm256_unpacklo_epi32(c, d);
  const __m256i t3 = _mm256_unpackhi_epi32(c, d);
  a = _mm256_unpacklo_epi64(t0, t2);
  b = _mm256_unpackhi_epi64(t0, t2);
  c = _mm256_unpacklo_epi64(t1, t3);
  d = _mm256_unpackhi_epi64(t1, t3);
}

ONDREL_AVX2 inline void xor_store(std::uint8_t* out, const std::uint8_t* in, __m256i ks) {
  const __m256i m = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_xor_si256(m, ks));
}

}  // namespace

ONDREL_AVX2 std::size_t chacha20_xor_avx2(const std::uint32_t input[16], const std::uint8_t* in, std::uint8_t* out,
                                          std::size_t len) {
  __m256i start[16];
  for (int i = 0; i < 16; ++i) start[i] = _mm256_set1_epi32(static_cast<int>(input[i]));
  start[12] = _mm256_add_epi32(start[12], _mm256_set_epi32(7, 6, 5, 4, 3, 2, 1, 0));
  const __m256i eight = _mm256_set1_epi32(8);

  std::size_t done = 0;
  for (; done + 512 <= len; done += 512) {
    __m256i x[16];
    for (int i = 0; i < 16; ++i) x[i] = start[i];
    for (int r = 0; r < 10; ++r) {
      qr(x[0], x[4], x[8], x[12]);
      qr(x[1], x[5], x[9], x[13]);
      qr(x[2], x[6], x[10], x[14]);
      qr(x[3], x[7], x[11], x[15]);
      qr(x[0], x[5], x[10], x[15]);
      qr(x[1], x[6], x[11], x[12]);
      qr(x[2], x[7], x[8], x[13]);
      qr(x[3], x[4], x[9], x[14]);
    }
    for (int i = 0; i < 16; ++i) x[i] = _mm256_add_epi32(x[i], start[i]);
    for (int g = 0; g < 16; g += 4) transpose4(x[g], x[g + 1], x[g + 2], x[g + 3]);

    const std::uint8_t* src = in + done;
    std::uint8_t* dst = out + done;
    for (int k = 0; k < 4; ++k) {
      // Block k: words 0..7 from groups 0 and 1, words 8..15 from groups 2 and 3.
      xor_store(dst + 64 * k, src + 64 * k, _mm256_permute2x128_si256(x[k], x[4 + k], 0x20));
      xor_store(dst + 64 * k + 32, src + 64 * k + 32, _mm256_permute2x128_si256(x[8 + k], x[12 + k], 0x20));
      xor_store(dst + 64 * (k + 4), src + 64 * (k + 4), _mm256_permute2x128_si256(x[k], x[4 + k], 0x31));
      xor_store(dst + 64 * (k + 4) + 32, src + 64 * (k + 4) + 32,
                _mm256_permute2x128_si256(x[8 + k], x[12 + k], 0x31));
    }
    start[12] = _mm256_add_epi32(start[12], eight);
  }
  return done;
}

#else

std::size_t chacha20_xor_avx2(const std::uint32_t*, const std::uint8_t*, std::uint8_t*, std::size_t) { std::abort(); }

#endif

}  // namespace crypto::detail
