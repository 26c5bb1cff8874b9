#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "crypto/chacha20.h"
#include "crypto/chacha20_poly1305.h"
#include "crypto/poly1305.h"
#include "tests/crypto/test_util.h"
#include "tests/crypto/vector_levels.h"

using crypto_test::hex;
using crypto_test::unhex;

namespace {

Bytes range(std::uint8_t from, std::size_t n) {
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(from + i);
  return out;
}

const std::string sunscreen =
    "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the future, sunscreen would be "
    "it.";

// The known answers below run once per vector level of this CPU.
class ChaCha20Level : public crypto_test::VectorLevel {};
class Poly1305Level : public crypto_test::VectorLevel {};
class AeadLevel : public crypto_test::VectorLevel {};
ONDREL_VECTOR_LEVELS(ChaCha20Level);
ONDREL_VECTOR_LEVELS(Poly1305Level);
ONDREL_VECTOR_LEVELS(AeadLevel);

}  // namespace

TEST(ChaCha20, QuarterRound) {
  crypto::ChaChaState s{};
  s[0] = 0x11111111;
  s[1] = 0x01020304;
  s[2] = 0x9b8d6f43;
  s[3] = 0x01234567;
  crypto::quarter_round(s, 0, 1, 2, 3);
  EXPECT_EQ(s[0], 0xea2a92f4u);
  EXPECT_EQ(s[1], 0xcb1cf8ceu);
  EXPECT_EQ(s[2], 0x4581472eu);
  EXPECT_EQ(s[3], 0x5881c4bbu);
}

TEST(ChaCha20, BlockFunctionVectors) {
  struct Case {
    Bytes key;
    std::uint32_t counter;
    Bytes nonce;
    std::string block;
  };
  Bytes key_one(32, 0);
  key_one[31] = 1;
  Bytes key_ff(32, 0);
  key_ff[1] = 0xff;
  const Case cases[] = {
      {range(0, 32), 1, unhex("000000090000004a00000000"),
       "10f1e7e4d13b5915500fdd1fa32071c4c7d1f4c733c068030422aa9ac3d46c4ed2826446079faa0914c2d705d98b02a2b5129cd1de164eb"
       "9"
       "cbd083e8a2503c4e"},
      {Bytes(32, 0), 0, Bytes(12, 0),
       "76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7da41597c5157488d7724e03fb8d84a376a43b8f41518a11"
       "c"
       "c387b669b2ee6586"},
      {Bytes(32, 0), 1, Bytes(12, 0),
       "9f07e7be5551387a98ba977c732d080dcb0f29a048e3656912c6533e32ee7aed29b721769ce64e43d57133b074d839d531ed1f28510afb4"
       "5"
       "ace10a1f4b794d6f"},
      {key_one, 1, Bytes(12, 0),
       "3aeb5224ecf849929b9d828db1ced4dd832025e8018b8160b82284f3c949aa5a8eca00bbb4a73bdad192b5c42f73f2fd4e273644c8b3612"
       "5"
       "a64addeb006c13a0"},
      {key_ff, 2, Bytes(12, 0),
       "72d54dfbf12ec44b362692df94137f328fea8da73990265ec1bbbea1ae9af0ca13b25aa26cb4a648cb9b9d1be65b2c0924a66c54d545ec1"
       "b"
       "7374f4872e99f096"},
      {Bytes(32, 0), 0, unhex("000000000000000000000002"),
       "c2c64d378cd536374ae204b9ef933fcd1a8b2288b3dfa49672ab765b54ee27c78a970e0e955c14f3a88e741b97c286f75f8fc299e814836"
       "2"
       "fa198a39531bed6d"},
  };
  int n = 0;
  for (const auto& c : cases) {
    auto block = crypto::chacha20_block(c.key, c.counter, c.nonce);
    ASSERT_TRUE(block.has_value());
    EXPECT_EQ(hex(*block), c.block) << "case " << n;
    ++n;
  }
}

