#pragma once
// The Elligator 2 map onto Curve25519 (y^2 = x^3 + A x^2 + x, A = 486662, non-square 2):
// from a representative, 32 bytes that look uniformly random, to an X25519 public key.
#include <array>
#include <cstdint>

#include "encoding/bytes.h"
#include "encoding/error.h"

namespace crypto {

// The canonical u-coordinate that a 32-byte representative stands for. Bits 254 and
// 255 of the representative carry no information and are ignored. Fails only on a
// wrong length.
Result<std::array<std::uint8_t, 32>> elligator2_decode(ByteView representative);

}  // namespace crypto
