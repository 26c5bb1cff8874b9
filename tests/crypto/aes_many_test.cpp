// Several CBC encryptions done together (aes256_cbc_encrypt_many): random keys, IVs and
// lengths 0..4,096 bytes at odd offsets, against OpenSSL one job at a time, on each engine
// and on a mix of both; and the refusals, which write nothing.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <vector>

#include "crypto/aes.h"
#include "tests/crypto/openssl_ref.h"
#include "tests/crypto/test_util.h"

namespace {

struct Job {
  Bytes key;
  Bytes iv;
  Bytes plain;
  std::size_t offset = 0;                    // of the data in its buffer, so most jobs are unaligned
  Bytes buffer;                              // offset bytes, the data, then a guard
  std::array<std::uint8_t, 17> iv_buffer{};  // the IV at byte 1, unaligned too
};

// count jobs of 0..max_blocks blocks; every third one reuses the previous job's key.
std::vector<Job> random_jobs(std::mt19937_64& rng, std::size_t count, std::size_t max_blocks) {
  std::vector<Job> jobs(count);
  for (std::size_t i = 0; i < count; ++i) {
    Job& j = jobs[i];
    j.key = (i % 3 == 2) ? jobs[i - 1].key : crypto_test::random_bytes(rng, 32);
    j.iv = crypto_test::random_bytes(rng, 16);
    j.plain = crypto_test::random_bytes(rng, 16 * static_cast<std::size_t>(rng() % (max_blocks + 1)));
    j.offset = static_cast<std::size_t>(rng() % 16);
    j.buffer = crypto_test::random_bytes(rng, j.offset + j.plain.size() + 16);
    std::copy(j.plain.begin(), j.plain.end(), j.buffer.begin() + static_cast<std::ptrdiff_t>(j.offset));
    std::copy(j.iv.begin(), j.iv.end(), j.iv_buffer.begin() + 1);
  }
  return jobs;
}

// Runs the jobs, key i on engines[i % engines.size()], and checks each against OpenSSL:
// the ciphertext in place, the bytes around it untouched, the IV left as the last
// ciphertext block.
void check_jobs(std::vector<Job>& jobs, const std::vector<crypto::Engine>& engines) {
  std::vector<crypto::Aes256EncryptKey> keys;
  keys.reserve(jobs.size());
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    auto k = crypto::aes256_encrypt_key(jobs[i].key, engines[i % engines.size()]);
    ASSERT_TRUE(k.has_value());
    keys.push_back(*k);
  }
  std::vector<Bytes> before;
  std::vector<crypto::CbcEncryptJob> spec;
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    Job& j = jobs[i];
    before.push_back(j.buffer);
    spec.push_back(
        {&keys[i], std::span(j.iv_buffer).subspan(1, 16), std::span(j.buffer).subspan(j.offset, j.plain.size())});
  }
  ASSERT_TRUE(crypto::aes256_cbc_encrypt_many(spec).has_value());
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    SCOPED_TRACE(testing::Message() << "job " << i << " of " << jobs.size() << ", " << jobs[i].plain.size()
                                    << " bytes");
    const Job& j = jobs[i];
    const Bytes expected = openssl_ref::cipher(EVP_aes_256_cbc(), true, j.key, j.iv, j.plain);
    Bytes whole = before[i];
    std::copy(expected.begin(), expected.end(), whole.begin() + static_cast<std::ptrdiff_t>(j.offset));
    EXPECT_EQ(j.buffer, whole);
    const Bytes last = expected.empty() ? j.iv : Bytes(expected.end() - 16, expected.end());
    EXPECT_EQ(Bytes(j.iv_buffer.begin() + 1, j.iv_buffer.end()), last);
  }
}

class AesManyEngines : public ::testing::TestWithParam<crypto::Engine> {};

// Job counts around the eight lanes, lengths up to 4,096 bytes.
TEST_P(AesManyEngines, MatchesOpenSslOneJobAtATime) {
  std::mt19937_64 rng(0xcbc5);
  for (std::size_t count : {0u, 1u, 2u, 3u, 7u, 8u, 9u, 16u, 17u, 25u}) {
    for (int round = 0; round < 3; ++round) {
      auto jobs = random_jobs(rng, count, 256);
      check_jobs(jobs, {GetParam()});
    }
  }
}

