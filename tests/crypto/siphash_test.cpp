#include "crypto/siphash.h"

#include <gtest/gtest.h>

TEST(SipHash, ReferenceVectors) {
  // Key 00..0f, message 00..(n-1), from the reference implementation's table.
  const std::uint64_t expected[] = {
      0x726fdb47dd0e0e31, 0x74f839c593dc67fd, 0x0d6c8009d9a94f5a, 0x85676696d7fb7e2d, 0xcf2794e0277187b7,
      0x18765564cd99a68d, 0xcbc9466e58fee3ce, 0xab0200f58b01d137, 0x93f5f5799a932462,
  };
  Bytes key(16);
  for (std::size_t i = 0; i < 16; ++i) key[i] = static_cast<std::uint8_t>(i);
  Bytes message;
  for (std::size_t n = 0; n < std::size(expected); ++n) {
    auto h = crypto::siphash_2_4(key, message);
    ASSERT_TRUE(h.has_value());
    EXPECT_EQ(*h, expected[n]) << n << " bytes";
    message.push_back(static_cast<std::uint8_t>(n));
  }
  // The example of the SipHash paper: 15 bytes.
  message.resize(15);
  for (std::size_t i = 0; i < 15; ++i) message[i] = static_cast<std::uint8_t>(i);
  EXPECT_EQ(*crypto::siphash_2_4(key, message), 0xa129ca6149be45e5u);
}

TEST(SipHash, KeyLengthChecked) {
  auto r = crypto::siphash_2_4(Bytes(15), {});
  ASSERT_FALSE(r.has_value());
  EXPECT_TRUE(r.error().is(CryptoError::InvalidKey));
  EXPECT_EQ(r.error().message(), "SipHash-2-4 requires a 16-byte key, got 15");
}