TEST_P(ChaCha20Level, KeystreamEncryptionVector) {
  auto ct = crypto::chacha20_xor(range(0, 32), unhex("000000000000004a00000000"), as_bytes(sunscreen), isa());
  ASSERT_TRUE(ct.has_value());
  EXPECT_EQ(
      hex(*ct),
      "6e2e359a2568f98041ba0728dd0d6981e97e7aec1d4360c20a27afccfd9fae0bf91b65c5524733ab8f593dabcd62b3571639d624e651"
      "52ab8f530c359f0861d807ca0dbf500d6a6156a38e088a22b65e52bc514d16ccf806818ce91ab77937365af90bbf74a35be6b40b8eed"
      "f2785e42874d");
}

TEST_P(ChaCha20Level, XorUsesCountersFromOne) {
  const Bytes key = range(3, 32);
  const Bytes nonce = range(9, 12);
  // Lengths around the 4-, 8- and 16-block strides of the vector paths.
  for (std::size_t len : {0u, 1u, 63u, 64u, 65u, 128u, 255u, 256u, 511u, 512u, 513u, 767u, 1023u, 1024u, 1025u,
                          1024u + 320u + 7u, 2048u + 512u, 2048u + 513u, 4096u + 64u * 3u + 1u}) {
    const Bytes zeros(len, 0);
    const Bytes ks = *crypto::chacha20_xor(key, nonce, zeros, isa());
    ASSERT_EQ(ks.size(), len);
    for (std::size_t i = 0; i < len; i += 64) {
      const auto block = *crypto::chacha20_block(key, static_cast<std::uint32_t>(1 + i / 64), nonce);
      const std::size_t n = std::min<std::size_t>(64, len - i);
      ASSERT_EQ(Bytes(ks.begin() + static_cast<std::ptrdiff_t>(i), ks.begin() + static_cast<std::ptrdiff_t>(i + n)),
                Bytes(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(n)))
          << len << " " << i;
    }
    EXPECT_EQ(*crypto::chacha20_xor(key, nonce, ks, isa()), zeros);  // applying twice restores
  }
}

// The 32-bit block counter wraps the same way in every lane of the vector code as in
// the one-block function: after 0xffffffff comes 0.
TEST_P(ChaCha20Level, CounterWrapsLikeTheBlockFunction) {
  const Bytes key = range(11, 32);
  const Bytes nonce = range(40, 12);
  for (std::uint32_t first : {0xfffffff9u, 0xfffffffeu, 0xffffffffu}) {
    const std::size_t len = 64 * 20 + 5;
    Bytes ks(len, 0);
    crypto::detail::chacha20_xor_unchecked(key.data(), nonce.data(), first, ks.data(), ks.data(), len, isa());
    for (std::size_t i = 0; i < len; i += 64) {
      const auto block = *crypto::chacha20_block(key, static_cast<std::uint32_t>(first + i / 64), nonce);
      const std::size_t n = std::min<std::size_t>(64, len - i);
      ASSERT_EQ(hex(ByteView(ks).subspan(i, n)), hex(ByteView(block).first(n))) << first << " " << i;
    }
  }
}

TEST(ChaCha20, LengthChecksKeyFirst) {
  auto bad_key = crypto::chacha20_block(Bytes(31, 0), 0, Bytes(13, 0));
  ASSERT_FALSE(bad_key.has_value());
  EXPECT_TRUE(bad_key.error().is(CryptoError::InvalidKey));
  EXPECT_EQ(bad_key.error().message(), "ChaCha20 requires a 32-byte key, got 31");
  auto bad_nonce = crypto::chacha20_xor(Bytes(32, 0), Bytes(8, 0), Bytes(5, 0));
  ASSERT_FALSE(bad_nonce.has_value());
  EXPECT_TRUE(bad_nonce.error().is(CryptoError::InvalidNonce));
  EXPECT_EQ(bad_nonce.error().message(), "ChaCha20 requires a 12-byte nonce, got 8");
}