// Cell-sized jobs of one length (the tunnel relay's case) and single blocks (its IV steps).
TEST_P(AesManyEngines, EqualLengths) {
  std::mt19937_64 rng(0x1008);
  for (std::size_t blocks : {1u, 63u}) {
    for (std::size_t count : {1u, 5u, 8u, 13u}) {
      auto jobs = random_jobs(rng, count, 0);
      for (Job& j : jobs) {
        j.plain = crypto_test::random_bytes(rng, 16 * blocks);
        j.buffer = crypto_test::random_bytes(rng, j.offset + j.plain.size() + 16);
        std::copy(j.plain.begin(), j.plain.end(), j.buffer.begin() + static_cast<std::ptrdiff_t>(j.offset));
      }
      check_jobs(jobs, {GetParam()});
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, AesManyEngines, ::testing::Values(crypto::Engine::Best, crypto::Engine::Portable));

// Hardware and portable keys in one call: runs of hardware keys are cut by portable ones.
TEST(AesMany, MixedEngines) {
  std::mt19937_64 rng(0x313ed);
  for (int round = 0; round < 5; ++round) {
    auto jobs = random_jobs(rng, 19, 80);
    check_jobs(jobs, {crypto::Engine::Best, crypto::Engine::Best, crypto::Engine::Best, crypto::Engine::Portable});
  }
}

// Single blocks decrypted side by side, each under its own key, on each engine and on a
// mix: OpenSSL's ECB decryption of each block.
TEST(AesMany, DecryptBlocksMatchOpenSsl) {
  std::mt19937_64 rng(0xdec);
  const std::vector<std::vector<crypto::Engine>> mixes = {
      {crypto::Engine::Best}, {crypto::Engine::Portable}, {crypto::Engine::Best, crypto::Engine::Portable}};
  for (const auto& engines : mixes) {
    for (std::size_t count : {0u, 1u, 5u, 8u, 9u, 17u}) {
      std::vector<Bytes> key_bytes, plain;
      std::vector<crypto::Aes256DecryptKey> keys;
      Bytes buffer = crypto_test::random_bytes(rng, 16 * count + 3);  // blocks at offset 3
      for (std::size_t i = 0; i < count; ++i) {
        key_bytes.push_back(crypto_test::random_bytes(rng, 32));
        auto k = crypto::aes256_decrypt_key(key_bytes.back(), engines[i % engines.size()]);
        ASSERT_TRUE(k.has_value());
        keys.push_back(*k);
        plain.push_back(Bytes(buffer.begin() + static_cast<std::ptrdiff_t>(3 + 16 * i),
                              buffer.begin() + static_cast<std::ptrdiff_t>(3 + 16 * i + 16)));
      }
      std::vector<const crypto::Aes256DecryptKey*> key_ptrs;
      std::vector<std::uint8_t*> blocks;
      for (std::size_t i = 0; i < count; ++i) {
        key_ptrs.push_back(&keys[i]);
        blocks.push_back(buffer.data() + 3 + 16 * i);
      }
      crypto::aes256_decrypt_blocks(key_ptrs, blocks);
      for (std::size_t i = 0; i < count; ++i) {
        EXPECT_EQ(Bytes(blocks[i], blocks[i] + 16),
                  openssl_ref::cipher(EVP_aes_256_ecb(), false, key_bytes[i], {}, plain[i]))
            << "block " << i << " of " << count;
      }
    }
  }
}

TEST(AesMany, RefusalsWriteNothing) {
  std::mt19937_64 rng(0xbad);
  const auto key = crypto::aes256_encrypt_key(crypto_test::random_bytes(rng, 32));
  ASSERT_TRUE(key.has_value());
  Bytes good = crypto_test::random_bytes(rng, 64), bad = crypto_test::random_bytes(rng, 40);
  std::array<std::uint8_t, 16> iv{};
  std::array<std::uint8_t, 15> short_iv{};
  const Bytes good_before = good;
  struct Case {
    crypto::CbcEncryptJob second;
    CryptoError error;
  };
  const Case cases[] = {
      {{&*key, iv, bad}, CryptoError::InvalidLength},
      {{&*key, short_iv, good}, CryptoError::InvalidNonce},
      {{nullptr, iv, good}, CryptoError::InvalidKey},
  };
  for (const Case& c : cases) {
    const crypto::CbcEncryptJob jobs[] = {{&*key, iv, good}, c.second};
    auto r = crypto::aes256_cbc_encrypt_many(jobs);
    ASSERT_FALSE(r.has_value());
    EXPECT_TRUE(r.error().is(c.error)) << to_string(r.error());
    EXPECT_EQ(good, good_before);
    EXPECT_EQ(iv, (std::array<std::uint8_t, 16>{}));
  }
}

}  // namespace
