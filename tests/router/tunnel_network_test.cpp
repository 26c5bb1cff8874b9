// Messages across own tunnels between three routers of the test network, the tunnels
// installed by hand as finished builds would leave them: A's outbound tunnel through B to
// the endpoint C, and A's inbound tunnel from the gateway C through B to A. A links only to
// B; everything between A and C crosses the tunnels.
#include <gtest/gtest.h>

#include "router/router.h"
#include "tests/router/dispatch_test_util.h"
#include "tests/support/test_network.h"

namespace router {
namespace {

using dispatch_test::clove;
using dispatch_test::count_of;
using dispatch_test::garlic_probe;
using dispatch_test::probe_line;
using dispatch_test::run_logged;
using dispatch_test::store_of;
using dispatch_test::TestDestination;
using ntcp2_net::read_now;
using test_support::TestNetwork;
using P = i2np::I2npPayload;

constexpr std::size_t A = 0, B = 1, C = 2;

struct ThreeRouters {
  TestNetwork net;
  std::uint32_t outbound = 0;    // A's id of its outbound tunnel [B, C]
  std::uint32_t gateway_id = 0;  // where C receives for A's inbound tunnel [C, B]
  std::vector<std::string> logs;

  static ThreeRouters create() {
    ThreeRouters t;
    auto net = TestNetwork::create({.routers = 3, .debug = true});
    EXPECT_TRUE(net) << (net ? "" : to_string(net.error()));
    t.net = std::move(*net);
    auto out = t.net.install_tunnel(A, {B, C}, /*outbound=*/true);
    auto in = t.net.install_tunnel(A, {C, B}, /*outbound=*/false);
    EXPECT_TRUE(out && in);
    t.outbound = out.value_or(0);
    t.gateway_id = t.net[A].tunnels.inbound.at(0).hops.at(0).receive_tunnel_id;
    t.logs.resize(3);
    return t;
  }