TEST_P(Poly1305Level, Rfc8439Vectors) {
  struct Case {
    std::string key;
    Bytes message;
    std::string tag;
  };
  const std::string r1 = "01000000000000000000000000000000";
  const std::string r2 = "02000000000000000000000000000000";
  const std::string s0 = "00000000000000000000000000000000";
  const std::string ff16 = "ffffffffffffffffffffffffffffffff";
  const Case cases[] = {
      {"85d6be7857556d337f4452fe42d506a80103808afb0db2fd4abff6af4149f51b",
       to_bytes("Cryptographic Forum Research Group"), "a8061dc1305136c6c22b8baf0c0127a9"},
      {s0 + s0, Bytes(64, 0), s0},
      // The cases below drive the accumulator onto and past 2^130 - 5.
      {r2 + s0, unhex(ff16), "03000000000000000000000000000000"},
      {r2 + ff16, unhex("02000000000000000000000000000000"), "03000000000000000000000000000000"},
      {r1 + s0,
       unhex("fffffffffffffffffffffffffffffffff0ffffffffffffffffffffffffffffff11000000000000000000000000000000"),
       "05000000000000000000000000000000"},
      {r1 + s0,
       unhex("fffffffffffffffffffffffffffffffffbfefefefefefefefefefefefefefefe01010101010101010101010101010101"),
       "00000000000000000000000000000000"},
      {r2 + s0, unhex("fdffffffffffffffffffffffffffffff"), "faffffffffffffffffffffffffffffff"},
  };
  int n = 0;
  for (const auto& c : cases) {
    auto tag = crypto::poly1305_mac(unhex(c.key), c.message, isa());
    ASSERT_TRUE(tag.has_value());
    EXPECT_EQ(hex(*tag), c.tag) << "case " << n;
    ++n;
  }
}

TEST(Poly1305, EmptyMessageYieldsSAndKeyIsChecked) {
  const Bytes key = range(1, 32);
  EXPECT_EQ(hex(*crypto::poly1305_mac(key, {})), hex(Bytes(key.begin() + 16, key.end())));
  auto bad = crypto::poly1305_mac(Bytes(16, 0), {});
  ASSERT_FALSE(bad.has_value());
  EXPECT_TRUE(bad.error().is(CryptoError::InvalidKey));
  EXPECT_EQ(bad.error().message(), "Poly1305 requires a 32-byte one-time key, got 16");
}

TEST(Poly1305, KeyGenerationFromBlockZero) {
  auto block0 = crypto::chacha20_block(range(0x80, 32), 0, unhex("000000000001020304050607"));
  ASSERT_TRUE(block0.has_value());
  EXPECT_EQ(hex(ByteView(*block0).first(32)), "8ad5a08b905f81cc815040274ab29471a833b637e3fd0da508dbb8e2fdd1a646");
}

TEST(Aead, MacDataPadding) {
  for (std::size_t ad_len : {0u, 15u, 16u, 17u}) {
    for (std::size_t ct_len : {0u, 15u, 16u, 17u}) {
      const Bytes ad(ad_len, 0xaa);
      const Bytes ct(ct_len, 0xcc);
      const Bytes m = crypto::build_aead_mac_data(ad, ct);
      const std::size_t ad_padded = (ad_len + 15) / 16 * 16;
      const std::size_t ct_padded = (ct_len + 15) / 16 * 16;
      ASSERT_EQ(m.size(), ad_padded + ct_padded + 16);
      for (std::size_t i = 0; i < ad_padded; ++i) EXPECT_EQ(m[i], i < ad_len ? 0xaa : 0);
      for (std::size_t i = 0; i < ct_padded; ++i) EXPECT_EQ(m[ad_padded + i], i < ct_len ? 0xcc : 0);
      Bytes lengths(16, 0);
      lengths[0] = static_cast<std::uint8_t>(ad_len);
      lengths[8] = static_cast<std::uint8_t>(ct_len);
      EXPECT_EQ(Bytes(m.end() - 16, m.end()), lengths);
    }
  }
}

