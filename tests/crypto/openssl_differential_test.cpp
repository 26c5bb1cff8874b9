// Our primitives against OpenSSL's libcrypto over random inputs of 0 to 1,024 bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "crypto/aes.h"
#include "crypto/chacha20.h"
#include "crypto/chacha20_poly1305.h"
#include "crypto/endian.h"
#include "crypto/hkdf.h"
#include "crypto/hmac.h"
#include "crypto/poly1305.h"
#include "crypto/sha1.h"
#include "crypto/sha256.h"
#include "crypto/sha512.h"
#include "crypto/siphash.h"
#include "tests/crypto/openssl_ref.h"
#include "tests/crypto/test_util.h"
#include "tests/crypto/vector_levels.h"

using crypto_test::random_bytes;

namespace {

constexpr int rounds = 150;

template <typename A>
Bytes bytes_of(const A& a) {
  return Bytes(a.begin(), a.end());
}

std::size_t random_length(std::mt19937_64& rng, std::size_t max = 1024) { return rng() % (max + 1); }

// Feeds data to a hasher in up to four pieces cut at random points.
template <typename Hasher>
auto hash_in_pieces(Hasher h, std::mt19937_64& rng, ByteView data) {
  std::size_t cuts[3];
  for (auto& c : cuts) c = data.empty() ? 0 : rng() % (data.size() + 1);
  std::sort(std::begin(cuts), std::end(cuts));
  std::size_t at = 0;
  for (std::size_t c : cuts) {
    h.update(data.subspan(at, c - at));
    at = c;
  }
  h.update(data.subspan(at));
  return h.finalize();
}

}  // namespace

TEST(OpenSslDifferential, HashesAtBlockBoundaries) {
  // Lengths around where the padding needs an extra block.
  for (std::size_t len : {0u, 1u, 55u, 56u, 63u, 64u, 65u, 111u, 112u, 119u, 120u, 127u, 128u, 129u, 1000u}) {
    const Bytes data(len, static_cast<std::uint8_t>(len));
    EXPECT_EQ(bytes_of(crypto::sha1(data)), openssl_ref::digest(EVP_sha1(), data)) << len;
    EXPECT_EQ(bytes_of(crypto::sha1(data, crypto::Engine::Portable)), openssl_ref::digest(EVP_sha1(), data)) << len;
    EXPECT_EQ(bytes_of(crypto::sha256(data)), openssl_ref::digest(EVP_sha256(), data)) << len;
    crypto::Sha256 portable(crypto::Engine::Portable);
    portable.update(data);
    EXPECT_EQ(bytes_of(portable.finalize()), openssl_ref::digest(EVP_sha256(), data)) << len;
    EXPECT_EQ(bytes_of(crypto::sha512(data)), openssl_ref::digest(EVP_sha512(), data)) << len;
  }
}

TEST(OpenSslDifferential, HashesOverRandomInputsAndSplits) {
  std::mt19937_64 rng(1);
  for (int i = 0; i < rounds; ++i) {
    const Bytes data = random_bytes(rng, random_length(rng));
    EXPECT_EQ(bytes_of(crypto::sha1(data)), openssl_ref::digest(EVP_sha1(), data));
    EXPECT_EQ(bytes_of(crypto::sha1(data, crypto::Engine::Portable)), openssl_ref::digest(EVP_sha1(), data));
    const Bytes ref256 = openssl_ref::digest(EVP_sha256(), data);
    EXPECT_EQ(bytes_of(hash_in_pieces(crypto::Sha256(crypto::Engine::Best), rng, data)), ref256);
    EXPECT_EQ(bytes_of(hash_in_pieces(crypto::Sha256(crypto::Engine::Portable), rng, data)), ref256);
    EXPECT_EQ(bytes_of(hash_in_pieces(crypto::Sha512(), rng, data)), openssl_ref::digest(EVP_sha512(), data));
  }
}

TEST(OpenSslDifferential, HmacAndHkdf) {
  std::mt19937_64 rng(2);
  for (int i = 0; i < rounds; ++i) {
    const Bytes key = random_bytes(rng, random_length(rng, 200));
    const Bytes data = random_bytes(rng, random_length(rng));
    EXPECT_EQ(bytes_of(crypto::hmac_sha256(key, data)), openssl_ref::mac("HMAC", key, data)) << key.size();

    const Bytes salt = random_bytes(rng, rng() % 3 == 0 ? 0 : random_length(rng, 100));
    const Bytes info = random_bytes(rng, random_length(rng, 40));
    const std::size_t length = 1 + rng() % 96;
    auto okm = crypto::hkdf(salt, data, info, length);
    ASSERT_TRUE(okm.has_value());
    EXPECT_EQ(*okm, openssl_ref::hkdf_sha256(salt, data, info, length)) << salt.size() << " " << length;
  }
}

