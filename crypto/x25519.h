#pragma once
// X25519 Diffie-Hellman over Curve25519 (RFC 7748).
#include <array>
#include <cstdint>

#include "crypto/cpu_features.h"
#include "crypto/field.h"
#include "encoding/bytes.h"
#include "encoding/error.h"

namespace crypto {

using X25519Key = std::array<std::uint8_t, 32>;

// scalar * u: the clamped 32-byte scalar times the point with the 32-byte Montgomery
// u-coordinate (bit 255 ignored, values of p or more taken modulo p). A low-order or
// zero u gives 32 zero bytes, returned like any other result; callers that must refuse
// it check for it themselves. Fails only on a wrong length (scalar checked first).
// Engine::Best runs on the best field the CPU has (best_field_isa(): four products at
// a time through AVX-512 IFMA, else four 64-bit limbs through BMI2 and ADX), Portable on
// the portable field; all give the same bytes.
Result<X25519Key> x25519(ByteView scalar, ByteView u_coordinate, Engine engine = Engine::Best);
// The same on the field `isa`, or on the best one when the CPU lacks it.
Result<X25519Key> x25519(ByteView scalar, ByteView u_coordinate, FieldIsa isa);

// The public key of a private key: the bytes of x25519(private_key, 9), computed
// through the Ed25519 base-point table (constant time, like the ladder).
Result<X25519Key> x25519_public_key(ByteView private_key);

}  // namespace crypto
