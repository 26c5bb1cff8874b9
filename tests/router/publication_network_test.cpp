// The publication of a session's LeaseSet2 across a test network in public mode: a session
// made before the router has any tunnel reaches the floodfills as soon as its first
// outbound tunnel is built (after the first inbound one) and is found there by another
// router; a store whose confirmation the network loses goes again to another floodfill,
// which confirms it through an own inbound tunnel.
#include <gtest/gtest.h>

#include <iostream>

#include "router/publication.h"
#include "tests/router/lookups_test_util.h"
#include "tests/support/test_network.h"

namespace router {
namespace {

using lookups_test::by_distance;
using lookups_test::new_session;
using ntcp2_net::Now;
using ntcp2_net::read_now;
using test_support::TestNetwork;

// What the routers do here in each pass: links (which carry tunnels and answer lookups and
// stores), their own lookups and publications.
void publication_step(Router& r, const Now& now) {
  r.step_ntcp2_peers(now);
  r.step_pending_lookups(now);
  step_publications(r, now);
}

TestNetwork public_network(std::size_t routers, std::vector<std::size_t> floodfills) {
  auto created = TestNetwork::create({.routers = routers, .public_mode = true, .floodfills = std::move(floodfills)});
  EXPECT_TRUE(created) << (created ? "" : to_string(created.error()));
  return std::move(*created);
}

bool holds(const Router& r, const common::Hash& destination, const Now& now) {
  return r.netdb.get_lease_set2(destination, now.wall_s()) != nullptr;
}

TEST(PublicationNetwork, ASessionMadeBeforeAnyTunnelIsFoundThroughAFloodfillSoonAfterTheFirstOutboundTunnel) {
  constexpr std::size_t kHost = 0, kAsker = 1, kHop = 2;
  const std::vector<std::size_t> floodfills = {3, 4, 5};
  TestNetwork net = public_network(6, floodfills);
  Router& host = net[kHost];
  Router& asker = net[kAsker];
  ASSERT_TRUE(net.install_tunnel(kAsker, {kHop}, /*outbound=*/false));
  ASSERT_TRUE(net.install_tunnel(kAsker, {kHop}, /*outbound=*/true));
  host.sessions.push_back(new_session(host, "early"));
  const SamSession& session = host.sessions.back();
  host.publish_session_leaseset2(host.sessions.back(), read_now());  // as the session is created
  const auto at_a_floodfill = [&](const Now& now) {
    return std::ranges::any_of(floodfills, [&](std::size_t f) { return holds(net[f], session.dest_hash, now); });
  };

  // The first inbound tunnel comes first: the LeaseSet2 still cannot go out.
  ASSERT_TRUE(host.build_tunnel({net.hash(kHop)}, /*outbound=*/false, std::nullopt, std::nullopt, read_now()));
  ASSERT_TRUE(net.run_until([&] { return !host.tunnels.inbound.empty(); }, 10000, publication_step));
  EXPECT_TRUE(host.tunnels.outbound.empty());
  EXPECT_TRUE(session.publication.waiting_for_tunnels);

  // Then the first outbound tunnel, whose build replies through the inbound one.
  std::uint64_t built_ms = 0;
  ASSERT_TRUE(
      host.build_tunnel({net.hash(kHop)}, /*outbound=*/true, host.tunnels.inbound.front(), std::nullopt, read_now()));
  ASSERT_TRUE(net.run_until([&] { return built_ms != 0; }, 10000,
                            [&](Router& r, const Now& now) {
                              publication_step(r, now);
                              if (&r == &host && !host.tunnels.outbound.empty()) built_ms = now.mono_ms;
                            }));
  EXPECT_FALSE(session.publication.waiting_for_tunnels);

  // The other router looks the destination up through its own tunnels at once.
  ASSERT_TRUE(asker.start_polled_lease_set_lookup(session.dest_hash, read_now()));
  std::uint64_t stored_ms = 0;
  std::uint64_t found_ms = 0;
  ASSERT_TRUE(net.run_until([&] { return found_ms != 0; }, 10000,
                            [&](Router& r, const Now& now) {
                              publication_step(r, now);
                              if (stored_ms == 0 && at_a_floodfill(now)) stored_ms = now.mono_ms;
                              if (found_ms == 0 && holds(asker, session.dest_hash, now)) found_ms = now.mono_ms;
                            }));
  EXPECT_LT(found_ms - built_ms, 10'000u);
  EXPECT_EQ(*asker.netdb.get_lease_set2(session.dest_hash, read_now().wall_s()), *session.last_lease_set);
  RecordProperty("first_outbound_to_floodfill_ms", std::to_string(stored_ms - built_ms));
  RecordProperty("first_outbound_to_found_ms", std::to_string(found_ms - built_ms));
  std::cout << "[ measured ] first outbound tunnel -> LeaseSet2 held by a floodfill: " << stored_ms - built_ms
            << " ms; found by another router's lookup: " << found_ms - built_ms << " ms\n";

  // Each of the three floodfills confirmed its store through the host's inbound tunnel.
  ASSERT_TRUE(net.run_until([&] { return session.publication.confirmed.size() == 3; }, 10000, publication_step));
  EXPECT_TRUE(session.publication.stores.empty());
  EXPECT_EQ(session.publication.resends, 0u);
}

TEST(PublicationNetwork, AStoreWhoseConfirmationIsLostGoesAgainToAnotherFloodfill) {
  constexpr std::size_t kHost = 0, kHop = 1, kOtherHop = 2;
  const std::vector<std::size_t> floodfills = {3, 4, 5, 6};
  TestNetwork net = public_network(7, floodfills);
  Router& host = net[kHost];
  ASSERT_TRUE(net.install_tunnel(kHost, {kHop}, /*outbound=*/false));
  ASSERT_TRUE(net.install_tunnel(kHost, {kHop}, /*outbound=*/true));
  host.sessions.push_back(new_session(host, "s"));
  const SamSession& session = host.sessions.back();
  // The hop loses the host's inbound tunnel: what comes for it there, the floodfills'
  // confirmations among it, goes no further.
  ASSERT_TRUE(net.break_tunnel_at(kHop, host.tunnels.inbound.front().hops.front().receive_tunnel_id));

  const Now t0 = read_now();
  host.publish_session_leaseset2(host.sessions.back(), t0);
  std::vector<common::Hash> floodfill_hashes;
  for (std::size_t f : floodfills) floodfill_hashes.push_back(net.hash(f));
  const std::vector<common::Hash> closest = by_distance(session.dest_hash, t0.wall_s(), floodfill_hashes);
  const auto router_of = [&](const common::Hash& h) -> Router& {
    for (std::size_t f : floodfills) {
      if (net.hash(f) == h) return net[f];
    }
    return host;
  };
  const auto held_by = [&](std::size_t k) { return holds(router_of(closest[k]), session.dest_hash, read_now()); };
  ASSERT_TRUE(net.run_until([&] { return held_by(0) && held_by(1) && held_by(2); }, 10000, publication_step));
  EXPECT_FALSE(held_by(3));
  EXPECT_EQ(session.publication.stores.size(), 3u);

  // A second inbound tunnel, through another hop, for the confirmations from now on.
  ASSERT_TRUE(net.install_tunnel(kHost, {kOtherHop}, /*outbound=*/false));
  // Ten seconds on, the three stores count as lost; only the fourth floodfill is left.
  step_publications(host, t0.after(kStoreConfirmMs));
  EXPECT_EQ(session.publication.tried, closest);
  EXPECT_EQ(session.publication.resends, 1u);
  ASSERT_EQ(session.publication.stores.size(), 1u);
  EXPECT_EQ(session.publication.stores[0].floodfill, closest[3]);

  ASSERT_TRUE(net.run_until([&] { return !session.publication.confirmed.empty(); }, 10000, publication_step));
  EXPECT_TRUE(held_by(3));
  EXPECT_EQ(session.publication.confirmed, std::vector<common::Hash>{closest[3]});
  EXPECT_TRUE(session.publication.stores.empty());
}

}  // namespace
}  // namespace router
