// The DHT cool-down list: one (node, info hash) pair at a time, time passed in.
#include "torrent/dht_cooldown.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace router {
namespace {

common::Hash node_of(std::uint8_t b) {
  common::Hash h;
  h.bytes.fill(b);
  return h;
}

TEST(DhtCooldown, SequenceTable) {
  const common::Hash a = node_of(1), b = node_of(2);
  const Bytes ih1(20, 0x11), ih2(20, 0x22);
  struct Step {
    const char* name;
    common::Hash node;
    Bytes info_hash;
    std::uint64_t now;
    bool allowed;
    std::size_t size_after;
  };
  // Cool-down 1,500 ms.
  const std::vector<Step> steps = {
      {"first ask", a, ih1, 10'000, true, 1},
      {"same pair at once", a, ih1, 10'000, false, 1},
      {"same pair 1 ms before the end", a, ih1, 11'499, false, 1},
      {"same node, other torrent", a, ih2, 11'499, true, 2},
      {"other node, same torrent", b, ih1, 11'499, true, 3},
      {"cool-down over: allowed, the stale entry replaced", a, ih1, 11'500, true, 3},
      {"again refused", a, ih1, 12'000, false, 3},
      // At 12,999 the entries of 11,499 have passed; only (a, ih1) of 11,500 lives.
      {"a later ask sweeps the passed entries", b, ih2, 12'999, true, 2},
      {"a 19-byte hash is another torrent", a, Bytes(19, 0x11), 12'999, true, 3},
  };
  std::vector<DhtCooldownEntry> list;
  for (const Step& s : steps) {
    EXPECT_EQ(bt_dht_cooldown_allow(list, s.node, s.info_hash, s.now, 1500), s.allowed) << s.name;
    EXPECT_EQ(list.size(), s.size_after) << s.name;
  }
  EXPECT_EQ(list[0], (DhtCooldownEntry{a, ih1, 11'500}));
  EXPECT_EQ(list[1], (DhtCooldownEntry{b, ih2, 12'999}));
}

TEST(DhtCooldown, HoldsAt512OldestFirstOut) {
  std::vector<DhtCooldownEntry> list;
  const Bytes ih(20, 0x33);
  for (int i = 0; i < 512; ++i) {
    ASSERT_TRUE(bt_dht_cooldown_allow(list, node_of(static_cast<std::uint8_t>(i)),
                                      Bytes(20, static_cast<std::uint8_t>(i >> 8)),
                                      1000 + static_cast<std::uint64_t>(i), 300'000));
  }
  ASSERT_EQ(list.size(), 512u);
  ASSERT_TRUE(bt_dht_cooldown_allow(list, node_of(0xEE), ih, 2000, 300'000));
  ASSERT_EQ(list.size(), 512u);
  // The first (oldest) entry went; the pair it held may be asked again at once.
  EXPECT_EQ(list.front().asked_ms, 1001u);
  EXPECT_EQ(list.back(), (DhtCooldownEntry{node_of(0xEE), ih, 2000}));
  EXPECT_TRUE(bt_dht_cooldown_allow(list, node_of(0), Bytes(20, 0), 2001, 300'000));
  EXPECT_EQ(list.size(), 512u);
  // A pair still held stays refused.
  EXPECT_FALSE(bt_dht_cooldown_allow(list, node_of(5), Bytes(20, 0), 2002, 300'000));
}

}  // namespace
}  // namespace router
