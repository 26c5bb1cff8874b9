#pragma once
// Ephemeral X25519 key pairs whose public key has an Elligator2 representative, so that a
// NewSession or NewSessionReply opens with 32 bytes that look uniformly random.
#include <array>
#include <cstdint>
#include <functional>

#include "encoding/bytes.h"
#include "encoding/error.h"

namespace ratchet {

// 32 fresh random bytes or the random layer's error. The router passes its own source;
// tests pass a scripted one.
using RandomSource = std::function<Result<std::array<std::uint8_t, 32>>()>;

struct ElligatorKeyPair {
  std::array<std::uint8_t, 32> private_key{};     // the random bytes; X25519 clamps them
  std::array<std::uint8_t, 32> public_key{};      // X25519 public key of private_key
  std::array<std::uint8_t, 32> representative{};  // maps back to public_key; top two bits random
};

inline constexpr int kElligatorAttempts = 128;

// Up to 128 attempts, each taking two values of the source: a private key, then one whose
// byte 0 gives the representative's top two bits and byte 1 bit 0 which of the two
// representatives of the key is sent. A source error ends the operation at once with that
// error; 128 keys without a representative give RatchetError::ElligatorSamplingFailed.
Result<ElligatorKeyPair> generate_elligator_keypair(const RandomSource& random);

}  // namespace ratchet
