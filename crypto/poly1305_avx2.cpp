// The radix-2^26 Poly1305 kernel built for AVX2, four blocks side by side. This file is
// compiled for AVX2 from the pragma on; only the kernel header follows it, so no code
// shared with other files is built for AVX2 here.
#include "crypto/poly1305_x86.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

#pragma GCC target("avx2")

namespace crypto::detail {
namespace {

using U64x4 = std::uint64_t __attribute__((vector_size(32)));

[[gnu::always_inline]] inline U64x4 mul32(U64x4 a, U64x4 b) {
  return reinterpret_cast<U64x4>(_mm256_mul_epu32(reinterpret_cast<__m256i>(a), reinterpret_cast<__m256i>(b)));
}

}  // namespace
}  // namespace crypto::detail

#include "crypto/poly1305_radix26.h"

namespace crypto::detail {

void poly1305_blocks_avx2(std::uint64_t h[5], const std::uint64_t powers[8][5], const std::uint8_t* m, std::size_t n) {
  blocks26<U64x4, 2>(h, powers, m, n);
}

}  // namespace crypto::detail

#else

namespace crypto::detail {

void poly1305_blocks_avx2(std::uint64_t*, const std::uint64_t (*)[5], const std::uint8_t*, std::size_t) {
  std::abort();
}

}  // namespace crypto::detail

#endif