TEST(OpenSslDifferential, ChaCha20AndPoly1305) {
  std::mt19937_64 rng(3);
  for (int i = 0; i < rounds; ++i) {
    const Bytes key = random_bytes(rng, 32);
    const Bytes nonce = random_bytes(rng, 12);
    const Bytes data = random_bytes(rng, random_length(rng));
    const Bytes ref = openssl_ref::chacha20(key, 1, nonce, data);
    EXPECT_EQ(*crypto::chacha20_xor(key, nonce, data), ref) << data.size();
    EXPECT_EQ(*crypto::chacha20_xor(key, nonce, data, crypto::Engine::Portable), ref) << data.size();
    const std::uint32_t counter = static_cast<std::uint32_t>(rng());
    EXPECT_EQ(bytes_of(*crypto::chacha20_block(key, counter, nonce)),
              openssl_ref::chacha20(key, counter, nonce, Bytes(64, 0)));
    EXPECT_EQ(bytes_of(*crypto::poly1305_mac(key, data)), openssl_ref::mac("POLY1305", key, data)) << data.size();
  }
  // Accumulator values near 2^130 - 5: all-ones messages and keys whose r is as
  // large as clamping allows.
  for (int i = 0; i < 40; ++i) {
    const Bytes ones(16 * (1 + rng() % 64) + (i % 2) * (rng() % 16), 0xff);
    const Bytes key = i == 0 ? Bytes(32, 0xff) : random_bytes(rng, 32);
    EXPECT_EQ(bytes_of(*crypto::poly1305_mac(key, ones)), openssl_ref::mac("POLY1305", key, ones)) << ones.size();
  }
}

