#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <numeric>
#include <vector>

#include "router/random.h"
#include "tests/crypto/openssl_ref.h"

namespace router {
namespace {

constexpr std::array<std::uint8_t, 32> kKey = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                                               17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
constexpr std::array<std::uint8_t, 12> kZeroNonce{};

// OpenSSL's ChaCha20 key stream under kKey, from block `from` on.
Bytes openssl_stream(std::uint32_t from, std::size_t n) {
  return openssl_ref::chacha20(kKey, from, kZeroNonce, Bytes(n, 0));
}

TEST(FillerRandom, IsTheChaCha20KeyStreamOfItsKeyUntilTheRekey) {
  FillerRandom filler(kKey);
  // Draws of whole blocks follow one another in the stream; a draw that ends inside a block
  // leaves the rest of it unused.
  auto a = filler.bytes(128);
  auto b = filler.bytes(100);
  auto c = filler.bytes(64);
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(*a, openssl_stream(0, 128));
  EXPECT_EQ(*b, openssl_stream(2, 100));
  EXPECT_EQ(*c, openssl_stream(4, 64));
  EXPECT_EQ(filler.rekeys(), 0u);

  // Up to the bound the stream goes on under the same key; the byte after it comes from a
  // new key read from the system.
  const std::size_t rest = FillerRandom::kRekeyBytes - 5 * 64;
  auto d = filler.bytes(rest + 64);
  ASSERT_TRUE(d);
  EXPECT_EQ(filler.rekeys(), 1u);
  const Bytes expected = openssl_stream(5, rest);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), d->begin()));
  const Bytes old_key_next = openssl_stream(0, 64);  // a wrapped counter would repeat this
  const Bytes past_bound(d->begin() + static_cast<std::ptrdiff_t>(rest), d->end());
  EXPECT_NE(past_bound, old_key_next);
  EXPECT_NE(past_bound, Bytes(64, 0));
}

TEST(FillerRandom, UnkeyedTakesAKeyFromTheSystemAndTwoGeneratorsDiffer) {
  FillerRandom one, two;
  auto a = one.bytes(256);
  auto b = two.bytes(256);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(one.rekeys(), 1u);
  EXPECT_NE(*a, *b);
  EXPECT_NE(*a, openssl_stream(0, 256));
  // Not constant: far more than a handful of distinct byte values.
  std::array<bool, 256> seen{};
  for (std::uint8_t x : *a) seen[x] = true;
  EXPECT_GT(std::count(seen.begin(), seen.end(), true), 100);
}

// 1 KiB of the stream holds a zero byte with a probability of 98%; over 64 draws the
// replacement is exercised many times, and its result is what the tunnel cells need.
TEST(FillerRandom, NonZeroBytesReplaceEveryZeroWithOne) {
  FillerRandom filler(kKey);
  std::size_t zeros_replaced = 0;
  for (std::uint32_t draw = 0; draw < 64; ++draw) {
    auto bytes = filler.non_zero_bytes();
    ASSERT_TRUE(bytes);
    ASSERT_EQ(bytes->size(), 1024u);
    const Bytes stream = openssl_stream(draw * 16, 1024);
    for (std::size_t i = 0; i < 1024; ++i) {
      ASSERT_NE((*bytes)[i], 0) << draw << " " << i;
      EXPECT_EQ((*bytes)[i], stream[i] == 0 ? 1 : stream[i]);
      zeros_replaced += stream[i] == 0 ? 1 : 0;
    }
  }
  EXPECT_GT(zeros_replaced, 0u);

  // A shorter draw is the start of the same stream, up to the buffer's size at most.
  FillerRandom again(kKey);
  auto part = again.non_zero_bytes(100);
  ASSERT_TRUE(part);
  ASSERT_EQ(part->size(), 100u);
  const Bytes stream = openssl_stream(0, 100);
  for (std::size_t i = 0; i < 100; ++i) EXPECT_EQ((*part)[i], stream[i] == 0 ? 1 : stream[i]);
  auto none = again.non_zero_bytes(0);
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());
  auto capped = again.non_zero_bytes(5000);
  ASSERT_TRUE(capped);
  EXPECT_EQ(capped->size(), FillerRandom::kNonZeroBytes);
}

// Read-ahead system bytes: one refill per kSize bytes handed out, each byte handed out once
// (no draw repeats what an earlier one gave, across refills too), and none constant.
TEST(SystemRandomPool, RefillsOncePerPoolAndNeverHandsOutTheSameBytesTwice) {
  SystemRandomPool pool;
  EXPECT_EQ(pool.refills(), 0u);
  constexpr std::size_t kDraw = 16;  // a tunnel IV
  constexpr std::size_t kDraws = 2 * SystemRandomPool::kSize / kDraw + 3;
  std::vector<std::array<std::uint8_t, kDraw>> draws(kDraws);
  for (std::size_t i = 0; i < kDraws; ++i) {
    ASSERT_TRUE(pool.take(draws[i]));
    EXPECT_EQ(pool.refills(), i * kDraw / SystemRandomPool::kSize + 1) << i;
  }
  std::ranges::sort(draws);
  EXPECT_EQ(std::ranges::adjacent_find(draws), draws.end());
  std::array<bool, 256> seen{};
  for (const auto& d : draws) {
    for (std::uint8_t x : d) seen[x] = true;
  }
  EXPECT_EQ(std::count(seen.begin(), seen.end(), true), 256);

  // A draw longer than what is left, or than a whole pool, spans refills.
  SystemRandomPool other;
  Bytes big(SystemRandomPool::kSize + 100);
  ASSERT_TRUE(other.take(big));
  EXPECT_EQ(other.refills(), 2u);
  EXPECT_NE(Bytes(big.begin(), big.begin() + 100), Bytes(big.end() - 100, big.end()));
}

}  // namespace
}  // namespace router
