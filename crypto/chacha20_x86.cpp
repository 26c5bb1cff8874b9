#include "crypto/chacha20_x86.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include <cstdlib>
#include <cstring>

#include "crypto/poly1305_scalar.h"

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
ONDREL_AVX2 inline __m256i rot12(__m256i v) {
  return _mm256_or_si256(_mm256_slli_epi32(v, 12), _mm256_srli_epi32(v, 20));
}
ONDREL_AVX2 inline __m256i rot7(__m256i v) {
  return _mm256_or_si256(_mm256_slli_epi32(v, 7), _mm256_srli_epi32(v, 25));
}

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

// The four-block code is written once with the compiler's vector types and compiled
// three times: for SSSE3; for AVX2, whose three-operand forms save register copies;
// and for AVX-512VL, where the 12- and 7-bit rotates become single
// instructions and 32 registers hold the whole state without spilling.
using U32x4 = std::uint32_t __attribute__((vector_size(16)));
using U8x16 = std::uint8_t __attribute__((vector_size(16)));
using U64x2 = std::uint64_t __attribute__((vector_size(16)));

// Rotates by 16 and 8 bits move whole bytes: one byte shuffle each.
[[gnu::always_inline]] inline U32x4 rotl16(U32x4 v) {
  const U8x16 m = {2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13};
  return reinterpret_cast<U32x4>(__builtin_shuffle(reinterpret_cast<U8x16>(v), m));
}
[[gnu::always_inline]] inline U32x4 rotl8(U32x4 v) {
  const U8x16 m = {3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14};
  return reinterpret_cast<U32x4>(__builtin_shuffle(reinterpret_cast<U8x16>(v), m));
}
template <int n>
[[gnu::always_inline]] inline U32x4 rotl(U32x4 v) {
  return (v << n) | (v >> (32 - n));
}

[[gnu::always_inline]] inline void qr(U32x4& a, U32x4& b, U32x4& c, U32x4& d) {
  a += b;
  d = rotl16(d ^ a);
  c += d;
  b = rotl<12>(b ^ c);
  a += b;
  d = rotl8(d ^ a);
  c += d;
  b = rotl<7>(b ^ c);
}

// Four words (one vector per word, four blocks per vector) turned into the 16 bytes
// of those words for block 0, 1, 2 and 3.
[[gnu::always_inline]] inline void transpose4(U32x4& a, U32x4& b, U32x4& c, U32x4& d) {
  const U64x2 t0 = reinterpret_cast<U64x2>(__builtin_shuffle(a, b, U32x4{0, 4, 1, 5}));
  const U64x2 t1 = reinterpret_cast<U64x2>(__builtin_shuffle(a, b, U32x4{2, 6, 3, 7}));
  const U64x2 t2 = reinterpret_cast<U64x2>(__builtin_shuffle(c, d, U32x4{0, 4, 1, 5}));
  const U64x2 t3 = reinterpret_cast<U64x2>(__builtin_shuffle(c, d, U32x4{2, 6, 3, 7}));
  a = reinterpret_cast<U32x4>(__builtin_shuffle(t0, t2, U64x2{0, 2}));
  b = reinterpret_cast<U32x4>(__builtin_shuffle(t0, t2, U64x2{1, 3}));
  c = reinterpret_cast<U32x4>(__builtin_shuffle(t1, t3, U64x2{0, 2}));
  d = reinterpret_cast<U32x4>(__builtin_shuffle(t1, t3, U64x2{1, 3}));
}

