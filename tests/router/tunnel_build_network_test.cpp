// Tunnels built over real NTCP2 links of the test network, stepped in turn: A builds one-
// and two-hop tunnels of both kinds through B and C, and messages then cross them. Then
// three routers in public mode build their tunnels by the policy alone.
#include <gtest/gtest.h>

#include <sstream>

#include "router/router.h"
#include "tests/router/dispatch_test_util.h"
#include "tests/support/test_network.h"

namespace router {
namespace {

using dispatch_test::count_of;
using dispatch_test::garlic_probe;
using dispatch_test::probe_line;
using dispatch_test::run_logged;
using ntcp2_net::read_now;
using test_support::TestNetwork;
using P = i2np::I2npPayload;

constexpr std::size_t A = 0, B = 1, C = 2;

bool serves(Router& r, const tunnel::TunnelHop& hop) {
  return std::ranges::any_of(r.tunnels.transit, [&](const tunnel::TransitHop& h) {
    return h.receive_tunnel_id == hop.receive_tunnel_id && h.layer_key == hop.layer_key && h.iv_key == hop.iv_key;
  });
}

std::optional<tunnel::Tunnel> find_tunnel(const std::vector<tunnel::Tunnel>& list, std::uint32_t id) {
  for (const tunnel::Tunnel& t : list) {
    if (t.tunnel_id == id) return t;
  }
  return std::nullopt;
}

TEST(TunnelBuildNetwork, BuiltTunnelsCarryMessagesBothWays) {
  auto created = TestNetwork::create({.routers = 3, .debug = true});
  ASSERT_TRUE(created) << to_string(created.error());
  TestNetwork net = std::move(*created);
  Router& a = net[A];
  std::vector<std::string> logs;

  // Builds one tunnel and steps the network until A has it.
  auto build = [&](std::vector<std::size_t> hops, bool outbound,
                   const std::optional<tunnel::Tunnel>& reply) -> std::optional<tunnel::Tunnel> {
    std::vector<common::Hash> hashes;
    for (std::size_t h : hops) hashes.push_back(net.hash(h));
    auto id = a.build_tunnel(hashes, outbound, reply, std::nullopt, read_now());
    EXPECT_TRUE(id) << to_string(id.error());
    if (!id) return std::nullopt;
    const auto& list = outbound ? a.tunnels.outbound : a.tunnels.inbound;
    const bool built = run_logged(
        net, logs, [&] { return find_tunnel(list, *id).has_value(); }, 20000);
    EXPECT_TRUE(built) << logs[A];
    auto t = find_tunnel(list, *id);
    if (!t) return std::nullopt;
    for (std::size_t i = 0; i < hops.size(); ++i) EXPECT_TRUE(serves(net[hops[i]], t->hops[i])) << i;
    return t;
  };

  const auto in_one = build({B}, false, std::nullopt);
  const auto in_two = build({C, B}, false, std::nullopt);
  ASSERT_TRUE(in_one && in_two);
  // The endpoint B replies in garlic through the inbound tunnel at its gateway C; the
  // endpoint C of the second is that gateway itself.
  const auto out_one = build({B}, true, in_two);
  const auto out_two = build({B, C}, true, in_two);
  const auto out_direct = build({C}, true, std::nullopt);
  ASSERT_TRUE(out_one && out_two && out_direct);
  EXPECT_TRUE(a.pending_builds.empty());

  // Messages out of each outbound tunnel to B, and round trips into each inbound tunnel.
  const std::vector<std::uint32_t> inbound_gateways = {in_one->hops[0].receive_tunnel_id,
                                                       in_two->hops[0].receive_tunnel_id};
  const std::vector<common::Hash> inbound_gateway_routers = {net.hash(B), net.hash(C)};
  const std::vector<std::pair<tunnel::Tunnel, std::size_t>> sends = {
      {*out_one, 1}, {*out_two, 1000}, {*out_direct, 60000}};
  for (const auto& [out, size] : sends) {
    const P to_b = garlic_probe(size);
    ASSERT_TRUE(a.send_through_tunnel(out.tunnel_id, {tunnel::TunnelDelivery::Router{net.hash(B)}}, to_b, std::nullopt,
                                      read_now()));
    EXPECT_TRUE(run_logged(net, logs, [&] { return count_of(logs[B], probe_line(to_b)) == 1; })) << logs[B];
    for (std::size_t k = 0; k < inbound_gateways.size(); ++k) {
      const P round_trip = garlic_probe(size);
      const tunnel::TunnelDelivery into_a{
          tunnel::TunnelDelivery::Tunnel{inbound_gateways[k], inbound_gateway_routers[k]}};
      ASSERT_TRUE(a.send_through_tunnel(out.tunnel_id, into_a, round_trip, std::nullopt, read_now()));
      EXPECT_TRUE(run_logged(net, logs, [&] { return count_of(logs[A], probe_line(round_trip)) == 1; })) << logs[A];
    }
  }
  // From C, which has no tunnel, into A's two-hop inbound tunnel.
  const P from_c = garlic_probe(2500);
  net[C].send_routed_i2np(net.hash(C), inbound_gateways[1], from_c, read_now());
  EXPECT_TRUE(run_logged(net, logs, [&] { return count_of(logs[A], probe_line(from_c)) == 1; })) << logs[A];
}

TEST(TunnelBuildNetwork, PublicModePolicyBuildsBothKinds) {
  auto created = TestNetwork::create({.routers = 3, .public_mode = true});
  ASSERT_TRUE(created) << to_string(created.error());
  TestNetwork net = std::move(*created);
  auto all_built = [&] {
    for (std::size_t i = 0; i < net.size(); ++i) {
      if (net[i].tunnels.inbound.empty() || net[i].tunnels.outbound.empty()) return false;
    }
    return true;
  };
  // The maintenance runs every 1,500 ms: dials, then an inbound build, then an outbound one.
  ASSERT_TRUE(net.run_until(all_built, 60000));
  for (std::size_t i = 0; i < net.size(); ++i) {
    Router& r = net[i];
    for (const auto* list : {&r.tunnels.inbound, &r.tunnels.outbound}) {
      for (const tunnel::Tunnel& t : *list) {
        ASSERT_EQ(t.hops.size(), 1u);  // --hops 1
        EXPECT_NE(t.hops[0].router, r.router_hash());
        bool served = false;
        for (std::size_t j = 0; j < net.size(); ++j) {
          if (net.hash(j) == t.hops[0].router) served = serves(net[j], t.hops[0]);
        }
        EXPECT_TRUE(served) << i;
      }
    }
    EXPECT_LE(r.tunnels.inbound.size() + r.pending_builds.size(), 4u);
  }
}

TEST(TunnelBuildNetwork, PublicModeWithTwoHopsBuildsTwoHopTunnelsOnceBothKindsExist) {
  // Six routers: a two-hop inbound tunnel needs a gateway other than the last hops of the
  // inbound tunnels, its own last hop and the endpoint of the outbound tunnel it is sent
  // through.
  auto created = TestNetwork::create({.routers = 6, .public_mode = true});
  ASSERT_TRUE(created) << to_string(created.error());
  TestNetwork net = std::move(*created);
  for (std::size_t i = 0; i < net.size(); ++i) net[i].tunnel_hops = 2;
  auto has_two_hop = [](const std::vector<tunnel::Tunnel>& list) {
    return std::ranges::any_of(list, [](const tunnel::Tunnel& t) { return t.hops.size() == 2; });
  };
  auto all_built = [&] {
    for (std::size_t i = 0; i < net.size(); ++i) {
      if (!has_two_hop(net[i].tunnels.inbound) || !has_two_hop(net[i].tunnels.outbound)) return false;
    }
    return true;
  };
  // Each router's tunnels by hop count, for the failure message.
  auto shape = [&] {
    std::ostringstream out;
    for (std::size_t i = 0; i < net.size(); ++i) {
      out << "router " << i << ": in";
      for (const tunnel::Tunnel& t : net[i].tunnels.inbound) out << ' ' << t.hops.size();
      out << ", out";
      for (const tunnel::Tunnel& t : net[i].tunnels.outbound) out << ' ' << t.hops.size();
      out << ", pending " << net[i].pending_builds.size() << '\n';
    }
    return out.str();
  };
  ASSERT_TRUE(net.run_until(all_built, 90000)) << shape();
  for (std::size_t i = 0; i < net.size(); ++i) {
    Router& r = net[i];
    // Outbound tunnels always have two hops; inbound ones one (built before an outbound
    // tunnel existed) or two; never a hop twice, never the router itself.
    for (const tunnel::Tunnel& t : r.tunnels.outbound) EXPECT_EQ(t.hops.size(), 2u) << i;
    for (const auto* list : {&r.tunnels.inbound, &r.tunnels.outbound}) {
      for (const tunnel::Tunnel& t : *list) {
        EXPECT_LE(t.hops.size(), 2u);
        if (t.hops.size() == 2) {
          EXPECT_NE(t.hops[0].router, t.hops[1].router);
        }
        for (const tunnel::TunnelHop& hop : t.hops) EXPECT_NE(hop.router, r.router_hash());
      }
    }
    const auto pending_inbound =
        std::ranges::count_if(r.pending_builds, [](const PendingTunnelBuild& b) { return !b.outbound; });
    EXPECT_LE(r.tunnels.inbound.size() + static_cast<std::size_t>(pending_inbound), 4u);
  }
}

}  // namespace
}  // namespace router