  bool run(const std::function<bool()>& condition) { return run_logged(net, logs, condition); }
  bool printed_once(std::size_t router, const std::string& line) {
    return run([&] { return count_of(logs[router], line) >= 1; }) && count_of(logs[router], line) == 1;
  }
  bool a_and_c_unlinked() { return !net[A].has_connected_peer(net.hash(C)) && !net[C].has_connected_peer(net.hash(A)); }
};

TEST(TunnelNetwork, MessagesOfEverySizeCrossOwnTunnels) {
  ThreeRouters t = ThreeRouters::create();
  Router& a = t.net[A];
  Router& c = t.net[C];
  const tunnel::TunnelDelivery to_b{tunnel::TunnelDelivery::Router{t.net.hash(B)}};
  const tunnel::TunnelDelivery into_a{tunnel::TunnelDelivery::Tunnel{t.gateway_id, t.net.hash(C)}};
  for (std::size_t size : {1u, 1000u, 60000u}) {
    // Out of A's tunnel at C, which sends it to B.
    const P to_router = garlic_probe(size);
    ASSERT_TRUE(a.send_through_tunnel(t.outbound, to_b, to_router, std::nullopt, read_now()));
    EXPECT_TRUE(t.printed_once(B, probe_line(to_router))) << size << "\n" << t.logs[B];

    // Out of A's tunnel at C, which is also the gateway of A's inbound tunnel.
    const P round_trip = garlic_probe(size);
    ASSERT_TRUE(a.send_through_tunnel(t.outbound, into_a, round_trip, std::nullopt, read_now()));
    EXPECT_TRUE(t.printed_once(A, probe_line(round_trip))) << size << "\n" << t.logs[A];

    // From C, which has no outbound tunnel, into A's inbound tunnel at its gateway: C.
    const P from_c = garlic_probe(size);
    c.send_routed_i2np(t.net.hash(C), t.gateway_id, from_c, read_now());
    EXPECT_TRUE(t.printed_once(A, probe_line(from_c))) << size << "\n" << t.logs[A];
  }
  EXPECT_TRUE(t.a_and_c_unlinked());
  EXPECT_TRUE(a.reassembler.pending.empty());
  EXPECT_TRUE(c.reassembler.pending.empty());
}

// A burst sent before any router steps: the hops take many cells from one frame and
// layer them together, ending cells are read at C in the same groups. Every message comes
// out once, whole, in the order sent, through both of C's ways out (to B, into A's inbound
// tunnel), whose cells are mixed in the same frames.
TEST(TunnelNetwork, BurstsArriveWholeAndInOrder) {
  ThreeRouters t = ThreeRouters::create();
  Router& a = t.net[A];
  const tunnel::TunnelDelivery to_b{tunnel::TunnelDelivery::Router{t.net.hash(B)}};
  const tunnel::TunnelDelivery into_a{tunnel::TunnelDelivery::Tunnel{t.gateway_id, t.net.hash(C)}};
  std::vector<P> to_b_probes, to_a_probes;
  for (std::size_t i = 0; i < 24; ++i) {
    const std::size_t size = (i % 3 == 0) ? 20 : (i % 3 == 1) ? 900 : 5000;
    to_b_probes.push_back(garlic_probe(size));
    ASSERT_TRUE(a.send_through_tunnel(t.outbound, to_b, to_b_probes.back(), std::nullopt, read_now()));
    to_a_probes.push_back(garlic_probe(size + 7));
    ASSERT_TRUE(a.send_through_tunnel(t.outbound, into_a, to_a_probes.back(), std::nullopt, read_now()));
  }
  const auto all_once = [&](std::size_t router, const std::vector<P>& probes) {
    for (const P& p : probes) {
      if (count_of(t.logs[router], probe_line(p)) != 1) return false;
    }
    return true;
  };
  ASSERT_TRUE(t.run([&] { return all_once(B, to_b_probes) && all_once(A, to_a_probes); })) << t.logs[B] << t.logs[A];
  for (const auto& [router, probes] : {std::pair{B, &to_b_probes}, std::pair{A, &to_a_probes}}) {
    std::size_t last = 0;
    for (std::size_t i = 0; i < probes->size(); ++i) {
      const std::size_t at = t.logs[router].find(probe_line((*probes)[i]));
      EXPECT_TRUE(i == 0 || at > last) << "router " << router << " probe " << i;
      last = at;
    }
  }
  EXPECT_TRUE(a.reassembler.pending.empty());
  EXPECT_TRUE(t.net[C].reassembler.pending.empty());
}

TEST(TunnelNetwork, GarlicRoundTripBetweenDestinationsOnTwoRouters) {
  ThreeRouters t = ThreeRouters::create();
  Router& a = t.net[A];
  Router& c = t.net[C];
  const std::uint32_t now_s = static_cast<std::uint32_t>(read_now().wall_s());
  const TestDestination alice = TestDestination::create(), carol = TestDestination::create();
  a.sessions.push_back(alice.session("alice"));
  c.sessions.push_back(carol.session("carol"));
  ratchet::RatchetSessionManager& alice_garlic = *a.sessions[0].ratchet;
  ratchet::RatchetSessionManager& carol_garlic = *c.sessions[0].ratchet;
  // Alice's lease leads into A's inbound tunnel at C; carol's names C itself, which has
  // no inbound tunnel.
  const common::LeaseSet2 alice_ls = alice.lease_set(t.net.hash(C), t.gateway_id, now_s);
  const std::uint32_t carol_tunnel = 31337;
  const common::LeaseSet2 carol_ls = carol.lease_set(t.net.hash(C), carol_tunnel, now_s);
  ASSERT_TRUE(a.netdb.store_lease_set2(carol_ls, now_s));
  const P data{P::Data{Bytes(300, 0x44)}};
  const ratchet::CloveDelivery to_carol = ratchet::CloveDelivery::Destination{carol.hash()};
  const ratchet::CloveDelivery to_alice = ratchet::CloveDelivery::Destination{alice.hash()};

  // NewSession: out through A's outbound tunnel to carol's lease, alice's LeaseSet2 along.
  auto new_session =
      alice_garlic.encrypt_to_peer(carol.encryption.public_key, {clove(store_of(alice_ls)), clove(data, to_carol)},
                                   now_s, dispatch_test::router_random());
  ASSERT_TRUE(new_session);
  a.send_routed_i2np(t.net.hash(C), carol_tunnel, P{P::Garlic{*new_session}}, read_now());
  ASSERT_TRUE(t.run([&] { return c.netdb.get_lease_set2(alice.hash(), now_s) != nullptr; })) << t.logs[C];
  EXPECT_EQ(count_of(t.logs[C], "[debug] Garlic decrypted for session carol (3 blocks)\n"), 1u) << t.logs[C];

  // NewSessionReply: from C, which has no outbound tunnel, to alice's lease, carol's
  // LeaseSet2 along. A forgot it meanwhile, so it is the clove that brings it back.
  a.netdb.remove_lease_set2(carol.hash());
  auto reply = carol_garlic.encrypt_to_peer(alice.encryption.public_key, {clove(store_of(carol_ls))}, now_s,
                                            dispatch_test::router_random());
  ASSERT_TRUE(reply);
  ASSERT_TRUE(carol_garlic.inbound_pending.empty());  // the NewSession it answered
  c.send_routed_i2np(t.net.hash(C), t.gateway_id, P{P::Garlic{*reply}}, read_now());
  ASSERT_TRUE(t.run([&] { return a.netdb.get_lease_set2(carol.hash(), now_s) != nullptr; })) << t.logs[A];
  const std::string alice_opened = "[debug] Garlic decrypted for session alice (1 blocks)\n";
  EXPECT_EQ(count_of(t.logs[A], alice_opened), 1u) << t.logs[A];

  // ExistingSession both ways.
  auto existing = alice_garlic.encrypt_to_peer(carol.encryption.public_key, {clove(data, to_carol)}, now_s,
                                               dispatch_test::router_random());
  ASSERT_TRUE(existing);
  ASSERT_EQ(alice_garlic.sessions.size(), 1u);
  EXPECT_TRUE(alice_garlic.sessions[0].es_sent);
  a.send_routed_i2np(t.net.hash(C), carol_tunnel, P{P::Garlic{*existing}}, read_now());
  ASSERT_TRUE(t.run([&] {
    return count_of(t.logs[C], "[debug] Garlic decrypted for session carol (1 blocks)\n") == 1;
  })) << t.logs[C];

  auto answer = carol_garlic.encrypt_to_peer(alice.encryption.public_key, {clove(data, to_alice)}, now_s,
                                             dispatch_test::router_random());
  ASSERT_TRUE(answer);
  ASSERT_EQ(carol_garlic.sessions.size(), 1u);
  EXPECT_TRUE(carol_garlic.sessions[0].es_sent);
  c.send_routed_i2np(t.net.hash(C), t.gateway_id, P{P::Garlic{*answer}}, read_now());
  ASSERT_TRUE(t.run([&] { return count_of(t.logs[A], alice_opened) == 2; })) << t.logs[A];

  EXPECT_TRUE(t.a_and_c_unlinked());
  EXPECT_EQ(count_of(t.logs[A] + t.logs[C], "unhandled incoming Garlic"), 0u);
}

}  // namespace
}  // namespace router