// `between(group, round)` runs after each of the ten double rounds of every group of
// four blocks; the AEAD uses it to authenticate ciphertext already written.
template <class Between>
[[gnu::always_inline]] inline void xor4_blocks(const std::uint32_t input[16], const std::uint8_t* in, std::uint8_t* out,
                                               std::size_t len, Between between) {
  U32x4 start[16];
  for (int i = 0; i < 16; ++i) start[i] = U32x4{} + input[i];
  start[12] += U32x4{0, 1, 2, 3};

  for (std::size_t group = 0; len > 0; ++group) {
    U32x4 x[16];
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
      between(group, r);
    }
    for (int i = 0; i < 16; ++i) x[i] += start[i];
    for (int g = 0; g < 16; g += 4) transpose4(x[g], x[g + 1], x[g + 2], x[g + 3]);
    // Block k is x[k], x[4 + k], x[8 + k], x[12 + k].
    if (len >= 256) {
      for (int k = 0; k < 4; ++k) {
        for (int g = 0; g < 4; ++g) {
          const std::size_t off = static_cast<std::size_t>(64 * k + 16 * g);
          U32x4 m;
          std::memcpy(&m, in + off, 16);
          m ^= x[4 * g + k];
          std::memcpy(out + off, &m, 16);
        }
      }
      in += 256;
      out += 256;
      len -= 256;
    } else {
      alignas(16) std::uint8_t ks[256];
      for (int k = 0; k < 4; ++k) {
        for (int g = 0; g < 4; ++g) std::memcpy(ks + 64 * k + 16 * g, &x[4 * g + k], 16);
      }
      for (std::size_t i = 0; i < len; ++i) out[i] = static_cast<std::uint8_t>(in[i] ^ ks[i]);
      len = 0;
    }
    start[12] += 4;
  }
}

constexpr auto no_work = [](std::size_t, int) {};

// Feeds the ciphertext of group g - 1 (group_bytes bytes at out) to the 64-bit
// Poly1305 state while group g is computed: after double round r, the blocks
// [r n / 10, (r + 1) n / 10) of it, n = group_bytes / 16. ChaCha20 keeps the vector
// units busy and leaves the integer multiplier free, so the two overlap.
struct InterleavedMac {
  std::uint64_t r0, r1, s1, h0, h1, h2;
  const std::uint8_t* out;
  std::size_t group_bytes;

  InterleavedMac(const Poly1305Scalar& mac, const std::uint8_t* ciphertext, std::size_t bytes)
      : r0(mac.r0),
        r1(mac.r1),
        s1(mac.r1 + (mac.r1 >> 2)),
        h0(mac.h0),
        h1(mac.h1),
        h2(mac.h2),
        out(ciphertext),
        group_bytes(bytes) {}

  [[gnu::always_inline]] void operator()(std::size_t group, int round) {
    if (group == 0) return;
    const std::size_t n = group_bytes / 16;
    const std::uint8_t* previous = out + (group - 1) * group_bytes;
    const auto r = static_cast<std::size_t>(round);
    for (std::size_t b = r * n / 10; b < (r + 1) * n / 10; ++b) {
      poly1305_scalar_block(r0, r1, s1, h0, h1, h2, previous + 16 * b, 1);
    }
  }
  void store(Poly1305Scalar& mac) const {
    mac.h0 = h0;
    mac.h1 = h1;
    mac.h2 = h2;
  }
};

#define ONDREL_AVX512 __attribute__((target("avx512f,avx512bw")))

// The 512-bit code is written with the compiler's vector types rather than the
// intrinsics for rotates and shuffles: g++ 12 warns about the undefined source
// operand those intrinsics pass, and it maps these expressions to the same
// instructions (vprold, vpunpck*, vshufi64x2).
using V16 = std::uint32_t __attribute__((vector_size(64)));
using V8 = std::uint64_t __attribute__((vector_size(64)));

template <int n>
ONDREL_AVX512 inline V16 rotl(V16 v) {
  return (v << n) | (v >> (32 - n));
}

ONDREL_AVX512 inline void qr(V16& a, V16& b, V16& c, V16& d) {
  a += b;
  d = rotl<16>(d ^ a);
  c += d;
  b = rotl<12>(b ^ c);
  a += b;
  d = rotl<8>(d ^ a);
  c += d;
  b = rotl<7>(b ^ c);
}

