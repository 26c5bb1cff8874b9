// Joining fragments: arrival orders, repeats, gaps, the 64-entry bound and the
// separation of tunnels.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <vector>

#include "tests/tunnel/tunnel_test_util.h"
#include "tunnel/reassembler.h"

namespace tunnel {
namespace {

using tunnel_test::gateway;
using tunnel_test::pattern;

const CellSource kInbound{CellSource::Kind::OwnInbound, 4000};
const TunnelDelivery kRouter{TunnelDelivery::Router{gateway()}};

TunnelFragment first(std::uint32_t id, Bytes data, TunnelDelivery d = kRouter) {
  return {TunnelFragment::First{std::move(d), true, id, std::move(data)}};
}
TunnelFragment follow(std::uint32_t id, int number, bool last, Bytes data) {
  return {TunnelFragment::FollowOn{number, last, id, std::move(data)}};
}

// A four-fragment message: first, 1, 2, last 3.
std::array<TunnelFragment, 4> four(std::uint32_t id, unsigned seed) {
  return {first(id, pattern(5, seed)), follow(id, 1, false, pattern(6, seed + 1)),
          follow(id, 2, false, pattern(7, seed + 2)), follow(id, 3, true, pattern(8, seed + 3))};
}

Bytes joined(unsigned seed) {
  Bytes out;
  for (unsigned k = 0; k < 4; ++k) {
    const Bytes p = pattern(5 + k, seed + k);
    out.insert(out.end(), p.begin(), p.end());
  }
  return out;
}

TEST(Reassembler, EveryArrivalOrderCompletesOnTheLastMissingFragment) {
  std::array<int, 4> order = {0, 1, 2, 3};
  int orders = 0;
  do {
    FragmentReassembler r;
    const auto parts = four(77, 10);
    for (std::size_t k = 0; k < 4; ++k) {
      auto done = r.add(kInbound, parts[static_cast<std::size_t>(order[k])]);
      if (k < 3) {
        EXPECT_FALSE(done.has_value()) << "order " << orders << " step " << k;
        EXPECT_EQ(r.pending.size(), 1u);
      } else {
        ASSERT_TRUE(done.has_value()) << "order " << orders;
        EXPECT_EQ(done->message, joined(10));
        EXPECT_EQ(done->delivery, kRouter);
        EXPECT_TRUE(r.pending.empty());
      }
    }
    ++orders;
  } while (std::ranges::next_permutation(order).found);
  EXPECT_EQ(orders, 24);
}

TEST(Reassembler, RepeatsGapsAndUnfragmentedMessages) {
  FragmentReassembler r;
  const auto parts = four(5, 20);
  EXPECT_FALSE(r.add(kInbound, parts[1]));
  // A repeated follow-on with other bytes is ignored: the first copy stays.
  EXPECT_FALSE(r.add(kInbound, follow(5, 1, false, pattern(6, 99))));
  EXPECT_FALSE(r.add(kInbound, parts[0]));
  EXPECT_FALSE(r.add(kInbound, parts[3]));
  // The middle fragment is missing: the message waits, whatever else arrives.
  EXPECT_FALSE(r.try_finish(kInbound, 5).has_value());
  ASSERT_EQ(r.pending.size(), 1u);
  EXPECT_EQ(r.pending[0].last_number, 3);
  EXPECT_EQ(r.pending[0].fragments.size(), 3u);

  // An unfragmented first fragment is a whole message and leaves the list alone.
  auto whole = r.add(kInbound, TunnelFragment{TunnelFragment::First{TunnelDelivery{}, false, 0, pattern(9, 1)}});
  ASSERT_TRUE(whole.has_value());
  EXPECT_EQ(whole->message, pattern(9, 1));
  EXPECT_EQ(whole->delivery, TunnelDelivery{});
  EXPECT_EQ(r.pending.size(), 1u);

  auto done = r.add(kInbound, parts[2]);
  ASSERT_TRUE(done.has_value());
  EXPECT_EQ(done->message, joined(20));
  EXPECT_TRUE(r.pending.empty());
}

TEST(Reassembler, WhatDoesNotComplete) {
  struct Case {
    const char* name;
    std::vector<TunnelFragment> fragments;
  };
  const Case cases[] = {
      {"no first fragment", {follow(1, 1, true, {1})}},
      {"no last fragment", {first(1, {0}), follow(1, 1, false, {1})}},
      // A follow-on numbered 0 takes the first fragment's slot but brings no delivery,
      // and a last number of 0 never completes.
      {"follow-on 0 as the last", {follow(1, 0, true, {0})}},
      {"number beyond the last", {first(1, {0}), follow(1, 5, false, {5}), follow(1, 2, true, {2})}},
  };
  for (const Case& c : cases) {
    FragmentReassembler r;
    for (const TunnelFragment& f : c.fragments) EXPECT_FALSE(r.add(kInbound, f).has_value()) << c.name;
    EXPECT_EQ(r.pending.size(), 1u) << c.name;
    EXPECT_FALSE(r.try_finish(kInbound, 1).has_value()) << c.name;
  }
}

TEST(Reassembler, FollowOnZeroAndFirstFragmentShareASlot) {
  // Whichever of the two arrives first is kept; the first fragment still sets the delivery.
  FragmentReassembler r;
  EXPECT_FALSE(r.add(kInbound, follow(8, 0, false, {0xee})));
  EXPECT_FALSE(r.add(kInbound, first(8, {0x11})));
  auto done = r.add(kInbound, follow(8, 1, true, {0x22}));
  ASSERT_TRUE(done.has_value());
  EXPECT_EQ(done->message, (Bytes{0xee, 0x22}));
  EXPECT_EQ(done->delivery, kRouter);

  // A later first fragment replaces the delivery but not data already held.
  EXPECT_FALSE(r.add(kInbound, first(9, {0x11})));
  EXPECT_FALSE(r.add(kInbound, first(9, {0x33}, TunnelDelivery{})));
  done = r.add(kInbound, follow(9, 1, true, {0x22}));
  ASSERT_TRUE(done.has_value());
  EXPECT_EQ(done->message, (Bytes{0x11, 0x22}));
  EXPECT_EQ(done->delivery, TunnelDelivery{});
}

TEST(Reassembler, SixtyFifthMessagePushesOutTheOldest) {
  FragmentReassembler r;
  for (std::uint32_t id = 1; id <= 64; ++id) EXPECT_FALSE(r.add(kInbound, first(id, {1})));
  EXPECT_EQ(r.pending.size(), 64u);
  EXPECT_EQ(r.pending.front().msg_id, 1u);
  // Finding an existing entry does not reorder or grow the list.
  EXPECT_EQ(&r.find_or_insert(kInbound, 30), &r.pending[29]);
  EXPECT_EQ(r.pending.size(), 64u);

  EXPECT_FALSE(r.add(kInbound, follow(65, 1, true, {2})));
  ASSERT_EQ(r.pending.size(), 64u);
  EXPECT_EQ(r.pending.front().msg_id, 2u);
  EXPECT_EQ(r.pending.back().msg_id, 65u);
  // Message 1's first fragment is gone: its last fragment starts a new entry, which in
  // turn pushes out message 2.
  EXPECT_FALSE(r.add(kInbound, follow(1, 1, true, {2})));
  EXPECT_EQ(r.pending.front().msg_id, 3u);
  EXPECT_EQ(r.pending.back().msg_id, 1u);
  // Message 3 still completes.
  auto done = r.add(kInbound, follow(3, 1, true, {2}));
  ASSERT_TRUE(done.has_value());
  EXPECT_EQ(done->message, (Bytes{1, 2}));
  EXPECT_EQ(r.pending.size(), 63u);
}

TEST(Reassembler, EqualIdsOnTwoTunnelsStayApart) {
  const CellSource own_a{CellSource::Kind::OwnInbound, 10};
  const CellSource own_b{CellSource::Kind::OwnInbound, 11};
  const CellSource transit_a{CellSource::Kind::TransitEndpoint, 10};
  FragmentReassembler r;
  const auto a = four(500, 30);
  const auto b = four(500, 60);
  // Interleaved, same message id, different tunnels: two messages, each whole.
  for (std::size_t k = 0; k < 3; ++k) {
    EXPECT_FALSE(r.add(own_a, a[k]));
    EXPECT_FALSE(r.add(own_b, b[k]));
  }
  EXPECT_EQ(r.pending.size(), 2u);
  auto done_b = r.add(own_b, b[3]);
  ASSERT_TRUE(done_b.has_value());
  EXPECT_EQ(done_b->message, joined(60));
  auto done_a = r.add(own_a, a[3]);
  ASSERT_TRUE(done_a.has_value());
  EXPECT_EQ(done_a->message, joined(30));

  // Another router's outbound tunnel that ends here, with the same number as our inbound
  // tunnel, cannot supply the first fragment (and with it the delivery) of our message.
  EXPECT_FALSE(r.add(own_a, a[1]));
  EXPECT_FALSE(r.add(own_a, a[2]));
  EXPECT_FALSE(r.add(own_a, a[3]));
  const TunnelDelivery forged{TunnelDelivery::Tunnel{1, gateway()}};
  EXPECT_FALSE(r.add(transit_a, first(500, pattern(5, 30), forged)));
  EXPECT_EQ(r.pending.size(), 2u);
  auto real = r.add(own_a, a[0]);
  ASSERT_TRUE(real.has_value());
  EXPECT_EQ(real->delivery, kRouter);
  EXPECT_EQ(real->message, joined(30));
}

TEST(Reassembler, OutOfRangeFollowOnNumbersAreNotStored) {
  FragmentReassembler r;
  EXPECT_FALSE(r.add(kInbound, follow(3, 64, true, {1})));
  EXPECT_FALSE(r.add(kInbound, follow(3, -1, true, {1})));
  EXPECT_TRUE(r.pending.empty());
}

}  // namespace
}  // namespace tunnel
