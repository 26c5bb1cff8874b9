#include "router/bounded_lists.h"

#include <gtest/gtest.h>

namespace router {
namespace {

common::Hash hash_n(std::uint32_t n) {
  common::Hash h;
  h.bytes[0] = static_cast<std::uint8_t>(n >> 8);
  h.bytes[1] = static_cast<std::uint8_t>(n);
  return h;
}

TEST(PeerBackoffList, FullListDropsItsOldestEntry) {
  std::vector<PeerBackoff> list;
  for (std::uint32_t n = 0; n < 512; ++n) backoff_peer(list, hash_n(n), 1000 + n);
  ASSERT_EQ(list.size(), 512u);
  backoff_peer(list, hash_n(7), 5000);  // known peer: overwritten in place
  EXPECT_EQ(list.size(), 512u);
  EXPECT_EQ(list[7].until_ms, 5000u);
  backoff_peer(list, hash_n(600), 6000);  // the 513th peer pushes out the oldest
  ASSERT_EQ(list.size(), 512u);
  EXPECT_EQ(list.front().peer, hash_n(1));
  EXPECT_EQ(list.back().peer, hash_n(600));
}

TEST(PeerBackoffList, TestingRemovesPassedEntries) {
  std::vector<PeerBackoff> list;
  backoff_peer(list, hash_n(1), 100);
  backoff_peer(list, hash_n(2), 300);
  EXPECT_TRUE(is_backed_off(list, hash_n(1), 99));
  EXPECT_FALSE(is_backed_off(list, hash_n(1), 100));
  EXPECT_EQ(list.size(), 1u);
  EXPECT_TRUE(is_backed_off(list, hash_n(2), 100));
}

TEST(RatchetResetList, ThrottlesPerDestination) {
  std::vector<RatchetReset> list;
  EXPECT_TRUE(try_acquire_reset(list, hash_n(1), 1000, 12000));
  EXPECT_FALSE(try_acquire_reset(list, hash_n(1), 13000, 12000));
  EXPECT_TRUE(try_acquire_reset(list, hash_n(2), 13000, 12000));
  EXPECT_TRUE(try_acquire_reset(list, hash_n(1), 13001, 12000));
  for (std::uint32_t n = 10; n < 300; ++n) try_acquire_reset(list, hash_n(n), 20000, 12000);
  EXPECT_EQ(list.size(), 256u);
  EXPECT_EQ(list.back().destination, hash_n(299));
}

}  // namespace
}  // namespace router
