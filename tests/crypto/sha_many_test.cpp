// Several SHA-256 digests at once (sha256_many) on every vector level this CPU has:
// random lengths 0..4,096 at odd offsets, equal lengths (the tunnel cells' case) and
// lengths that leave lanes to finish alone, each digest against OpenSSL's.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <vector>

#include "crypto/sha256.h"
#include "tests/crypto/openssl_ref.h"
#include "tests/crypto/test_util.h"
#include "tests/crypto/vector_levels.h"

namespace {

using crypto_test::VectorLevel;

class Sha256Many : public VectorLevel {};

// The messages sit at offsets 0..15 of one buffer each, so most are unaligned.
void check(const std::vector<std::size_t>& sizes, std::mt19937_64& rng, crypto::VectorIsa isa) {
  std::vector<Bytes> buffers;
  std::vector<ByteView> messages;
  for (std::size_t size : sizes) {
    const std::size_t offset = static_cast<std::size_t>(rng() % 16);
    buffers.push_back(crypto_test::random_bytes(rng, offset + size));
  }
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    messages.push_back(ByteView(buffers[i]).subspan(buffers[i].size() - sizes[i]));
  }
  std::vector<crypto::Sha256Digest> digests(sizes.size());
  crypto::sha256_many(messages, digests, isa);
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    EXPECT_EQ(Bytes(digests[i].begin(), digests[i].end()), openssl_ref::digest(EVP_sha256(), messages[i]))
        << "message " << i << " of " << sizes.size() << ", " << sizes[i] << " bytes";
  }
}

TEST_P(Sha256Many, RandomLengthsMatchOpenSsl) {
  std::mt19937_64 rng(0x5a256);
  for (std::size_t count : {0u, 1u, 7u, 8u, 15u, 16u, 17u, 24u, 33u}) {
    for (int round = 0; round < 4; ++round) {
      std::vector<std::size_t> sizes;
      for (std::size_t i = 0; i < count; ++i) sizes.push_back(static_cast<std::size_t>(rng() % 4097));
      check(sizes, rng, isa());
    }
  }
}

// Equal lengths around the padding's one-or-two-block edge (55, 56, 64 bytes), tunnel
// cells' checksum inputs (1,019 bytes) and nearly equal ones.
TEST_P(Sha256Many, EqualAndNearlyEqualLengths) {
  std::mt19937_64 rng(0xce11);
  for (std::size_t size : {0u, 1u, 55u, 56u, 63u, 64u, 119u, 120u, 1019u, 4096u}) {
    check(std::vector<std::size_t>(16, size), rng, isa());
    check(std::vector<std::size_t>(17, size), rng, isa());
  }
  std::vector<std::size_t> sizes;
  for (std::size_t i = 0; i < 16; ++i) sizes.push_back(1000 + 8 * i);
  check(sizes, rng, isa());
}

// One long message among short ones: the lanes run while eight still have blocks, the
// long one finishes alone; and lanes that end early among long ones (an empty message
// too) run on idle while the others go on.
TEST_P(Sha256Many, LongAndShortTogether) {
  std::mt19937_64 rng(0x10e6);
  std::vector<std::size_t> sizes(12, 100);
  sizes[5] = 5000;
  check(sizes, rng, isa());
  std::vector<std::size_t> more(10, 3000);
  more[0] = 0;
  more[9] = 70;
  check(more, rng, isa());
}

ONDREL_VECTOR_LEVELS(Sha256Many);

}  // namespace
