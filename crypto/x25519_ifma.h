#pragma once
// The X25519 ladder on four field elements at once, through the AVX-512 52-bit
// multiply-add instructions (IFMA) on 256-bit vectors; the fast path beside the
// portable ladder of crypto/x25519.cpp, giving the same bytes.
//
// Only for x86-64 builds (X25519_IFMA_AVAILABLE), and only to be called when
// cpu_features().avx512ifma is true.
#include <array>
#include <cstdint>

#if defined(__x86_64__)
#define X25519_IFMA_AVAILABLE 1
#endif

namespace crypto {

#if defined(X25519_IFMA_AVAILABLE)
// scalar * u for a clamped scalar and a u-coordinate whose bit 255 is ignored; the
// canonical 32-byte result. Constant time: the scalar's bits only choose swap masks.
std::array<std::uint8_t, 32> x25519_ladder_ifma(const std::array<std::uint8_t, 32>& scalar,
                                                const std::array<std::uint8_t, 32>& u);
#endif

}  // namespace crypto
