#include <gtest/gtest.h>

#include <string>

#include "crypto/cpu_features.h"
#include "crypto/sha1.h"
#include "crypto/sha256.h"
#include "crypto/sha512.h"
#include "tests/crypto/test_util.h"

using crypto_test::hex;

namespace {

struct Vector {
  std::string message;
  std::size_t repeat;
  const char* digest;
};

const std::string two_block_256 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
const std::string two_block_512 =
    "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu";

const Vector sha256_vectors[] = {
    {"", 1, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", 1, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {two_block_256, 1, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {"a", 1000000, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
};

const Vector sha512_vectors[] = {
    {"", 1,
     "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a"
     "538"
     "327af927da3e"},
    {"abc", 1,
     "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2"
     "a9a"
     "c94fa54ca49f"},
    {two_block_512, 1,
     "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545"
     "e96"
     "e55b874be909"},
    {"a", 1000000,
     "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973ebde0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4"
     "ead"
     "b217ad8cc09b"},
};

std::string expand(const Vector& v) {
  std::string s;
  s.reserve(v.message.size() * v.repeat);
  for (std::size_t i = 0; i < v.repeat; ++i) s += v.message;
  return s;
}

class Sha256Engines : public ::testing::TestWithParam<crypto::Engine> {};

}  // namespace

// The detection agrees with the compiler's own reading of CPUID, so the Best engines below
// really run the instructions on a CPU that has them (and never on one that lacks them).
TEST(CpuFeatures, AgreeWithTheCompilersCpuDetection) {
  __builtin_cpu_init();
  const bool sse = __builtin_cpu_supports("ssse3") && __builtin_cpu_supports("sse4.1");
  EXPECT_EQ(crypto::cpu_features().sha, sse && __builtin_cpu_supports("sha") != 0);
  EXPECT_EQ(crypto::cpu_features().aes, sse && __builtin_cpu_supports("aes") != 0);
  EXPECT_EQ(crypto::cpu_features().avx2, __builtin_cpu_supports("avx2") != 0);
}

TEST_P(Sha256Engines, StandardVectors) {
  for (const auto& v : sha256_vectors) {
    const std::string m = expand(v);
    crypto::Sha256 h(GetParam());
    h.update(as_bytes(m));
    EXPECT_EQ(hex(h.finalize()), v.digest) << m.size() << " bytes";
  }
}

TEST_P(Sha256Engines, PiecesOfAnySizeGiveTheSameDigest) {
  const std::string m = expand({"0123456789abcdefghijklmnopqrstuvwxyz", 10, ""});  // 360 bytes
  const auto whole = crypto::sha256(as_bytes(m));
  for (std::size_t piece : {1u, 3u, 55u, 63u, 64u, 65u, 127u, 200u}) {
    crypto::Sha256 h(GetParam());
    h.update({});
    for (std::size_t i = 0; i < m.size(); i += piece) h.update(as_bytes(m).subspan(i, std::min(piece, m.size() - i)));
    EXPECT_EQ(h.finalize(), whole) << "piece " << piece;
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, Sha256Engines, ::testing::Values(crypto::Engine::Best, crypto::Engine::Portable));

TEST(Sha256, OneShotMatchesHasher) { EXPECT_EQ(hex(crypto::sha256(as_bytes("abc"))), sha256_vectors[1].digest); }

TEST(Sha512, StandardVectors) {
  for (const auto& v : sha512_vectors) {
    const std::string m = expand(v);
    EXPECT_EQ(hex(crypto::sha512(as_bytes(m))), v.digest) << m.size() << " bytes";
  }
}

TEST(Sha512, PiecesOfAnySizeGiveTheSameDigest) {
  const std::string m = expand({"0123456789abcdefghijklmnopqrstuvwxyz", 12, ""});  // 432 bytes
  const auto whole = crypto::sha512(as_bytes(m));
  for (std::size_t piece : {1u, 7u, 111u, 112u, 127u, 128u, 129u, 300u}) {
    crypto::Sha512 h;
    for (std::size_t i = 0; i < m.size(); i += piece) h.update(as_bytes(m).subspan(i, std::min(piece, m.size() - i)));
    EXPECT_EQ(h.finalize(), whole) << "piece " << piece;
  }
}

TEST(Sha1, StandardVectorsOnBothEngines) {
  const Vector vectors[] = {
      {"", 1, "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"abc", 1, "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {two_block_256, 1, "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {"a", 1000000, "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
  };
  for (const auto& v : vectors) {
    const std::string m = expand(v);
    EXPECT_EQ(hex(crypto::sha1(as_bytes(m))), v.digest) << m.size() << " bytes";
    EXPECT_EQ(hex(crypto::sha1(as_bytes(m), crypto::Engine::Portable)), v.digest) << m.size() << " bytes";
  }
}
