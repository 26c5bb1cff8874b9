#include <gtest/gtest.h>

#include <string>

#include "crypto/hkdf.h"
#include "crypto/hmac.h"
#include "tests/crypto/test_util.h"

using crypto_test::hex;
using crypto_test::unhex;

namespace {

Bytes repeat(std::uint8_t b, std::size_t n) { return Bytes(n, b); }

Bytes range(std::uint8_t from, std::size_t n) {
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(from + i);
  return out;
}

}  // namespace

TEST(HmacSha256, Rfc4231Cases) {
  struct Case {
    Bytes key;
    Bytes data;
    std::string tag;  // case 5 is truncated to 128 bits
  };
  const Case cases[] = {
      {repeat(0x0b, 20), to_bytes("Hi There"), "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {to_bytes("Jefe"), to_bytes("what do ya want for nothing?"),
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {repeat(0xaa, 20), repeat(0xdd, 50), "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
      {range(0x01, 25), repeat(0xcd, 50), "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
      {repeat(0x0c, 20), to_bytes("Test With Truncation"), "a3b6167473100ee06e0c796c2955552b"},
      {repeat(0xaa, 131), to_bytes("Test Using Larger Than Block-Size Key - Hash Key First"),
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {repeat(0xaa, 131),
       to_bytes("This is a test using a larger than block-size key and a larger than block-size data. The key needs "
                "to be hashed before being used by the HMAC algorithm."),
       "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
  };
  int n = 1;
  for (const auto& c : cases) {
    EXPECT_EQ(hex(crypto::hmac_sha256(c.key, c.data)).substr(0, c.tag.size()), c.tag) << "case " << n;
    ++n;
  }
}

TEST(HmacSha256, KeyLengthEdges) {
  const Bytes data = to_bytes("message");
  // Up to 64 bytes the key is zero-padded, so trailing zeros do not change the tag.
  EXPECT_EQ(crypto::hmac_sha256({}, data), crypto::hmac_sha256(Bytes(64, 0), data));
  Bytes k64 = range(1, 64);
  EXPECT_NE(crypto::hmac_sha256(k64, data), crypto::hmac_sha256(crypto::sha256(k64), data));
  // A 65-byte key is replaced by its hash.
  const Bytes k65 = range(1, 65);
  const auto h65 = crypto::sha256(k65);
  EXPECT_EQ(crypto::hmac_sha256(k65, data), crypto::hmac_sha256(h65, data));
}

TEST(Hkdf, Rfc5869Cases) {
  struct Case {
    Bytes ikm, salt, info;
    std::size_t length;
    std::string okm;
  };
  const Case cases[] = {
      {repeat(0x0b, 22), range(0x00, 13), range(0xf0, 10), 42,
       "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"},
      {range(0x00, 80), range(0x60, 80), range(0xb0, 80), 82,
       "b11e398dc80327a1c8e7f78c596a49344f012eda2d4efad8a050cc4c19afa97c59045a99cac7827271cb41c65e590e09da3275600c2f09b"
       "8367793a9aca3db71cc30c58179ec3e87c14c01d5c1f3434f1d87"},
      {repeat(0x0b, 22),
       {},
       {},
       42,
       "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8"},
  };
  int n = 1;
  for (const auto& c : cases) {
    auto okm = crypto::hkdf(c.salt, c.ikm, c.info, c.length);
    ASSERT_TRUE(okm.has_value()) << "A." << n;
    EXPECT_EQ(hex(*okm), c.okm) << "A." << n;
    ++n;
  }
}

TEST(Hkdf, OutputBlocksAndLengths) {
  const Bytes ikm = to_bytes("input key material");
  const Bytes info = to_bytes("SessionReplyTags");
  const Bytes salt = range(7, 32);
  const auto prk = crypto::hmac_sha256(salt, ikm);
  Bytes t1_input = info;
  t1_input.push_back(1);
  const auto t1 = crypto::hmac_sha256(prk, t1_input);
  Bytes t2_input(t1.begin(), t1.end());
  t2_input.insert(t2_input.end(), info.begin(), info.end());
  t2_input.push_back(2);
  const auto t2 = crypto::hmac_sha256(prk, t2_input);

  EXPECT_EQ(*crypto::hkdf(salt, ikm, info, 32), Bytes(t1.begin(), t1.end()));
  Bytes both(t1.begin(), t1.end());
  both.insert(both.end(), t2.begin(), t2.end());
  EXPECT_EQ(*crypto::hkdf(salt, ikm, info, 64), both);
  EXPECT_EQ(*crypto::hkdf(salt, ikm, info, 42), Bytes(both.begin(), both.begin() + 42));
  EXPECT_EQ(*crypto::hkdf(salt, ikm, info, 1), Bytes(t1.begin(), t1.begin() + 1));
  EXPECT_TRUE(crypto::hkdf(salt, ikm, info, 0)->empty());
  // An empty salt is 32 zero bytes.
  EXPECT_EQ(*crypto::hkdf({}, ikm, info, 64), *crypto::hkdf(Bytes(32, 0), ikm, info, 64));
}

TEST(Hkdf, RefusesOutputBeyondTheBlockCounter) {
  EXPECT_EQ(crypto::hkdf({}, {}, {}, 255 * 32)->size(), 255u * 32);
  auto r = crypto::hkdf({}, {}, {}, 255 * 32 + 1);
  ASSERT_FALSE(r.has_value());
  EXPECT_TRUE(r.error().is(CryptoError::InvalidLength));
  EXPECT_EQ(r.error().message(), "HKDF-SHA256 output is limited to 8160 bytes, got 8161");

  // Into a caller's buffer: the same bytes, and a refused length leaves the buffer alone.
  const Bytes salt(32, 0x0b), ikm(22, 0x0c), info(10, 0xf0);
  for (std::size_t length : {std::size_t{0}, std::size_t{1}, std::size_t{32}, std::size_t{64}, std::size_t{100}}) {
    Bytes out(length, 0xAA);
    ASSERT_TRUE(crypto::hkdf_into(salt, ikm, info, out));
    EXPECT_EQ(out, *crypto::hkdf(salt, ikm, info, length)) << length;
  }
  Bytes too_long(255 * 32 + 1, 0xAA);
  auto refused = crypto::hkdf_into(salt, ikm, info, too_long);
  ASSERT_FALSE(refused);
  EXPECT_TRUE(refused.error().is(CryptoError::InvalidLength));
  EXPECT_EQ(too_long, Bytes(255 * 32 + 1, 0xAA));
}
