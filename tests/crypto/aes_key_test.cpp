// AES-256 with keys expanded once: the published vectors, OpenSSL on random data, and
// the in-place use the tunnel layers rely on.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <array>
#include <random>

#include "crypto/aes.h"
#include "crypto/aes_core.h"
#include "tests/crypto/openssl_ref.h"
#include "tests/crypto/aes_vectors.h"
#include "tests/crypto/test_util.h"

using crypto_test::hex;
using crypto_test::unhex;

namespace {

using aes_vectors::sp800_cipher;
using aes_vectors::sp800_iv;
using aes_vectors::sp800_key;
using aes_vectors::sp800_plain;

std::array<std::uint8_t, 16> block_of(ByteView b) {
  std::array<std::uint8_t, 16> out{};
  std::copy(b.begin(), b.end(), out.begin());
  return out;
}

class AesKeyEngines : public ::testing::TestWithParam<crypto::Engine> {};

}  // namespace

TEST_P(AesKeyEngines, Fips197AppendixC3) {
  Bytes key(32);
  for (std::size_t i = 0; i < 32; ++i) key[i] = static_cast<std::uint8_t>(i);
  auto enc = crypto::aes256_encrypt_key(key, GetParam());
  auto dec = crypto::aes256_decrypt_key(key, GetParam());
  ASSERT_TRUE(enc.has_value());
  ASSERT_TRUE(dec.has_value());
  auto block = block_of(unhex("00112233445566778899aabbccddeeff"));
  crypto::aes256_encrypt_block(*enc, block, block);  // in place
  EXPECT_EQ(hex(block), "8ea2b7ca516745bfeafc49904b496089");
  std::array<std::uint8_t, 16> back{};
  crypto::aes256_decrypt_block(*dec, block, back);
  EXPECT_EQ(hex(back), "00112233445566778899aabbccddeeff");
}

TEST_P(AesKeyEngines, Sp800_38aCbcInPlaceAndApart) {
  auto enc = crypto::aes256_encrypt_key(unhex(sp800_key), GetParam());
  auto dec = crypto::aes256_decrypt_key(unhex(sp800_key), GetParam());
  ASSERT_TRUE(enc && dec);
  const auto iv = block_of(unhex(sp800_iv));

  Bytes data = unhex(sp800_plain);
  ASSERT_TRUE(crypto::aes256_cbc_encrypt(*enc, iv, data, data).has_value());
  EXPECT_EQ(hex(data), sp800_cipher);
  Bytes plain(data.size());
  ASSERT_TRUE(crypto::aes256_cbc_decrypt(*dec, iv, data, plain).has_value());
  EXPECT_EQ(hex(plain), sp800_plain);
  ASSERT_TRUE(crypto::aes256_cbc_decrypt(*dec, iv, data, data).has_value());
  EXPECT_EQ(hex(data), sp800_plain);
}

// Random keys and lengths on both sides of the four-block decryption stride, in place,
// against OpenSSL.
TEST_P(AesKeyEngines, MatchesOpenSsl) {
  std::mt19937_64 rng(0x7e55e1);
  for (std::size_t blocks : {0u, 1u, 3u, 4u, 5u, 63u, 64u}) {
    const Bytes key = crypto_test::random_bytes(rng, 32);
    const Bytes iv_bytes = crypto_test::random_bytes(rng, 16);
    const Bytes data = crypto_test::random_bytes(rng, 16 * blocks);
    const auto iv = block_of(iv_bytes);
    auto enc = crypto::aes256_encrypt_key(key, GetParam());
    auto dec = crypto::aes256_decrypt_key(key, GetParam());
    ASSERT_TRUE(enc && dec);

    Bytes work = data;
    ASSERT_TRUE(crypto::aes256_cbc_encrypt(*enc, iv, work, work).has_value());
    EXPECT_EQ(work, openssl_ref::cipher(EVP_aes_256_cbc(), true, key, iv_bytes, data)) << blocks;
    work = data;
    ASSERT_TRUE(crypto::aes256_cbc_decrypt(*dec, iv, work, work).has_value());
    EXPECT_EQ(work, openssl_ref::cipher(EVP_aes_256_cbc(), false, key, iv_bytes, data)) << blocks;
  }
  const Bytes key = crypto_test::random_bytes(rng, 32);
  const auto block = block_of(crypto_test::random_bytes(rng, 16));
  auto enc = crypto::aes256_encrypt_key(key, GetParam());
  auto dec = crypto::aes256_decrypt_key(key, GetParam());
  std::array<std::uint8_t, 16> out{};
  crypto::aes256_encrypt_block(*enc, block, out);
  EXPECT_EQ(Bytes(out.begin(), out.end()), openssl_ref::cipher(EVP_aes_256_ecb(), true, key, {}, block));
  crypto::aes256_decrypt_block(*dec, block, out);
  EXPECT_EQ(Bytes(out.begin(), out.end()), openssl_ref::cipher(EVP_aes_256_ecb(), false, key, {}, block));
}