TEST_P(AeadLevel, Rfc8439EncryptionAndDecryption) {
  const Bytes key = range(0x80, 32);
  const Bytes nonce = unhex("070000004041424344454647");
  const Bytes ad = unhex("50515253c0c1c2c3c4c5c6c7");
  auto sealed = crypto::aead_chacha20_poly1305_encrypt(key, nonce, ad, as_bytes(sunscreen), isa());
  ASSERT_TRUE(sealed.has_value());
  EXPECT_EQ(
      hex(*sealed),
      "d31a8d34648e60db7b86afbc53ef7ec2a4aded51296e08fea9e2b5a736ee62d63dbea45e8ca9671282fafb69da92728b1a71de0a9e06"
      "0b2905d6a5b67ecd3b3692ddbd7f2d778b8c9803aee328091b58fab324e4fad675945585808b4831d7bc3ff4def08e4b7a9de576d265"
      "86cec64b6116"
      "1ae10b594f09e26a7e902ecbd0600691");
  auto opened = crypto::aead_chacha20_poly1305_decrypt(key, nonce, ad, *sealed, isa());
  ASSERT_TRUE(opened.has_value());
  EXPECT_EQ(*opened, to_bytes(sunscreen));
}

TEST(Aead, TagEqualsPoly1305OverMacData) {
  const Bytes key = range(5, 32);
  const Bytes nonce = range(50, 12);
  const Bytes ad = range(1, 17);
  const Bytes pt = range(100, 70);
  const Bytes sealed = *crypto::aead_chacha20_poly1305_encrypt(key, nonce, ad, pt);
  const Bytes ct(sealed.begin(), sealed.end() - 16);
  const auto block0 = *crypto::chacha20_block(key, 0, nonce);
  const auto tag = *crypto::poly1305_mac(ByteView(block0).first(32), crypto::build_aead_mac_data(ad, ct));
  EXPECT_EQ(Bytes(sealed.end() - 16, sealed.end()), Bytes(tag.begin(), tag.end()));
  EXPECT_EQ(ct, *crypto::chacha20_xor(key, nonce, pt));
}

TEST(Aead, EmptyPlaintextIsTagOnly) {
  const Bytes key = range(5, 32);
  const Bytes nonce = range(50, 12);
  const Bytes sealed = *crypto::aead_chacha20_poly1305_encrypt(key, nonce, to_bytes("ad"), {});
  ASSERT_EQ(sealed.size(), 16u);
  auto opened = crypto::aead_chacha20_poly1305_decrypt(key, nonce, to_bytes("ad"), sealed);
  ASSERT_TRUE(opened.has_value());
  EXPECT_TRUE(opened->empty());
}