// Within each 128-bit lane, as the narrower transpose4: afterwards vector k of the
// group holds, in lane L, the 16 bytes of the group's words for block k + 4L.
ONDREL_AVX512 inline void transpose4(V16& a, V16& b, V16& c, V16& d) {
  const V16 lo32 = {0, 16, 1, 17, 4, 20, 5, 21, 8, 24, 9, 25, 12, 28, 13, 29};
  const V16 hi32 = {2, 18, 3, 19, 6, 22, 7, 23, 10, 26, 11, 27, 14, 30, 15, 31};
  const V8 lo64 = {0, 8, 2, 10, 4, 12, 6, 14};
  const V8 hi64 = {1, 9, 3, 11, 5, 13, 7, 15};
  const V8 t0 = reinterpret_cast<V8>(__builtin_shuffle(a, b, lo32));
  const V8 t1 = reinterpret_cast<V8>(__builtin_shuffle(a, b, hi32));
  const V8 t2 = reinterpret_cast<V8>(__builtin_shuffle(c, d, lo32));
  const V8 t3 = reinterpret_cast<V8>(__builtin_shuffle(c, d, hi32));
  a = reinterpret_cast<V16>(__builtin_shuffle(t0, t2, lo64));
  b = reinterpret_cast<V16>(__builtin_shuffle(t0, t2, hi64));
  c = reinterpret_cast<V16>(__builtin_shuffle(t1, t3, lo64));
  d = reinterpret_cast<V16>(__builtin_shuffle(t1, t3, hi64));
}

// Lanes of four vectors (g0..g3, each holding one 16-byte quarter of four blocks)
// regrouped so that vector L is the whole 64-byte block of lane L: a 4x4 transpose of
// 128-bit lanes.
ONDREL_AVX512 inline void transpose_lanes(V16& g0, V16& g1, V16& g2, V16& g3) {
  const V8 lanes01 = {0, 1, 2, 3, 8, 9, 10, 11};
  const V8 lanes23 = {4, 5, 6, 7, 12, 13, 14, 15};
  const V8 lanes02 = {0, 1, 4, 5, 8, 9, 12, 13};
  const V8 lanes13 = {2, 3, 6, 7, 10, 11, 14, 15};
  const V8 a = reinterpret_cast<V8>(g0), b = reinterpret_cast<V8>(g1);
  const V8 c = reinterpret_cast<V8>(g2), d = reinterpret_cast<V8>(g3);
  const V8 t0 = __builtin_shuffle(a, b, lanes01);
  const V8 t1 = __builtin_shuffle(c, d, lanes01);
  const V8 t2 = __builtin_shuffle(a, b, lanes23);
  const V8 t3 = __builtin_shuffle(c, d, lanes23);
  g0 = reinterpret_cast<V16>(__builtin_shuffle(t0, t1, lanes02));
  g1 = reinterpret_cast<V16>(__builtin_shuffle(t0, t1, lanes13));
  g2 = reinterpret_cast<V16>(__builtin_shuffle(t2, t3, lanes02));
  g3 = reinterpret_cast<V16>(__builtin_shuffle(t2, t3, lanes13));
}

}  // namespace

namespace {

// Whole 512-byte groups, `between(group, round)` after each double round as in
// xor4_blocks.
template <class Between>
ONDREL_AVX2 [[gnu::always_inline]] inline std::size_t xor8_blocks(const std::uint32_t input[16], const std::uint8_t* in,
                                                                  std::uint8_t* out, std::size_t len, Between between) {
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
      between(done / 512, r);
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
      xor_store(dst + 64 * (k + 4) + 32, src + 64 * (k + 4) + 32, _mm256_permute2x128_si256(x[8 + k], x[12 + k], 0x31));
    }
    start[12] = _mm256_add_epi32(start[12], eight);
  }
  return done;
}

}  // namespace

ONDREL_AVX2 std::size_t chacha20_xor_avx2(const std::uint32_t input[16], const std::uint8_t* in, std::uint8_t* out,
                                          std::size_t len) {
  return xor8_blocks(input, in, out, len, no_work);
}

ONDREL_AVX2 std::size_t chacha20_xor_authenticating_avx2(const std::uint32_t input[16], const std::uint8_t* in,
                                                         std::uint8_t* out, std::size_t len, Poly1305Scalar& mac) {
  InterleavedMac interleaved(mac, out, 512);
  const std::size_t done =
      xor8_blocks(input, in, out, len, [&](std::size_t group, int round) { interleaved(group, round); });
  interleaved.store(mac);
  return done;
}

__attribute__((target("ssse3"))) void chacha20_xor_ssse3(const std::uint32_t input[16], const std::uint8_t* in,
                                                         std::uint8_t* out, std::size_t len) {
  xor4_blocks(input, in, out, len, no_work);
}