INSTANTIATE_TEST_SUITE_P(Engines, AesKeyEngines, ::testing::Values(crypto::Engine::Best, crypto::Engine::Portable));

TEST(AesKey, EncryptionKeysAreTheFips197Schedule) {
  // The hardware expansion must lay its round keys out like the portable schedule,
  // which the FIPS 197 test in aes_test.cpp pins.
  const Bytes key = unhex(sp800_key);
  auto best = crypto::aes256_encrypt_key(key);
  ASSERT_TRUE(best.has_value());
  EXPECT_EQ(best->rk, crypto::aes256_expand_key(key.data()));
  EXPECT_EQ(best->hardware, crypto::cpu_features().aes);
  EXPECT_FALSE(crypto::aes256_encrypt_key(key, crypto::Engine::Portable)->hardware);
}

// A key whose type fixes its length expands without a result to check, to the same keys.
TEST(AesKey, FixedLengthKeys) {
  std::array<std::uint8_t, 32> key{};
  for (std::size_t i = 0; i < 32; ++i) key[i] = static_cast<std::uint8_t>(i);
  for (crypto::Engine engine : {crypto::Engine::Best, crypto::Engine::Portable}) {
    const crypto::Aes256EncryptKey enc = crypto::aes256_encrypt_key(key, engine);
    const crypto::Aes256DecryptKey dec = crypto::aes256_decrypt_key(key, engine);
    EXPECT_EQ(enc.rk, crypto::aes256_encrypt_key(ByteView(key), engine)->rk);
    EXPECT_EQ(dec.rk, crypto::aes256_decrypt_key(ByteView(key), engine)->rk);
    auto block = block_of(unhex("00112233445566778899aabbccddeeff"));
    crypto::aes256_encrypt_block(enc, block, block);
    EXPECT_EQ(hex(block), "8ea2b7ca516745bfeafc49904b496089");
    crypto::aes256_decrypt_block(dec, block, block);
    EXPECT_EQ(hex(block), "00112233445566778899aabbccddeeff");
  }
}

TEST(AesKey, LengthErrors) {
  auto short_key = crypto::aes256_encrypt_key(Bytes(31));
  ASSERT_FALSE(short_key.has_value());
  EXPECT_TRUE(short_key.error().is(CryptoError::InvalidKey));
  EXPECT_EQ(short_key.error().message(), "AES-256 key must be 32 bytes, got 31");
  auto long_key = crypto::aes256_decrypt_key(Bytes(33));
  ASSERT_FALSE(long_key.has_value());
  EXPECT_EQ(long_key.error().message(), "AES-256 key must be 32 bytes, got 33");

  const auto enc = *crypto::aes256_encrypt_key(Bytes(32, 7));
  const auto dec = *crypto::aes256_decrypt_key(Bytes(32, 7));
  const std::array<std::uint8_t, 16> iv{};
  Bytes in(17, 1), out(17, 9);
  auto ragged = crypto::aes256_cbc_encrypt(enc, iv, in, out);
  ASSERT_FALSE(ragged.has_value());
  EXPECT_TRUE(ragged.error().is(CryptoError::InvalidLength));
  EXPECT_EQ(ragged.error().message(), "AES-CBC input must be a multiple of 16 bytes, got 17");
  EXPECT_EQ(out, Bytes(17, 9));

  Bytes in32(32, 1), out16(16, 9);
  auto mismatch = crypto::aes256_cbc_decrypt(dec, iv, in32, out16);
  ASSERT_FALSE(mismatch.has_value());
  EXPECT_EQ(mismatch.error().message(), "AES-CBC output must be 32 bytes, got 16");
  EXPECT_EQ(out16, Bytes(16, 9));
}