TEST(Aead, EveryFlippedBitFails) {
  const Bytes key = range(5, 32);
  const Bytes nonce = range(50, 12);
  const Bytes ad = range(1, 5);
  const Bytes sealed = *crypto::aead_chacha20_poly1305_encrypt(key, nonce, ad, range(7, 20));
  for (std::size_t bit = 0; bit < ad.size() * 8; ++bit) {
    Bytes bad = ad;
    bad[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    auto r = crypto::aead_chacha20_poly1305_decrypt(key, nonce, bad, sealed);
    ASSERT_FALSE(r.has_value());
    EXPECT_TRUE(r.error().is(CryptoError::AuthFailed));
  }
  for (std::size_t bit = 0; bit < sealed.size() * 8; ++bit) {
    Bytes bad = sealed;
    bad[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    auto r = crypto::aead_chacha20_poly1305_decrypt(key, nonce, ad, bad);
    ASSERT_FALSE(r.has_value());
    EXPECT_TRUE(r.error().is(CryptoError::AuthFailed));
  }
}

TEST(Aead, ErrorOrder) {
  // Under 16 bytes: AuthFailed before the key is even looked at.
  auto short_input = crypto::aead_chacha20_poly1305_decrypt(Bytes(31, 0), Bytes(12, 0), {}, Bytes(15, 0));
  ASSERT_FALSE(short_input.has_value());
  EXPECT_TRUE(short_input.error().is(CryptoError::AuthFailed));
  EXPECT_FALSE(short_input.error().has_message());

  auto bad_key = crypto::aead_chacha20_poly1305_decrypt(Bytes(31, 0), Bytes(12, 0), {}, Bytes(16, 0));
  ASSERT_FALSE(bad_key.has_value());
  EXPECT_TRUE(bad_key.error().is(CryptoError::InvalidKey));
  EXPECT_EQ(bad_key.error().message(), "ChaCha20 requires a 32-byte key, got 31");

  auto bad_nonce = crypto::aead_chacha20_poly1305_encrypt(Bytes(32, 0), Bytes(11, 0), {}, {});
  ASSERT_FALSE(bad_nonce.has_value());
  EXPECT_EQ(bad_nonce.error().message(), "ChaCha20 requires a 12-byte nonce, got 11");
}

// The RFC 8439 message opened where it lies: the plaintext replaces the ciphertext at the
// front of the buffer; a wrong tag or a wrong output size leaves the buffer untouched.
TEST_P(AeadLevel, OpeningInPlace) {
  const Bytes key = range(0x80, 32);
  const Bytes nonce = unhex("070000004041424344454647");
  const Bytes ad = unhex("50515253c0c1c2c3c4c5c6c7");
  const Bytes sealed = unhex(
      "d31a8d34648e60db7b86afbc53ef7ec2a4aded51296e08fea9e2b5a736ee62d63dbea45e8ca9671282fafb69da92728b1a71de0a9e06"
      "0b2905d6a5b67ecd3b3692ddbd7f2d778b8c9803aee328091b58fab324e4fad675945585808b4831d7bc3ff4def08e4b7a9de576d265"
      "86cec64b6116"
      "1ae10b594f09e26a7e902ecbd0600691");
  const std::size_t n = sealed.size() - 16;
  Bytes buf = sealed;
  ASSERT_TRUE(crypto::aead_chacha20_poly1305_decrypt_into(key, nonce, ad, buf, std::span(buf).first(n), isa()));
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(n)), to_bytes(sunscreen));

  Bytes tampered = sealed;
  tampered.back() ^= 1;
  Bytes copy = tampered;
  auto refused = crypto::aead_chacha20_poly1305_decrypt_into(key, nonce, ad, copy, std::span(copy).first(n), isa());
  ASSERT_FALSE(refused.has_value());
  EXPECT_TRUE(refused.error().is(CryptoError::AuthFailed));
  EXPECT_EQ(copy, tampered);

  Bytes out(n + 1, 0xEE);
  auto wrong = crypto::aead_chacha20_poly1305_decrypt_into(key, nonce, ad, sealed, out, isa());
  ASSERT_FALSE(wrong.has_value());
  EXPECT_TRUE(wrong.error().is(CryptoError::InvalidLength));
  EXPECT_EQ(out, Bytes(n + 1, 0xEE));
}

TEST_P(AeadLevel, SealingIntoTheCallersBufferInPlace) {
  const Bytes key(32, 0x42), nonce(12, 0x07), ad = {1, 2, 3};
  for (std::size_t len : {0u, 1u, 63u, 64u, 65u, 1000u, 1024u, 1537u, 4096u}) {
    Bytes plaintext(len);
    for (std::size_t i = 0; i < len; ++i) plaintext[i] = static_cast<std::uint8_t>(i * 7);
    const Bytes expected =
        *crypto::aead_chacha20_poly1305_encrypt(key, nonce, ad, plaintext, crypto::VectorIsa::Portable);
    // The plaintext lies at the front of the very buffer that receives the ciphertext.
    Bytes buf = plaintext;
    buf.resize(len + 16);
    ASSERT_TRUE(crypto::aead_chacha20_poly1305_encrypt_into(key, nonce, ad, ByteView(buf).first(len), buf, isa()))
        << len;
    EXPECT_EQ(buf, expected) << len;
  }
  Bytes small(10);
  auto wrong = crypto::aead_chacha20_poly1305_encrypt_into(key, nonce, ad, Bytes(4), small, isa());
  ASSERT_FALSE(wrong.has_value());
  EXPECT_TRUE(wrong.error().is(CryptoError::InvalidLength));
  EXPECT_EQ(small, Bytes(10));
}
