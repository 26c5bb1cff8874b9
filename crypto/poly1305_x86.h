#pragma once
// Poly1305 eight blocks at a time through AVX-512 IFMA (52-bit multiply-add) with
// the accumulator in radix 2^44, or four (AVX2) or two (SSE2) at a time in radix 2^26. Each is
// called only when cpu_features() reports its instructions; the tag is identical to
// the portable code's.
#include <cstddef>
#include <cstdint>

namespace crypto::detail {

// A value modulo 2^130 - 5 as limbs of 44, 44 and 42 bits (each may run a few bits
// over between steps).
using Poly1305Limbs44 = std::uint64_t[3];

// h = (...((h + m_1) r + m_2) r + ... + m_n) r for n full 16-byte blocks (n a
// positive multiple of 8), where powers[i] = r^(i+1) for i = 0..7. h comes in and
// goes out in radix 2^44, partially reduced.
void poly1305_blocks_ifma(std::uint64_t h[3], const std::uint64_t powers[8][3], const std::uint8_t* m, std::size_t n);

// The same in radix 2^26 (five limbs of 26 bits, a few bits over allowed) with
// powers[i] = r^(i+1): for AVX2, four blocks side by side, n a positive multiple of 4
// and r^1 .. r^4 and r^8 set; for SSE2, two blocks side by side, n a positive multiple
// of 2 and r^1, r^2, r^4, r^6 and r^8 set. The other entries are not read.
void poly1305_blocks_avx2(std::uint64_t h[5], const std::uint64_t powers[8][5], const std::uint8_t* m, std::size_t n);
void poly1305_blocks_sse2(std::uint64_t h[5], const std::uint64_t powers[8][5], const std::uint8_t* m, std::size_t n);

}  // namespace crypto::detail
