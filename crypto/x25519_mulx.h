#pragma once
// The X25519 ladder on the four-limb field of crypto/field64.h (BMI2 and ADX), the path
// between the AVX-512 IFMA ladder and the portable one; all give the same bytes.
//
// Only for x86-64 builds (FIELD64_AVAILABLE), and only to be called when
// cpu_features() reports bmi2 and adx.
#include <array>
#include <cstdint>

#include "crypto/field64.h"

namespace crypto {

#if defined(FIELD64_AVAILABLE)
// scalar * u for a clamped scalar and a u-coordinate whose bit 255 is ignored; the
// canonical 32-byte result. Constant time: the scalar's bits only choose swap masks.
std::array<std::uint8_t, 32> x25519_ladder_mulx(const std::array<std::uint8_t, 32>& scalar,
                                                const std::array<std::uint8_t, 32>& u);
#endif

}  // namespace crypto
