#pragma once
// An X25519 key pair for the Noise handshakes.
#include <array>
#include <cstdint>

#include "encoding/bytes.h"
#include "encoding/error.h"

namespace noise {

struct KeyPair {
  std::array<std::uint8_t, 32> private_key;  // exactly as given, not clamped
  std::array<std::uint8_t, 32> public_key;   // crypto::x25519_public_key(private_key)

  // The pair of a private key. A key that is not 32 bytes fails with NoiseError::Crypto
  // around the X25519 length error.
  static Result<KeyPair> from_private(ByteView private_key);
};

}  // namespace noise
