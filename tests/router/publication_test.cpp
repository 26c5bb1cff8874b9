// The publication of a session's LeaseSet2 on one router of a test network, looking at the
// stores it queues for the floodfills: each asks for a confirmation of its own and the way
// back, a DeliveryStatus confirms only its store, lost stores go to the next closest
// floodfills a bounded number of times, public mode waits for both kinds of tunnel, and
// every timer ends the loop's wait at the instant its step acts.
#include <gtest/gtest.h>

#include <set>

#include "router/poll_set.h"
#include "router/publication.h"
#include "tests/router/dispatch_test_util.h"
#include "tests/router/lookups_test_util.h"
#include "tests/support/test_network.h"

namespace router {
namespace {

using lookups_test::by_distance;
using lookups_test::inbound_tunnel;
using lookups_test::network;
using lookups_test::new_session;
using lookups_test::P;
using lookups_test::queued_of;
using lookups_test::random_hash;
using ntcp2_net::Now;
using ntcp2_net::read_now;
using test_support::TestNetwork;

// The stores of the destination's LeaseSet2 the router queued for the floodfill.
std::vector<P::DatabaseStore> stores_to(const Router& r, const common::Hash& floodfill, const common::Hash& key) {
  std::vector<P::DatabaseStore> out;
  for (const P::DatabaseStore& store : queued_of<P::DatabaseStore>(r, floodfill)) {
    if (store.key == key) out.push_back(store);
  }
  return out;
}

std::vector<common::Hash> hashes_of(const TestNetwork& net, std::initializer_list<std::size_t> routers) {
  std::vector<common::Hash> out;
  for (std::size_t i : routers) out.push_back(net.hash(i));
  return out;
}

std::vector<common::Hash> first(const std::vector<common::Hash>& list, std::size_t n) {
  return {list.begin(), list.begin() + static_cast<std::ptrdiff_t>(std::min(n, list.size()))};
}

TEST(Publication, EachStoreAsksForAConfirmationOfItsOwnByTheWayBack) {
  struct Case {
    const char* name;
    bool inbound_tunnel;  // through router 5, receiving on 4321
  };
  const Case cases[] = {
      {"no inbound tunnel: straight back to the router", false},
      {"an inbound tunnel: back through its gateway", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestNetwork net = network(6, {1, 2, 3, 4});
    Router& r = net[0];
    const Now now = read_now();
    if (c.inbound_tunnel) r.tunnels.inbound.push_back(inbound_tunnel(net.hash(5), 4321, now.wall_s() + 600));
    r.sessions.push_back(new_session(r, "s"));
    SamSession& s = r.sessions.back();
    r.publish_session_leaseset2(s, now);

    const std::vector<common::Hash> closest = by_distance(s.dest_hash, now.wall_s(), hashes_of(net, {1, 2, 3, 4}));
    const LeaseSetPublication& publication = s.publication;
    EXPECT_FALSE(publication.waiting_for_tunnels);
    EXPECT_EQ(publication.tried, first(closest, 3));
    ASSERT_EQ(publication.stores.size(), 3u);
    ASSERT_NE(s.last_lease_set, nullptr);
    std::set<std::uint32_t> tokens;
    for (std::size_t i = 0; i < 3; ++i) {
      const PendingStore& pending = publication.stores[i];
      EXPECT_EQ(pending.floodfill, closest[i]);
      EXPECT_EQ(pending.sent_ms, now.mono_ms);
      const std::vector<P::DatabaseStore> sent = stores_to(r, closest[i], s.dest_hash);
      ASSERT_EQ(sent.size(), 1u) << i;
      EXPECT_NE(sent[0].reply_token, 0u);
      EXPECT_EQ(sent[0].reply_token, pending.token);
      EXPECT_EQ(sent[0].reply_gateway, c.inbound_tunnel ? net.hash(5) : r.router_hash());
      EXPECT_EQ(sent[0].reply_tunnel_id, c.inbound_tunnel ? 4321u : 0u);
      EXPECT_EQ(sent[0].data, s.last_lease_set->to_bytes().value());
      tokens.insert(pending.token);
    }
    EXPECT_EQ(tokens.size(), 3u);  // one token per store
    EXPECT_TRUE(stores_to(r, closest[3], s.dest_hash).empty());
  }
}

TEST(Publication, ADeliveryStatusConfirmsTheStoreOfItsTokenWhereItWasAskedFor) {
  struct Case {
    const char* name;
    bool public_mode;
    MessageOrigin origin;
    bool own_token;
    bool confirms;
  };
  const Case cases[] = {
      {"over a link outside public mode", false, MessageOrigin::Direct, true, true},
      {"out of an own inbound tunnel", false, MessageOrigin::OwnInbound, true, true},
      {"a token no store has", false, MessageOrigin::Direct, false, false},
      {"in public mode out of an own inbound tunnel", true, MessageOrigin::OwnInbound, true, true},
      {"in public mode over a link, where it was never asked for", true, MessageOrigin::Direct, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestNetwork net = network(6, {1, 2, 3, 4}, c.public_mode);
    Router& r = net[0];
    if (c.public_mode) {
      ASSERT_TRUE(net.install_tunnel(0, {5}, /*outbound=*/false));
      ASSERT_TRUE(net.install_tunnel(0, {5}, /*outbound=*/true));
    }
    r.sessions.push_back(new_session(r, "s"));
    const Now now = read_now();
    r.publish_session_leaseset2(r.sessions.back(), now);
    const LeaseSetPublication& publication = r.sessions.back().publication;
    ASSERT_EQ(publication.stores.size(), 3u);
    const PendingStore second = publication.stores[1];
    std::uint32_t token = second.token;
    if (!c.own_token) {
      const auto taken = [&](std::uint32_t t) {
        return std::ranges::any_of(publication.stores, [&](const PendingStore& p) { return p.token == t; });
      };
      for (token = 1; taken(token);) ++token;
    }

    const P status{P::DeliveryStatus{token, now.wall_ms}};
    const bool direct = c.origin == MessageOrigin::Direct;
    const Arrival arrival{direct ? std::optional(net.hash(5)) : std::nullopt, c.origin, direct ? 0 : 1};
    r.dispatch_i2np_message(arrival, dispatch_test::header_of(status), status, now);

    if (c.confirms) {
      EXPECT_EQ(publication.confirmed, std::vector<common::Hash>{second.floodfill});
      ASSERT_EQ(publication.stores.size(), 2u);
      EXPECT_NE(publication.stores[0].token, token);
      EXPECT_NE(publication.stores[1].token, token);
    } else {
      EXPECT_TRUE(publication.confirmed.empty());
      EXPECT_EQ(publication.stores.size(), 3u);
    }
  }
}

TEST(Publication, LostStoresGoToTheNextClosestFloodfillsAFewTimesThenThePublicationRests) {
  TestNetwork net = network(8, {1, 2, 3, 4, 5, 6, 7});
  Router& r = net[0];
  r.sessions.push_back(new_session(r, "confirmed once"));
  r.sessions.push_back(new_session(r, "never confirmed"));
  const Now t0 = read_now();
  r.republish_all_sessions(t0);
  std::vector<std::vector<common::Hash>> closest;
  for (const SamSession& s : r.sessions) {
    closest.push_back(by_distance(s.dest_hash, t0.wall_s(), hashes_of(net, {1, 2, 3, 4, 5, 6, 7})));
  }
  SamSession& once = r.sessions[0];
  SamSession& never = r.sessions[1];
  ASSERT_TRUE(confirm_lease_set_store(r, once.publication.stores.at(1).token));

  // A millisecond before the limit nothing is lost.
  step_publications(r, t0.after(kStoreConfirmMs - 1));
  EXPECT_EQ(once.publication.stores.size(), 2u);
  EXPECT_EQ(never.publication.stores.size(), 3u);
  EXPECT_TRUE(stores_to(r, closest[0][3], once.dest_hash).empty());

  // Each step takes the stores lost by then; each lost store goes to the next floodfill,
  // three times per publication at most.
  struct Round {
    std::size_t once_tried, once_pending, never_tried, never_pending;
  };
  const Round rounds[] = {
      {5, 2, 6, 3},  // 2 and 3 lost: all sent again
      {6, 1, 6, 0},  // 2 and 3 lost: one resend left for the first, none for the second
      {6, 0, 6, 0},  // 1 lost: none left
  };
  for (std::size_t k = 0; k < std::size(rounds); ++k) {
    SCOPED_TRACE(k);
    const Now at = t0.after(kStoreConfirmMs * (k + 1));
    step_publications(r, at);
    EXPECT_EQ(once.publication.tried, first(closest[0], rounds[k].once_tried));
    EXPECT_EQ(never.publication.tried, first(closest[1], rounds[k].never_tried));
    ASSERT_EQ(once.publication.stores.size(), rounds[k].once_pending);
    ASSERT_EQ(never.publication.stores.size(), rounds[k].never_pending);
    for (const SamSession* s : {&once, &never}) {
      EXPECT_LE(s->publication.resends, kMaxStoreResends);
      for (const PendingStore& p : s->publication.stores) {
        EXPECT_EQ(p.sent_ms, at.mono_ms);
        const std::vector<P::DatabaseStore> sent = stores_to(r, p.floodfill, s->dest_hash);
        ASSERT_EQ(sent.size(), 1u);  // each floodfill is sent to once
        EXPECT_EQ(sent[0].reply_token, p.token);
      }
    }
  }
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_TRUE(stores_to(r, closest[i][6], r.sessions[i].dest_hash).empty()) << i;
  }
  EXPECT_EQ(once.publication.confirmed, std::vector<common::Hash>{closest[0][1]});
  // Resting: no store keeps a timer; only the republication dates are left.
  const Now rest = t0.after(3 * kStoreConfirmMs);
  EXPECT_EQ(next_publications_wake_ms(r, rest),
            std::min(once.publication.republish_ms, never.publication.republish_ms));
  EXPECT_GT(next_publications_wake_ms(r, rest), rest.mono_ms + 60'000);

  // A new outbound tunnel: the publication that no floodfill confirmed goes out anew, the
  // other stands.
  publish_unconfirmed_sessions(r, rest);
  EXPECT_EQ(once.publication.tried.size(), 6u);
  EXPECT_EQ(never.publication.tried, first(closest[1], 3));
  EXPECT_EQ(never.publication.stores.size(), 3u);
  EXPECT_EQ(never.publication.resends, 0u);
}

TEST(Publication, InPublicModeItWaitsForBothKindsOfTunnelAndGoesWithTheFirstOutboundOne) {
  constexpr std::size_t kHop = 4;
  TestNetwork net = network(5, {1, 2, 3}, /*public_mode=*/true);
  Router& r = net[0];
  r.sessions.push_back(new_session(r, "early"));
  SamSession& s = r.sessions.back();
  const Now now = read_now();

  r.publish_session_leaseset2(s, now);  // as the session is created, before any tunnel
  EXPECT_TRUE(s.publication.waiting_for_tunnels);
  EXPECT_EQ(s.last_lease_set, nullptr);
  EXPECT_TRUE(r.pending_sends.empty());

  ASSERT_TRUE(net.install_tunnel(0, {kHop}, /*outbound=*/false));
  r.republish_all_sessions(now);  // the event of the first inbound tunnel
  EXPECT_TRUE(s.publication.waiting_for_tunnels);
  EXPECT_TRUE(r.pending_sends.empty());

  ASSERT_TRUE(net.install_tunnel(0, {kHop}, /*outbound=*/true));
  publish_unconfirmed_sessions(r, now);  // the event of the first outbound tunnel
  EXPECT_FALSE(s.publication.waiting_for_tunnels);
  EXPECT_EQ(s.publication.stores.size(), 3u);
  // All of it went into the outbound tunnel: to its hop, none to a floodfill.
  ASSERT_FALSE(r.pending_sends.empty());
  for (const PendingPeerSend& send : r.pending_sends) {
    EXPECT_EQ(send.peer, net.hash(kHop));
    EXPECT_TRUE(std::holds_alternative<P::TunnelData>(send.payload.value));
  }

  // Stores lost when no outbound tunnel is left: the publication waits again, and goes out
  // anew with the next outbound tunnel.
  r.tunnels.outbound.clear();
  const std::size_t sent_before = r.pending_sends.size();
  step_publications(r, now.after(kStoreConfirmMs));
  EXPECT_TRUE(s.publication.waiting_for_tunnels);
  EXPECT_TRUE(s.publication.stores.empty());
  EXPECT_EQ(r.pending_sends.size(), sent_before);
  EXPECT_EQ(next_publications_wake_ms(r, now.after(kStoreConfirmMs)), kNoWakeDeadline);
  ASSERT_TRUE(net.install_tunnel(0, {kHop}, /*outbound=*/true));
  publish_unconfirmed_sessions(r, now.after(kStoreConfirmMs));
  EXPECT_FALSE(s.publication.waiting_for_tunnels);
  EXPECT_EQ(s.publication.stores.size(), 3u);
}

// Each timer of the publications ends the loop's wait at the very instant the publication
// step acts on it: a step a millisecond earlier leaves it as it is, a step at that instant
// acts, and the wait after that step is not due at once. The wall clock is not on a whole
// second, so that lease end dates fall between the monotonic milliseconds.
TEST(Publication, EachTimerEndsTheLoopsWaitAtTheInstantItsStepActs) {
  const Now now{.mono_ms = 5'000'000, .wall_ms = 1'700'000'000'400};
  const std::uint32_t now_s = now.wall_s();
  struct Case {
    const char* name;
    bool floodfills;
    std::optional<std::uint32_t> tunnel_end_s;  // of one inbound tunnel
    std::uint64_t want;                         // ms after now
    bool store_resent;                          // else a new LeaseSet2 is built and published
    std::uint32_t next_lease_end_s;             // of the LeaseSet2 built then, 0: not looked at
  };
  const Case cases[] = {
      {"a minute before the end of the lease naming the router itself", false, std::nullopt, 539'600, false,
       now_s + 540 + 600},
      {"a minute before an inbound tunnel's end", false, now_s + 100, 39'600, false, now_s + 100},
      {"at an inbound tunnel's end, less than a minute ahead", false, now_s + 30, 29'600, false,
       now_s + 30 + 600},  // the tunnel is gone: the lease naming the router comes back
      {"a store's confirmation limit", true, std::nullopt, kStoreConfirmMs, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestNetwork net = c.floodfills ? network(5, {1, 2, 3, 4}) : network(1);
    Router& r = net[0];
    if (c.tunnel_end_s) r.tunnels.inbound.push_back(inbound_tunnel(random_hash(), 77, *c.tunnel_end_s));
    r.sessions.push_back(new_session(r, "s"));
    SamSession& s = r.sessions.back();
    r.publish_session_leaseset2(s, now);
    const common::LeaseSet2* built = s.last_lease_set.get();
    ASSERT_NE(built, nullptr);
    const auto acted = [&] { return c.store_resent ? s.publication.resends == 1 : s.last_lease_set.get() != built; };

    EXPECT_EQ(next_publications_wake_ms(r, now), now.mono_ms + c.want);
    const Now due = now.after(c.want);
    step_publications(r, Now{due.mono_ms - 1, due.wall_ms - 1});
    EXPECT_FALSE(acted()) << "acted a millisecond early";
    step_publications(r, due);
    EXPECT_TRUE(acted()) << "did not act when due";
    EXPECT_GT(next_publications_wake_ms(r, due), due.mono_ms) << "still due after acting";
    if (c.next_lease_end_s != 0) {
      ASSERT_EQ(s.last_lease_set->leases.size(), 1u);
      EXPECT_EQ(s.last_lease_set->leases[0].end_date, c.next_lease_end_s);
    }
  }
}

}  // namespace
}  // namespace router
