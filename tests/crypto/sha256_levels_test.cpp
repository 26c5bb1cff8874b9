// SHA-256 on each way of compressing blocks this CPU has (the SHA instructions, the
// AVX2 and SSSE3 vector schedules, plain C++), against the FIPS 180-4 vectors and
// OpenSSL. Ways the CPU lacks are skipped, so every path a CPU can take is checked on it.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "crypto/sha256.h"
#include "tests/crypto/openssl_ref.h"
#include "tests/crypto/test_util.h"

using crypto_test::hex;
using crypto_test::random_bytes;

namespace {

class Sha256Levels : public ::testing::TestWithParam<crypto::Sha256Isa> {
 protected:
  void SetUp() override {
    if (!crypto::sha256_isa_supported(GetParam())) GTEST_SKIP() << "this CPU has no " << crypto::to_string(GetParam());
  }
  static crypto::Sha256Digest hash(ByteView data) {
    crypto::Sha256 h(GetParam());
    h.update(data);
    return h.finalize();
  }
};

std::string level_name(const ::testing::TestParamInfo<crypto::Sha256Isa>& info) {
  return crypto::to_string(info.param);
}

}  // namespace

TEST_P(Sha256Levels, StandardVectors) {
  const struct {
    std::string message;
    std::size_t repeat;
    const char* digest;
  } vectors[] = {
      {"", 1, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", 1, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 1,
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrst"
       "u",
       1, "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {"a", 1000000, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& v : vectors) {
    std::string m;
    for (std::size_t i = 0; i < v.repeat; ++i) m += v.message;
    EXPECT_EQ(hex(hash(as_bytes(m))), v.digest) << m.size() << " bytes";
  }
}

// Every whole-block count from 0 to 9 and the lengths around each padding boundary: the
// vector paths take blocks in pairs, so odd and even counts go different ways.
TEST_P(Sha256Levels, AgreesWithOpenSslAtEveryBlockCount) {
  std::mt19937_64 rng(7);
  for (std::size_t blocks = 0; blocks < 10; ++blocks) {
    for (std::size_t extra : {0u, 1u, 55u, 56u, 63u}) {
      const Bytes data = random_bytes(rng, 64 * blocks + extra);
      const auto digest = hash(data);
      EXPECT_EQ(Bytes(digest.begin(), digest.end()), openssl_ref::digest(EVP_sha256(), data)) << data.size();
    }
  }
}

// Random data fed in random pieces, so the buffered and the direct block calls mix.
TEST_P(Sha256Levels, AgreesWithOpenSslOverRandomPieces) {
  std::mt19937_64 rng(8);
  for (int round = 0; round < 100; ++round) {
    const Bytes data = random_bytes(rng, rng() % 3000);
    crypto::Sha256 h(GetParam());
    for (std::size_t at = 0; at < data.size();) {
      const std::size_t piece = std::min<std::size_t>(rng() % 300, data.size() - at);
      h.update(ByteView(data).subspan(at, piece));
      at += piece;
    }
    const auto digest = h.finalize();
    EXPECT_EQ(Bytes(digest.begin(), digest.end()), openssl_ref::digest(EVP_sha256(), data)) << data.size();
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, Sha256Levels,
                         ::testing::Values(crypto::Sha256Isa::Portable, crypto::Sha256Isa::Ssse3,
                                           crypto::Sha256Isa::Avx2, crypto::Sha256Isa::Sha),
                         level_name);
