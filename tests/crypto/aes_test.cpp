#include <gtest/gtest.h>

#include "crypto/aes.h"
#include "crypto/aes_core.h"
#include "crypto/aes_tables.h"
#include "tests/crypto/aes_vectors.h"
#include "tests/crypto/test_util.h"

using crypto_test::hex;
using crypto_test::unhex;

namespace {

using aes_vectors::sp800_cipher;
using aes_vectors::sp800_iv;
using aes_vectors::sp800_key;
using aes_vectors::sp800_plain;

class AesEngines : public ::testing::TestWithParam<crypto::Engine> {};

}  // namespace

TEST(AesTables, SboxAndInverseAreMutualInverses) {
  for (int x = 0; x < 256; ++x) {
    EXPECT_EQ(crypto::aes_inv_sbox[crypto::aes_sbox[static_cast<std::size_t>(x)]], x);
  }
  // A few published entries of the FIPS 197 table.
  EXPECT_EQ(crypto::aes_sbox[0x10], 0xca);
  EXPECT_EQ(crypto::aes_sbox[0x9a], 0xb8);
  EXPECT_EQ(crypto::aes_sbox[0xc9], 0xdd);
  EXPECT_EQ(crypto::aes_inv_sbox[0x00], 0x52);
  const std::uint32_t rcon[8] = {0, 0x01000000, 0x02000000, 0x04000000, 0x08000000, 0x10000000, 0x20000000, 0x40000000};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(crypto::aes_rcon[static_cast<std::size_t>(i)], rcon[i]);
}

TEST(AesCore, KeyExpansionEndsAsPublished) {
  // FIPS 197 appendix A.3: the last expanded words w56..w59.
  const Bytes key = unhex(sp800_key);
  const auto rk = crypto::aes256_expand_key(key.data());
  EXPECT_EQ(hex(ByteView(rk).first(32)), sp800_key);
  EXPECT_EQ(hex(ByteView(rk).subspan(224)), "fe4890d1e6188d0b046df344706c631e");
}

TEST_P(AesEngines, Fips197AppendixC3) {
  Bytes key(32);
  for (std::size_t i = 0; i < 32; ++i) key[i] = static_cast<std::uint8_t>(i);
  const Bytes plain = unhex("00112233445566778899aabbccddeeff");
  auto c = crypto::aes256_encrypt_block(key, plain, GetParam());
  ASSERT_TRUE(c.has_value());
  EXPECT_EQ(hex(*c), "8ea2b7ca516745bfeafc49904b496089");
  auto p = crypto::aes256_decrypt_block(key, *c, GetParam());
  ASSERT_TRUE(p.has_value());
  EXPECT_EQ(hex(*p), hex(plain));
}

TEST_P(AesEngines, Sp800_38aCbc) {
  auto c = crypto::aes256_cbc_encrypt(unhex(sp800_key), unhex(sp800_iv), unhex(sp800_plain), GetParam());
  ASSERT_TRUE(c.has_value());
  EXPECT_EQ(hex(*c), sp800_cipher);
  auto p = crypto::aes256_cbc_decrypt(unhex(sp800_key), unhex(sp800_iv), unhex(sp800_cipher), GetParam());
  ASSERT_TRUE(p.has_value());
  EXPECT_EQ(hex(*p), sp800_plain);
  // Fewer blocks than the parallel decryption stride, and more.
  for (std::size_t blocks : {1u, 3u, 5u, 9u}) {
    Bytes data(16 * blocks);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 31);
    auto enc = crypto::aes256_cbc_encrypt(unhex(sp800_key), unhex(sp800_iv), data, GetParam());
    auto dec = crypto::aes256_cbc_decrypt(unhex(sp800_key), unhex(sp800_iv), *enc, GetParam());
    EXPECT_EQ(*dec, data) << blocks;
  }
}

TEST_P(AesEngines, EmptyInputAfterChecks) {
  auto c = crypto::aes256_cbc_encrypt(Bytes(32, 1), Bytes(16, 2), {}, GetParam());
  ASSERT_TRUE(c.has_value());
  EXPECT_TRUE(c->empty());
  EXPECT_TRUE(crypto::aes256_cbc_decrypt(Bytes(32, 1), Bytes(16, 2), {}, GetParam())->empty());
}

INSTANTIATE_TEST_SUITE_P(Engines, AesEngines, ::testing::Values(crypto::Engine::Best, crypto::Engine::Portable));

TEST(Aes, LengthChecksInOrder) {
  struct Case {
    std::size_t key, iv, data;
    CryptoError variant;
    const char* message;
  };
  const Case cbc_cases[] = {
      {31, 32, 17, CryptoError::InvalidKey, "AES-256 key must be 32 bytes, got 31"},
      {32, 32, 17, CryptoError::InvalidNonce, "AES-CBC IV must be 16 bytes, got 32"},
      {32, 16, 17, CryptoError::InvalidLength, "AES-CBC input must be a multiple of 16 bytes, got 17"},
  };
  for (const auto& c : cbc_cases) {
    for (bool encrypt : {true, false}) {
      auto r = encrypt ? crypto::aes256_cbc_encrypt(Bytes(c.key), Bytes(c.iv), Bytes(c.data))
                       : crypto::aes256_cbc_decrypt(Bytes(c.key), Bytes(c.iv), Bytes(c.data));
      ASSERT_FALSE(r.has_value());
      EXPECT_TRUE(r.error().is(c.variant));
      EXPECT_EQ(r.error().message(), c.message);
    }
  }
  auto bad_key = crypto::aes256_encrypt_block(Bytes(16), Bytes(15));
  ASSERT_FALSE(bad_key.has_value());
  EXPECT_EQ(bad_key.error().message(), "AES-256 key must be 32 bytes, got 16");
  auto bad_block = crypto::aes256_decrypt_block(Bytes(32), Bytes(15));
  ASSERT_FALSE(bad_block.has_value());
  EXPECT_TRUE(bad_block.error().is(CryptoError::InvalidLength));
  EXPECT_EQ(bad_block.error().message(), "AES block must be 16 bytes, got 15");
}