__attribute__((target("ssse3"))) std::size_t chacha20_xor_authenticating_ssse3(const std::uint32_t input[16],
                                                                               const std::uint8_t* in,
                                                                               std::uint8_t* out, std::size_t len,
                                                                               Poly1305Scalar& mac) {
  const std::size_t done = len / 256 * 256;
  InterleavedMac interleaved(mac, out, 256);
  xor4_blocks(input, in, out, done, [&](std::size_t group, int round) { interleaved(group, round); });
  interleaved.store(mac);
  return done;
}

__attribute__((target("avx2"))) void chacha20_xor4_avx2(const std::uint32_t input[16], const std::uint8_t* in,
                                                        std::uint8_t* out, std::size_t len) {
  xor4_blocks(input, in, out, len, no_work);
}

__attribute__((target("avx512f,avx512vl"))) void chacha20_xor4_avx512vl(const std::uint32_t input[16],
                                                                        const std::uint8_t* in, std::uint8_t* out,
                                                                        std::size_t len) {
  xor4_blocks(input, in, out, len, no_work);
}

ONDREL_AVX512 std::size_t chacha20_xor_avx512(const std::uint32_t input[16], const std::uint8_t* in, std::uint8_t* out,
                                              std::size_t len) {
  V16 start[16];
  for (int i = 0; i < 16; ++i) start[i] = V16{} + input[i];
  start[12] += V16{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

  std::size_t done = 0;
  while (len - done > 512) {
    V16 x[16];
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
    for (int i = 0; i < 16; ++i) x[i] += start[i];
    for (int g = 0; g < 16; g += 4) transpose4(x[g], x[g + 1], x[g + 2], x[g + 3]);
    // Now x[4g + k] holds words 4g..4g+3 of block k + 4L in lane L; regroup the four
    // vectors of each k so that vector x[4L + k] is all of block k + 4L.
    for (int k = 0; k < 4; ++k) transpose_lanes(x[k], x[4 + k], x[8 + k], x[12 + k]);

    const std::uint8_t* src = in + done;
    std::uint8_t* dst = out + done;
    const std::size_t rem = len - done;
    if (rem >= 1024) {
      for (int b = 0; b < 16; ++b) {
        const __m512i m = _mm512_loadu_si512(src + 64 * b);
        _mm512_storeu_si512(dst + 64 * b, _mm512_xor_si512(m, reinterpret_cast<__m512i>(x[b])));
      }
      done += 1024;
      start[12] += 16;
    } else {
      for (int b = 0; b < 16; ++b) {
        const std::size_t at = static_cast<std::size_t>(64 * b);
        if (at >= rem) break;
        const std::size_t n = rem - at < 64 ? rem - at : 64;
        const __mmask64 mask = n == 64 ? ~__mmask64{0} : (__mmask64{1} << n) - 1;
        const __m512i m = _mm512_maskz_loadu_epi8(mask, src + at);
        _mm512_mask_storeu_epi8(dst + at, mask, _mm512_xor_si512(m, reinterpret_cast<__m512i>(x[b])));
      }
      done = len;
    }
  }
  return done;
}

#else

void chacha20_xor_ssse3(const std::uint32_t*, const std::uint8_t*, std::uint8_t*, std::size_t) { std::abort(); }
void chacha20_xor4_avx2(const std::uint32_t*, const std::uint8_t*, std::uint8_t*, std::size_t) { std::abort(); }
void chacha20_xor4_avx512vl(const std::uint32_t*, const std::uint8_t*, std::uint8_t*, std::size_t) { std::abort(); }
std::size_t chacha20_xor_avx2(const std::uint32_t*, const std::uint8_t*, std::uint8_t*, std::size_t) { std::abort(); }
std::size_t chacha20_xor_avx512(const std::uint32_t*, const std::uint8_t*, std::uint8_t*, std::size_t) { std::abort(); }
std::size_t chacha20_xor_authenticating_ssse3(const std::uint32_t*, const std::uint8_t*, std::uint8_t*, std::size_t,
                                              Poly1305Scalar&) {
  std::abort();
}
std::size_t chacha20_xor_authenticating_avx2(const std::uint32_t*, const std::uint8_t*, std::uint8_t*, std::size_t,
                                             Poly1305Scalar&) {
  std::abort();
}

#endif

}  // namespace crypto::detail
