#include "noise/key_pair.h"

#include <gtest/gtest.h>

#include "crypto/x25519.h"
#include "encoding/text.h"

namespace noise {
namespace {

Bytes unhex(std::string_view s) { return encoding::hex_decode(s).value(); }

TEST(KeyPair, KeepsPrivateKeyUnclampedAndDerivesPublicKey) {
  // RFC 7748 section 6.1: Alice's private key has low bits set and is clamped only
  // inside X25519.
  const Bytes priv = unhex("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a");
  const auto pair = KeyPair::from_private(priv);
  ASSERT_TRUE(pair.has_value());
  EXPECT_EQ(Bytes(pair->private_key.begin(), pair->private_key.end()), priv);
  EXPECT_EQ(encoding::hex_encode(pair->public_key), "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a");
  EXPECT_EQ(pair->public_key, crypto::x25519_public_key(priv).value());
}

TEST(KeyPair, WrongLengthWrapsTheX25519Error) {
  for (std::size_t len : {0u, 31u, 33u}) {
    const auto pair = KeyPair::from_private(Bytes(len, 1));
    ASSERT_FALSE(pair.has_value());
    EXPECT_TRUE(pair.error().is(NoiseError::Crypto));
    const Error* inner = pair.error().inner();
    ASSERT_NE(inner, nullptr);
    EXPECT_TRUE(inner->is(CryptoError::InvalidKey));
    EXPECT_EQ(inner->message(), "X25519 scalar must be 32 bytes, got " + std::to_string(len));
  }
}

}  // namespace
}  // namespace noise
