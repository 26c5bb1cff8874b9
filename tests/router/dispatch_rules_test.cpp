// What each way in may carry, how deep messages may nest, and the refusals that keep
// anonymous input from acting as the router: one router of the test network, messages
// handed to it directly, nothing stepped.
#include <gtest/gtest.h>

#include "router/router.h"
#include "tests/router/dispatch_test_util.h"
#include "tests/router/peers_test_util.h"
#include "tests/support/test_network.h"

namespace router {
namespace {

using dispatch_test::contains;
using dispatch_test::debug_network;
using dispatch_test::dispatch_captured;
using dispatch_test::garlic_probe;
using dispatch_test::header_of;
using dispatch_test::in_endpoint_cell;
using dispatch_test::in_router_garlic;
using dispatch_test::in_tunnel_gateway;
using dispatch_test::probe_line;
using dispatch_test::standard_message;
using ntcp2_net::read_now;
using peers_test::database_store_of;
using peers_test::hash_of;
using peers_test::reference_router_info;
using test_support::TestNetwork;
using P = i2np::I2npPayload;

TEST(DispatchOrigins, EachWayInTakesOnlyWhatItIsFor) {
  TestNetwork net = debug_network(2);
  Router& r = net[0];
  const common::Hash other = net.hash(1);
  // r serves a hop of router 1's inbound tunnel: a TunnelData for it would be sent on.
  auto transit = net.install_tunnel(1, {0}, /*outbound=*/false);
  ASSERT_TRUE(transit);
  const std::uint32_t hop_id = r.tunnels.transit.at(0).receive_tunnel_id;

  const common::RouterInfo info = reference_router_info("ff-127.0.0.2.dat");
  P acked_store = database_store_of(info, 77);
  std::get<P::DatabaseStore>(acked_store.value).reply_gateway = other;
  P::DatabaseLookup lookup_body;
  lookup_body.key = hash_of(info);
  lookup_body.from = other;
  P::DatabaseSearchReply search_body;
  search_body.key = hash_of(info);
  search_body.from = other;

  struct Kind {
    const char* name;
    P payload;
    bool stores;  // reaching its handler stores the RouterInfo
    bool sends;   // reaching its handler queues a message to router 1
  };
  const std::vector<Kind> kinds = {
      {"DatabaseStore with reply token", acked_store, true, true},
      {"DatabaseLookup", P{lookup_body}, false, true},  // answered with a search reply
      {"DatabaseSearchReply", P{search_body}, false, false},
      {"DeliveryStatus", P{P::DeliveryStatus{1, 2}}, false, false},
      {"Garlic", garlic_probe(40), false, false},
      {"TunnelData for a transit hop", P{P::TunnelData{hop_id, Bytes(1024, 7)}}, false, true},
      {"TunnelGateway for no hop", in_tunnel_gateway(database_store_of(info)), true, false},
      {"Data", P{P::Data{Bytes(12, 1)}}, false, false},
      {"ShortTunnelBuild", P{P::ShortTunnelBuild{std::vector<Bytes>(4, Bytes(218, 3))}}, false, false},
      {"OutboundTunnelBuildReply", P{P::OutboundTunnelBuildReply{std::vector<Bytes>(4, Bytes(218, 3))}}, false, false},
      {"unknown type", P{P::Unknown{i2np::I2npMessageType::from_byte(42), Bytes(3, 3)}}, false, false},
  };
  struct Way {
    MessageOrigin origin;
    std::vector<std::string> accepted;
  };
  const std::vector<Way> ways = {
      {MessageOrigin::Direct,
       {"DatabaseStore with reply token", "DatabaseLookup", "DatabaseSearchReply", "DeliveryStatus", "Garlic",
        "TunnelData for a transit hop", "TunnelGateway for no hop", "Data", "ShortTunnelBuild",
        "OutboundTunnelBuildReply", "unknown type"}},
      {MessageOrigin::OwnInbound,
       {"DatabaseStore with reply token", "DatabaseSearchReply", "DeliveryStatus", "Garlic",
        "OutboundTunnelBuildReply"}},
      {MessageOrigin::SessionGarlic, {"DeliveryStatus", "Data"}},  // a RouterInfo store is refused
      {MessageOrigin::LookupReply, {"DatabaseStore with reply token", "DatabaseSearchReply"}},
  };

  for (const Way& way : ways) {
    const Arrival arrival{way.origin == MessageOrigin::Direct ? std::optional(other) : std::nullopt, way.origin,
                          way.origin == MessageOrigin::Direct ? 0 : 1};
    for (const Kind& kind : kinds) {
      const std::string label = std::string(origin_name(way.origin)) + ": " + kind.name;
      r.netdb.remove_router_info(hash_of(info));
      r.pending_sends.clear();
      r.pending_dials.clear();
      const bool accepted = std::find(way.accepted.begin(), way.accepted.end(), kind.name) != way.accepted.end();
      const std::string out = dispatch_captured(r, arrival, kind.payload);
      const std::string refusal = "[debug] I2NP message type=" + std::to_string(kind.payload.msg_type().byte()) +
                                  " from " + std::string(origin_name(way.origin)) + " dropped\n";
      if (!accepted) {
        EXPECT_EQ(out, refusal) << label;
        EXPECT_EQ(r.netdb.get_router_info(hash_of(info)), nullptr) << label;
        EXPECT_TRUE(r.pending_sends.empty()) << label;
        EXPECT_TRUE(r.pending_dials.empty()) << label;
        continue;
      }
      EXPECT_FALSE(contains(out, " dropped")) << label << ": " << out;
      EXPECT_EQ(r.netdb.get_router_info(hash_of(info)) != nullptr, kind.stores) << label;
      // A store is acknowledged only when it was addressed to this router.
      const bool sends = kind.sends && (kind.payload.msg_type().byte() != 1 || way.origin == MessageOrigin::Direct);
      EXPECT_EQ(r.pending_sends.size(), sends ? 1u : 0u) << label;
      if (sends) {
        EXPECT_EQ(r.pending_sends[0].peer, other) << label;
      }
    }
  }
}

TEST(DispatchOrigins, SessionGarlicTakesALeaseSet2Store) {
  TestNetwork net = debug_network(1);
  Router& r = net[0];
  const auto dest = dispatch_test::TestDestination::create();
  const std::uint32_t now_s = static_cast<std::uint32_t>(read_now().wall_s());
  const P store = dispatch_test::store_of(dest.lease_set(net.hash(0), 5, now_s), 66);
  const std::string out = dispatch_captured(r, {std::nullopt, MessageOrigin::SessionGarlic, 1}, store);
  EXPECT_NE(r.netdb.get_lease_set2(dest.hash(), now_s), nullptr);
  EXPECT_TRUE(contains(out, " stored=true ")) << out;
  EXPECT_TRUE(r.pending_sends.empty());
}

TEST(DispatchStore, AStoredRouterInfoEndsItsBackgroundLookupsAndAFloodfillBecomesACandidate) {
  TestNetwork net = debug_network(1);
  Router& r = net[0];
  const common::RouterInfo floodfill = reference_router_info("ff-127.0.0.2.dat");
  const common::RouterInfo plain = reference_router_info("plain-127.0.0.3.dat");
  const common::Hash other_key = net.hash(0);
  auto lookup = [](const common::Hash& key, LookupKind type, std::uint32_t purpose) {
    PendingNetDbLookup l;
    l.key = key;
    l.lookup_type = type;
    l.purpose = purpose;
    return l;
  };
  for (const common::RouterInfo* info : {&floodfill, &plain}) {
    const common::Hash key = hash_of(*info);
    r.pending_lookups = {
        lookup(key, LookupKind::RouterInfo, kLookupInBackground),  // ends
        lookup(other_key, LookupKind::RouterInfo, kLookupInBackground),
        lookup(key, LookupKind::RouterInfo, 0),      // not a background lookup
        lookup(other_key, LookupKind::LeaseSet, 0),  // gains a floodfill candidate
        lookup(other_key, LookupKind::LeaseSet, 3),
        lookup(other_key, LookupKind::LeaseSet, 1),
    };
    r.pending_lookups[4].queried = {key};     // asked it already
    r.pending_lookups[5].candidates = {key};  // has it already
    const P store = database_store_of(*info);
    r.handle_i2np_message(std::nullopt, header_of(store), store, read_now());

    const bool is_floodfill = info == &floodfill;
    ASSERT_EQ(r.pending_lookups.size(), 5u);
    EXPECT_EQ(r.pending_lookups[0].key, other_key);
    EXPECT_EQ(r.pending_lookups[1].purpose, 0u);
    EXPECT_EQ(r.pending_lookups[2].candidates, is_floodfill ? std::vector{key} : std::vector<common::Hash>{});
    EXPECT_TRUE(r.pending_lookups[3].candidates.empty());
    EXPECT_EQ(r.pending_lookups[4].candidates, std::vector{key});
    EXPECT_TRUE(r.pending_lookups[0].candidates.empty() && r.pending_lookups[1].candidates.empty());
  }
}

// Wraps the message once in each way, innermost first.
enum class Wrap { TunnelGateway, RouterGarlic, EndpointCell };

TEST(DispatchNesting, ThreeLevelsAreHandledAndTheFourthIsDropped) {
  TestNetwork net = debug_network(2);
  Router& r = net[0];
  // r is the outbound endpoint of router 1's one-hop tunnel, so it reads that tunnel's cells.
  ASSERT_TRUE(net.install_tunnel(1, {0}, /*outbound=*/true));
  const tunnel::TransitHop endpoint = r.tunnels.transit.at(0);
  const common::RouterInfo info = reference_router_info("ff-127.0.0.2.dat");

  struct Case {
    const char* name;
    std::vector<Wrap> wraps;
  };
  const std::vector<Case> cases = {
      {"three TunnelGateways", {Wrap::TunnelGateway, Wrap::TunnelGateway, Wrap::TunnelGateway}},
      {"four TunnelGateways", {Wrap::TunnelGateway, Wrap::TunnelGateway, Wrap::TunnelGateway, Wrap::TunnelGateway}},
      {"three router garlics", {Wrap::RouterGarlic, Wrap::RouterGarlic, Wrap::RouterGarlic}},
      {"four router garlics", {Wrap::RouterGarlic, Wrap::RouterGarlic, Wrap::RouterGarlic, Wrap::RouterGarlic}},
      {"cell, garlic, TunnelGateway", {Wrap::EndpointCell, Wrap::RouterGarlic, Wrap::TunnelGateway}},
      {"cell, garlic, TunnelGateway, garlic",
       {Wrap::EndpointCell, Wrap::RouterGarlic, Wrap::TunnelGateway, Wrap::RouterGarlic}},
  };
  for (const Case& c : cases) {
    r.netdb.remove_router_info(hash_of(info));
    P message = database_store_of(info);
    for (Wrap w : c.wraps) {
      switch (w) {
        case Wrap::TunnelGateway: message = in_tunnel_gateway(message); break;
        case Wrap::RouterGarlic: message = in_router_garlic(message, r.static_keypair.public_key); break;
        case Wrap::EndpointCell: message = in_endpoint_cell(message, endpoint); break;
      }
    }
    const std::string out = dispatch_captured(r, {net.hash(1), MessageOrigin::Direct, 0}, message);
    const bool handled = c.wraps.size() <= 3;
    EXPECT_EQ(r.netdb.get_router_info(hash_of(info)) != nullptr, handled) << c.name;
    if (handled) {
      EXPECT_TRUE(contains(out, "[debug] NetDB DatabaseStore type=0 stored=true")) << c.name << ": " << out;
    } else {
      EXPECT_EQ(out, "[debug] I2NP message type=1 nested 4 deep, dropped\n") << c.name;
    }
  }
}

TEST(DispatchNesting, AFullMessageOfNestedTunnelGatewaysStopsAtTheLimit) {
  TestNetwork net = debug_network(1);
  Router& r = net[0];
  // Each TunnelGateway adds 22 bytes (tunnel id, length, standard header): about 2,900
  // levels in one message, which unbounded dispatch would follow to the bottom, holding a
  // copy of the rest at every level.
  P message{P::DeliveryStatus{1, 2}};
  Bytes inner = standard_message(message);
  int levels = 0;
  while (inner.size() + 22 <= 65535) {
    message = P{P::TunnelGateway{0x0BADF00D, std::move(inner)}};
    inner = standard_message(message);
    ++levels;
  }
  ASSERT_GT(levels, 2900);
  const std::string out = dispatch_captured(r, {net.hash(0), MessageOrigin::Direct, 0}, message);
  EXPECT_EQ(out, "[debug] I2NP message type=19 nested 4 deep, dropped\n");
  EXPECT_TRUE(r.pending_sends.empty());
}

TEST(DispatchGarlic, CloveDeliveryInstructionsAreNotConsulted) {
  TestNetwork net = debug_network(2);
  Router& r = net[0];
  const common::RouterInfo info = reference_router_info("ff-127.0.0.2.dat");
  const std::vector<ratchet::CloveDelivery> deliveries = {
      ratchet::CloveDelivery::Local{}, ratchet::CloveDelivery::Destination{net.hash(1)},
      ratchet::CloveDelivery::Router{net.hash(1)}, ratchet::CloveDelivery::Tunnel{net.hash(1), 9}};
  for (std::size_t i = 0; i < deliveries.size(); ++i) {
    r.netdb.remove_router_info(hash_of(info));
    const P garlic = in_router_garlic(database_store_of(info), r.static_keypair.public_key, deliveries[i]);
    r.handle_i2np_message(net.hash(1), header_of(garlic), garlic, read_now());
    EXPECT_NE(r.netdb.get_router_info(hash_of(info)), nullptr) << i;
    EXPECT_TRUE(r.pending_sends.empty()) << i;
  }
}

TEST(DispatchGarlic, RouterGarlicKeepsTheWayItsGarlicCameIn) {
  TestNetwork net = debug_network(1);
  Router& r = net[0];
  const P lookup{P::DatabaseLookup{net.hash(0), net.hash(0), 0, std::nullopt, {}, std::nullopt, {}}};
  const P garlic = in_router_garlic(lookup, r.static_keypair.public_key);
  EXPECT_EQ(dispatch_captured(r, {std::nullopt, MessageOrigin::OwnInbound, 1}, garlic),
            "[debug] I2NP message type=2 from inbound tunnel dropped\n");
  EXPECT_EQ(dispatch_captured(r, {net.hash(0), MessageOrigin::Direct, 0}, garlic), "");
}

TEST(DispatchGarlic, ShortGarlicIsStillOfferedToEveryone) {
  TestNetwork net = debug_network(1);
  Router& r = net[0];
  for (std::size_t n : {0u, 7u, 8u, 23u, 24u, 100u}) {
    const P probe = garlic_probe(n);
    PendingNetDbLookup lookup;
    lookup.replies.resize(1);
    if (n >= 8) std::copy_n(std::get<P::Garlic>(probe.value).data.begin(), 8, lookup.replies[0].tag.begin());
    r.pending_lookups = {lookup};
    EXPECT_EQ(dispatch_captured(r, {net.hash(0), MessageOrigin::Direct, 0}, probe), probe_line(probe)) << n;
    EXPECT_EQ(r.pending_lookups.size(), 1u) << n;  // a failed answer leaves its lookup pending
  }
}

}  // namespace
}  // namespace router