TEST(OpenSslDifferential, ChaCha20Poly1305) {
  std::mt19937_64 rng(4);
  for (int i = 0; i < rounds; ++i) {
    const Bytes key = random_bytes(rng, 32);
    const Bytes nonce = random_bytes(rng, 12);
    const Bytes ad = random_bytes(rng, random_length(rng, 64));
    const Bytes plaintext = random_bytes(rng, random_length(rng));
    const Bytes sealed = *crypto::aead_chacha20_poly1305_encrypt(key, nonce, ad, plaintext);
    ASSERT_EQ(sealed, openssl_ref::aead_seal(key, nonce, ad, plaintext)) << ad.size() << " " << plaintext.size();
    EXPECT_EQ(*crypto::aead_chacha20_poly1305_encrypt(key, nonce, ad, plaintext, crypto::Engine::Portable), sealed);
    for (auto engine : {crypto::Engine::Best, crypto::Engine::Portable}) {
      auto opened = crypto::aead_chacha20_poly1305_decrypt(key, nonce, ad, sealed, engine);
      ASSERT_TRUE(opened.has_value());
      EXPECT_EQ(*opened, plaintext);
    }
    // Every flipped bit of ad, ciphertext or tag fails (a sample of bits per round
    // keeps this quick; the AEAD unit test flips every bit of a small message).
    for (int flip = 0; flip < 8; ++flip) {
      Bytes bad_ad = ad;
      Bytes bad_sealed = sealed;
      const bool in_ad = !ad.empty() && rng() % 4 == 0;
      if (in_ad) {
        bad_ad[rng() % ad.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
      } else {
        bad_sealed[rng() % sealed.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
      }
      auto r = crypto::aead_chacha20_poly1305_decrypt(key, nonce, bad_ad, bad_sealed);
      ASSERT_FALSE(r.has_value());
      EXPECT_TRUE(r.error().is(CryptoError::AuthFailed));
    }
  }
}

// ChaCha20, Poly1305 and the AEAD once per vector level of this CPU, over random
// lengths of 0 to 4,096 bytes (every stride and tail of the 4-, 8- and 16-block code
// and of the 8-block Poly1305 code), from buffers at odd addresses.
class OpenSslDifferentialLevel : public crypto_test::VectorLevel {};
ONDREL_VECTOR_LEVELS(OpenSslDifferentialLevel);

namespace {

// A copy of data starting `offset` bytes into a larger buffer, so that the code under
// test sees an address of any alignment.
struct Misaligned {
  Misaligned(ByteView data, std::size_t offset) : buf(data.size() + offset + 64), at(offset) {
    std::copy(data.begin(), data.end(), buf.begin() + static_cast<std::ptrdiff_t>(offset));
  }
  std::span<std::uint8_t> view(std::size_t n) { return std::span<std::uint8_t>(buf).subspan(at, n); }
  Bytes buf;
  std::size_t at;
};

}  // namespace

TEST_P(OpenSslDifferentialLevel, ChaCha20) {
  std::mt19937_64 rng(31);
  for (int i = 0; i < rounds; ++i) {
    const Bytes key = random_bytes(rng, 32);
    const Bytes nonce = random_bytes(rng, 12);
    const Bytes data = random_bytes(rng, random_length(rng, 4096));
    const std::uint32_t counter = static_cast<std::uint32_t>(rng() % 1000);
    const Bytes ref = openssl_ref::chacha20(key, counter, nonce, data);
    // Input and output at different odd offsets, then in place.
    Misaligned in(data, rng() % 64);
    Misaligned out(Bytes(data.size(), 0), rng() % 64);
    crypto::detail::chacha20_xor_unchecked(key.data(), nonce.data(), counter, in.view(data.size()).data(),
                                           out.view(data.size()).data(), data.size(), isa());
    EXPECT_EQ(bytes_of(out.view(data.size())), ref) << data.size() << " at " << in.at << "/" << out.at;
    crypto::detail::chacha20_xor_unchecked(key.data(), nonce.data(), counter, in.view(data.size()).data(),
                                           in.view(data.size()).data(), data.size(), isa());
    EXPECT_EQ(bytes_of(in.view(data.size())), ref) << data.size() << " in place at " << in.at;
    // Nothing beyond the output is touched.
    EXPECT_TRUE(std::all_of(out.buf.begin() + static_cast<std::ptrdiff_t>(out.at + data.size()), out.buf.end(),
                            [](std::uint8_t b) { return b == 0; }));
    if (counter == 1) {
      EXPECT_EQ(*crypto::chacha20_xor(key, nonce, data, isa()), ref);
    }
  }
}

TEST_P(OpenSslDifferentialLevel, Poly1305) {
  std::mt19937_64 rng(32);
  for (int i = 0; i < rounds; ++i) {
    const Bytes key = random_bytes(rng, 32);
    const Bytes data = random_bytes(rng, random_length(rng, 4096));
    const Bytes ref = openssl_ref::mac("POLY1305", key, data);
    Misaligned in(data, rng() % 64);
    EXPECT_EQ(bytes_of(*crypto::poly1305_mac(key, in.view(data.size()), isa())), ref) << data.size();
    // Fed in up to four pieces cut at random points.
    crypto::Poly1305 mac(key.data(), isa());
    std::size_t cuts[3];
    for (auto& c : cuts) c = data.empty() ? 0 : rng() % (data.size() + 1);
    std::sort(std::begin(cuts), std::end(cuts));
    std::size_t at = 0;
    for (std::size_t c : cuts) {
      mac.update(data.data() + at, c - at);
      at = c;
    }
    mac.update(data.data() + at, data.size() - at);
    EXPECT_EQ(bytes_of(mac.finalize()), ref) << data.size();
  }
  // Accumulators near 2^130 - 5 through the long-input code: all-ones messages
  // and keys whose r is as large as clamping allows.
  for (int i = 0; i < 60; ++i) {
    const Bytes ones(16 * (1 + rng() % 256) + (i % 2) * (rng() % 16), 0xff);
    Bytes key = random_bytes(rng, 32);
    if (i < 20) std::fill(key.begin(), key.begin() + (i == 0 ? 32 : 16), std::uint8_t{0xff});
    EXPECT_EQ(bytes_of(*crypto::poly1305_mac(key, ones, isa())), openssl_ref::mac("POLY1305", key, ones))
        << ones.size();
  }
}

TEST_P(OpenSslDifferentialLevel, ChaCha20Poly1305) {
  std::mt19937_64 rng(33);
  for (int i = 0; i < rounds; ++i) {
    const Bytes key = random_bytes(rng, 32);
    const Bytes nonce = random_bytes(rng, 12);
    const Bytes ad = random_bytes(rng, random_length(rng, 64));
    const Bytes plaintext = random_bytes(rng, random_length(rng, 4096));
    const Bytes ref = openssl_ref::aead_seal(key, nonce, ad, plaintext);
    Misaligned pt(plaintext, rng() % 64);
    Misaligned sealed(Bytes(ref.size(), 0), rng() % 64);
    ASSERT_TRUE(crypto::aead_chacha20_poly1305_encrypt_into(key, nonce, ad, pt.view(plaintext.size()),
                                                            sealed.view(ref.size()), isa()));
    ASSERT_EQ(bytes_of(sealed.view(ref.size())), ref) << ad.size() << " " << plaintext.size();
    EXPECT_EQ(*crypto::aead_chacha20_poly1305_encrypt(key, nonce, ad, plaintext, isa()), ref);
    // Opening OpenSSL's output, from an odd address.
    Misaligned theirs(ref, rng() % 64);
    auto opened = crypto::aead_chacha20_poly1305_decrypt(key, nonce, ad, theirs.view(ref.size()), isa());
    ASSERT_TRUE(opened.has_value()) << plaintext.size();
    EXPECT_EQ(*opened, plaintext);
    // One flipped bit anywhere in the ciphertext or tag fails.
    Bytes bad = ref;
    bad[rng() % bad.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
    auto r = crypto::aead_chacha20_poly1305_decrypt(key, nonce, ad, bad, isa());
    ASSERT_FALSE(r.has_value());
    EXPECT_TRUE(r.error().is(CryptoError::AuthFailed));
  }
}

// Sealing authenticates each group of keystream blocks while computing the next one:
// messages around the group sizes (256 and 512 bytes) and long ones, with associated
// data that needs padding or not, out of place from odd addresses and in place.
TEST_P(OpenSslDifferentialLevel, SealingAroundGroupBoundaries) {
  std::mt19937_64 rng(34);
  const std::size_t lengths[] = {193,  255,  256,  257,  448,  511,  512,  513,  767,   768,         769,
                                 1023, 1024, 1025, 1279, 1536, 4095, 4096, 4097, 16384, 16384 + 255, 65536 + 17};
  for (std::size_t n : lengths) {
    for (std::size_t ad_size : {std::size_t{0}, std::size_t{13}, std::size_t{32}}) {
      const Bytes key = random_bytes(rng, 32);
      const Bytes nonce = random_bytes(rng, 12);
      const Bytes ad = random_bytes(rng, ad_size);
      const Bytes plaintext = random_bytes(rng, n);
      const Bytes ref = openssl_ref::aead_seal(key, nonce, ad, plaintext);
      Misaligned pt(plaintext, 1 + rng() % 63);
      Misaligned sealed(Bytes(ref.size(), 0), 1 + rng() % 63);
      ASSERT_TRUE(
          crypto::aead_chacha20_poly1305_encrypt_into(key, nonce, ad, pt.view(n), sealed.view(ref.size()), isa()));
      EXPECT_EQ(bytes_of(sealed.view(ref.size())), ref) << n << " bytes, ad " << ad_size;
      Bytes in_place(ref.size());
      std::copy(plaintext.begin(), plaintext.end(), in_place.begin());
      ASSERT_TRUE(
          crypto::aead_chacha20_poly1305_encrypt_into(key, nonce, ad, ByteView(in_place.data(), n), in_place, isa()));
      EXPECT_EQ(in_place, ref) << n << " bytes in place, ad " << ad_size;
    }
  }
}

TEST(OpenSslDifferential, Aes256CbcOnBothEngines) {
  std::mt19937_64 rng(5);
  for (int i = 0; i < rounds; ++i) {
    const Bytes key = random_bytes(rng, 32);
    const Bytes iv = random_bytes(rng, 16);
    const Bytes data = random_bytes(rng, random_length(rng, 64) * 16);
    const Bytes ref_enc = openssl_ref::cipher(EVP_aes_256_cbc(), true, key, iv, data);
    const Bytes ref_dec = openssl_ref::cipher(EVP_aes_256_cbc(), false, key, iv, data);
    for (auto engine : {crypto::Engine::Best, crypto::Engine::Portable}) {
      EXPECT_EQ(*crypto::aes256_cbc_encrypt(key, iv, data, engine), ref_enc) << data.size();
      EXPECT_EQ(*crypto::aes256_cbc_decrypt(key, iv, data, engine), ref_dec) << data.size();
    }
    const Bytes block = random_bytes(rng, 16);
    const Bytes ref_block = openssl_ref::cipher(EVP_aes_256_ecb(), true, key, {}, block);
    EXPECT_EQ(bytes_of(*crypto::aes256_encrypt_block(key, block)), ref_block);
    EXPECT_EQ(bytes_of(*crypto::aes256_decrypt_block(key, ref_block, crypto::Engine::Portable)), block);
  }
}

TEST(OpenSslDifferential, SipHash) {
  std::mt19937_64 rng(6);
  for (int i = 0; i < rounds; ++i) {
    const Bytes key = random_bytes(rng, 16);
    const Bytes data = random_bytes(rng, random_length(rng));
    const Bytes ref = openssl_ref::mac("SIPHASH", key, data);
    ASSERT_EQ(ref.size(), 8u);
    EXPECT_EQ(*crypto::siphash_2_4(key, data), crypto::read_u64_le(ref.data())) << data.size();
  }
}
