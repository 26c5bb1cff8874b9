#pragma once
// Ed25519 signatures (RFC 8032, pure Ed25519 without context).
//
// A private key is its 32-byte seed; a public key is 32 bytes; a signature 64 (R || S).
#include <array>
#include <cstdint>

#include "encoding/bytes.h"
#include "encoding/error.h"

namespace crypto {

using Ed25519PublicKey = std::array<std::uint8_t, 32>;
using Ed25519Signature = std::array<std::uint8_t, 64>;

// The public key of a seed. Fails only when the seed is not 32 bytes.
Result<Ed25519PublicKey> ed25519_public_key(ByteView seed);

// The deterministic signature of a message (any length) under a seed; the public key
// is derived from the seed on every call. Fails only when the seed is not 32 bytes.
Result<Ed25519Signature> ed25519_sign(ByteView seed, ByteView message);

// A seed expanded once for signing many messages: its secret scalar, its nonce prefix
// and its public key. It is as secret as the seed.
struct Ed25519SigningKey {
  std::array<std::uint8_t, 32> scalar{};  // clamped, not reduced
  std::array<std::uint8_t, 32> prefix{};
  Ed25519PublicKey public_key{};
};

// The expanded key of a seed. Fails only when the seed is not 32 bytes.
Result<Ed25519SigningKey> ed25519_signing_key(ByteView seed);

// The same signature as ed25519_sign(seed, message), without deriving the public key
// again: one multiplication of the base point per signature.
Ed25519Signature ed25519_sign(const Ed25519SigningKey& key, ByteView message);

// True only for a valid signature: the public key and R must be canonical encodings of
// curve points, S must be below the group order, and [S]B = R + [k]A must hold exactly
// (no cofactor; points of small order are not refused). Every malformed input,
// wrong lengths included, gives false.
bool ed25519_verify(ByteView public_key, ByteView message, ByteView signature);

}  // namespace crypto
