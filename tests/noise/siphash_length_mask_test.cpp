#include "noise/siphash_length_mask.h"

#include <gtest/gtest.h>

#include <vector>

#include "crypto/endian.h"
#include "crypto/siphash.h"

namespace {

Bytes range(std::uint8_t from, std::size_t n) {
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(from + i);
  return out;
}

}  // namespace

TEST(SipHashLengthMask, ParameterChecksKeyFirst) {
  auto bad_both = noise::SipHashLengthMask::create(Bytes(15), Bytes(7));
  ASSERT_FALSE(bad_both.has_value());
  EXPECT_TRUE(bad_both.error().is(NoiseError::InvalidSipHashParams));
  EXPECT_EQ(bad_both.error().message(), "NTCP2 SipHash key must be 16 bytes");
  auto bad_iv = noise::SipHashLengthMask::create(Bytes(16), Bytes(9));
  ASSERT_FALSE(bad_iv.has_value());
  EXPECT_EQ(bad_iv.error().message(), "NTCP2 SipHash IV must be 8 bytes");
}

TEST(SipHashLengthMask, FirstMaskIsTheHashOfTheInitialIv) {
  const Bytes key = range(0, 16);
  const Bytes iv = range(0, 8);
  auto mask = *noise::SipHashLengthMask::create(key, iv);
  const std::uint64_t h1 = *crypto::siphash_2_4(key, iv);
  EXPECT_EQ(h1, 0x93f5f5799a932462u);  // reference vector for the 8-byte message 00..07
  EXPECT_EQ(*mask.xor_length(0), static_cast<std::uint16_t>(h1));
  std::uint8_t next_iv[8];
  crypto::write_u64_le(next_iv, h1);
  EXPECT_EQ(Bytes(mask.iv.begin(), mask.iv.end()), Bytes(next_iv, next_iv + 8));
  const std::uint64_t h2 = *crypto::siphash_2_4(key, next_iv);
  EXPECT_EQ(*mask.xor_length(0x1234), static_cast<std::uint16_t>(0x1234 ^ h2));
}

TEST(SipHashLengthMask, SenderAndReceiverStayInStep) {
  auto sender = *noise::SipHashLengthMask::create(range(7, 16), range(3, 8));
  auto receiver = sender;
  auto twin = sender;  // same key and iv: same sequence
  std::vector<std::uint16_t> masked_100;
  for (std::uint16_t length : std::initializer_list<std::uint16_t>{100, 100, 65535, 0, 100}) {
    const std::uint16_t masked = *sender.xor_length(length);
    EXPECT_EQ(*twin.xor_length(length), masked);
    EXPECT_EQ(*receiver.xor_length(masked), length);
    if (length == 100) masked_100.push_back(masked);
  }
  // The same length masks differently on successive frames.
  EXPECT_NE(masked_100[0], masked_100[1]);
  EXPECT_NE(masked_100[1], masked_100[2]);
  EXPECT_EQ(sender.iv, receiver.iv);
}
