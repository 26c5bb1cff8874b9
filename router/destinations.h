#pragma once
// Local client destinations as the router core makes and serves them: a fresh transient
// destination with its keys, and the key that garlic to a remote destination is sealed to.
#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "common/destination.h"
#include "common/lease_set2.h"
#include "encoding/error.h"
#include "noise/key_pair.h"

namespace router {

// A new destination: 352 random bytes and the Ed25519 public key in its key area, and a
// Key certificate naming Ed25519 signing and the ElGamal crypto type -- its real X25519
// encryption key is published only in its LeaseSet2.
struct TransientDestination {
  common::Destination destination;  // 391 bytes encoded
  std::string public_b64;           // the destination's bytes
  // The destination's bytes, the 32-byte X25519 private key and the 32-byte Ed25519 seed
  // (455 bytes): what SAM hands out as the private key and reads back.
  std::string private_b64;
  noise::KeyPair encryption_keypair;
  std::array<std::uint8_t, 32> signing_key{};  // the Ed25519 seed
};

// RouterError::Net when the random source fails, RouterError::Crypto or
// RouterError::Noise when a key cannot be made.
Result<TransientDestination> generate_transient_destination();

// The first 32-byte X25519 key of the LeaseSet2, else the destination's own crypto key
// when it is 32 bytes; none otherwise.
std::optional<std::array<std::uint8_t, 32>> extract_x25519_key(const common::LeaseSet2& lease_set);

}  // namespace router
