// The router's tunnel ends and relays, one router at a time: reading cleartext cells,
// what each end delivers, the relay of TunnelData and TunnelGateway messages, and sending
// into own outbound tunnels or directly. Nothing is stepped: what leaves waits in the
// router's send queue.
#include <gtest/gtest.h>

#include "crypto/sha256.h"
#include "router/router.h"
#include "tests/router/dispatch_test_util.h"
#include "tests/support/test_network.h"

namespace router {
namespace {

using dispatch_test::debug_network;
using dispatch_test::dispatch_captured;
using dispatch_test::garlic_probe;
using dispatch_test::header_of;
using dispatch_test::probe_line;
using dispatch_test::random_of;
using dispatch_test::standard_message;
using ntcp2_net::read_now;
using test_support::TestNetwork;
using P = i2np::I2npPayload;

constexpr tunnel::CellSource kFromTransit{tunnel::CellSource::Kind::TransitEndpoint, 501};
constexpr tunnel::CellSource kFromInbound{tunnel::CellSource::Kind::OwnInbound, 502};
const std::string kFormatLine = "[debug] unpack_tunnel_cell checksum/format error\n";

std::string consume_captured(Router& r, const tunnel::CellSource& source, ByteView cell) {
  testing::internal::CaptureStdout();
  r.consume_cleartext_cell(source, cell, 0, read_now());
  return testing::internal::GetCapturedStdout();
}

// Two whole messages with Local delivery in one cleartext cell.
Bytes cell_of(const Bytes& first, const Bytes& second) {
  const std::vector<tunnel::TunnelFragment> fragments = {
      {tunnel::TunnelFragment::First{tunnel::TunnelDelivery{}, false, 0, first}},
      {tunnel::TunnelFragment::First{tunnel::TunnelDelivery{}, false, 0, second}}};
  auto cell = tunnel::pack_tunnel_cell(random_of(16), fragments, random_of(1024));
  EXPECT_TRUE(cell);
  return cell.value_or(Bytes(1024));
}

std::size_t body_offset(const Bytes& cell) {
  return static_cast<std::size_t>(std::find(cell.begin() + 20, cell.end(), 0) - cell.begin()) + 1;
}

// Writes the checksum of the cell as it now stands, so that only the edit is wrong.
void reseal(Bytes& cell) {
  Bytes covered(cell.begin() + static_cast<std::ptrdiff_t>(body_offset(cell)), cell.end());
  covered.insert(covered.end(), cell.begin(), cell.begin() + 16);
  const auto digest = crypto::sha256(covered);
  std::copy_n(digest.begin(), 4, cell.begin() + 16);
}

TEST(TunnelEndpoint, ACellDeliversAllItsMessagesOrNone) {
  TestNetwork net = debug_network(1);
  Router& r = net[0];
  const P one = garlic_probe(30), two = garlic_probe(31);
  const Bytes first = standard_message(one), second = standard_message(two);
  const std::size_t second_at = 3 + first.size();  // the second fragment, from the body start

  struct Case {
    const char* name;
    std::function<void(Bytes&, std::size_t body)> edit;
    bool resealed;  // the checksum is made to match the edited cell
    std::string out;
  };
  const std::vector<Case> cases = {
      {"whole cell", [](Bytes&, std::size_t) {}, false, probe_line(one) + probe_line(two)},
      {"last fragment cut short", [&](Bytes& c, std::size_t body) { ++c[body + second_at + 2]; }, true, kFormatLine},
      {"second fragment with delivery type 3", [&](Bytes& c, std::size_t body) { c[body + second_at] = 0x60; }, true,
       kFormatLine},
      {"checksum", [](Bytes& c, std::size_t) { c[16] ^= 1; }, false, kFormatLine},
      {"IV under the checksum", [](Bytes& c, std::size_t) { c[0] ^= 1; }, false, kFormatLine},
      {"no delimiter", [](Bytes& c, std::size_t) { std::fill(c.begin() + 20, c.end(), 0x11); }, false, kFormatLine},
      {"1023 bytes", [](Bytes& c, std::size_t) { c.pop_back(); }, false, kFormatLine},
  };
  for (const Case& c : cases) {
    Bytes cell = cell_of(first, second);
    c.edit(cell, body_offset(cell));
    if (c.resealed) reseal(cell);
    EXPECT_EQ(consume_captured(r, kFromTransit, cell), c.out) << c.name;
  }
}

TEST(TunnelEndpoint, AMessageWithABadChecksumByteIsDroppedSilently) {
  TestNetwork net = debug_network(1);
  Router& r = net[0];
  Bytes message = standard_message(garlic_probe(30));
  message[15] ^= 0xFF;  // the header's checksum byte
  const P probe = garlic_probe(9);
  EXPECT_EQ(consume_captured(r, kFromTransit, cell_of(message, standard_message(probe))), probe_line(probe));
}

TEST(TunnelEndpoint, FragmentsOfOneMessageAreJoined) {
  TestNetwork net = debug_network(1);
  Router& r = net[0];
  const P probe = garlic_probe(2993);
  auto cells = tunnel::fragment_message_to_cells(tunnel::TunnelDelivery{}, 31337, standard_message(probe),
                                                 random_of(16), random_of(1024));
  ASSERT_TRUE(cells);
  ASSERT_EQ(cells->size(), 4u);
  for (std::size_t i = 0; i < cells->size(); ++i) {
    const std::string out = consume_captured(r, kFromInbound, (*cells)[i]);
    EXPECT_EQ(out, i + 1 == cells->size() ? probe_line(probe) : "") << i;
  }
  EXPECT_TRUE(r.reassembler.pending.empty());
}

// The gateway of an own inbound tunnel can be anyone; it must not make this router send
// where it says. An outbound endpoint forwards: that is what its creator built it for.
TEST(TunnelEndpoint, OnlyLocalDeliveryCountsAtTheEndOfAnOwnInboundTunnel) {
  TestNetwork net = debug_network(2);
  Router& r = net[0];
  const common::Hash peer = net.hash(1);
  const P probe = garlic_probe(40);
  const Bytes message = standard_message(probe, 8888);
  struct Case {
    const char* name;
    tunnel::CellSource source;
    tunnel::TunnelDelivery delivery;
    std::string out;
    std::optional<P> sent;  // what leaves for the peer
  };
  const std::vector<Case> cases = {
      {"Local at an own inbound end", kFromInbound, {}, probe_line(probe), std::nullopt},
      {"Local at an outbound endpoint", kFromTransit, {}, probe_line(probe), std::nullopt},
      {"Router at an own inbound end",
       kFromInbound,
       {tunnel::TunnelDelivery::Router{peer}},
       "[debug] inbound tunnel message type=11 for another router dropped\n",
       std::nullopt},
      {"Tunnel at an own inbound end",
       kFromInbound,
       {tunnel::TunnelDelivery::Tunnel{70, peer}},
       "[debug] inbound tunnel message type=11 for another router dropped\n",
       std::nullopt},
      {"Router at an outbound endpoint", kFromTransit, {tunnel::TunnelDelivery::Router{peer}}, "", probe},
      {"Tunnel at an outbound endpoint",
       kFromTransit,
       {tunnel::TunnelDelivery::Tunnel{70, peer}},
       "",
       P{P::TunnelGateway{70, message}}},
  };
  for (const Case& c : cases) {
    r.pending_sends.clear();
    auto cells = tunnel::fragment_message_to_cells(c.delivery, 1, message, random_of(16), random_of(1024));
    ASSERT_TRUE(cells && cells->size() == 1);
    EXPECT_EQ(consume_captured(r, c.source, cells->front()), c.out) << c.name;
    if (!c.sent) {
      EXPECT_TRUE(r.pending_sends.empty()) << c.name;
      continue;
    }
    ASSERT_EQ(r.pending_sends.size(), 1u) << c.name;
    EXPECT_EQ(r.pending_sends[0].peer, peer) << c.name;
    EXPECT_EQ(r.pending_sends[0].payload, *c.sent) << c.name;
    if (c.sent->msg_type() == probe.msg_type()) {
      EXPECT_EQ(r.pending_sends[0].msg_id, 8888u) << c.name;  // a forwarded message keeps its id
    }
  }
}

// An outbound endpoint sends wherever the tunnel's creator says; a router that never
// answers must not let the messages waiting for it grow without end.
TEST(TunnelEndpoint, ForwardsToARouterWithoutALinkWaitUpToTheLimit) {
  TestNetwork net = debug_network(1);
  Router& r = net[0];
  const Bytes message = standard_message(garlic_probe(900));
  auto forward_to = [&](const common::Hash& to) {
    auto cells = tunnel::fragment_message_to_cells({tunnel::TunnelDelivery::Router{to}}, 1, message, random_of(16),
                                                   random_of(1024));
    EXPECT_TRUE(cells && cells->size() == 1);
    return consume_captured(r, kFromTransit, cells ? cells->front() : Bytes(1024));
  };
  // A router nobody knows: no dial starts, the messages wait for a link that never comes.
  common::Hash silent;
  const Bytes b = random_of(32);
  std::copy(b.begin(), b.end(), silent.bytes.begin());
  const std::string full =
      "[debug] NTCP2 queue for peers without a link is full, dropped I2NP message to " + silent.to_b32_address() + "\n";
  std::size_t queued = 0;
  for (; queued < 1000 && forward_to(silent).empty(); ++queued) {
  }
  // Each forward holds about a kilobyte: the limit stops them after a few hundred.
  EXPECT_GT(queued, 100u);
  EXPECT_LT(queued, 1000u);
  EXPECT_EQ(r.pending_sends.size(), queued);
  EXPECT_LE(r.pending_send_bytes, kMaxQueuedBytesPerPeer);
  EXPECT_EQ(forward_to(silent), full);
  EXPECT_EQ(r.pending_sends.size(), queued);
  // A message to this router itself is handed back on the next pass and still goes.
  EXPECT_EQ(forward_to(r.router_hash()), "");
  ASSERT_EQ(r.pending_sends.size(), queued + 1);
  EXPECT_EQ(r.pending_sends.back().peer, r.router_hash());
}

TEST(TunnelRelay, AnOwnInboundTunnelComesBeforeATransitHopOfTheSameId) {
  TestNetwork net = debug_network(2);
  Router& r = net[0];
  auto id = net.install_tunnel(0, {1}, /*outbound=*/false);
  ASSERT_TRUE(id);
  tunnel::TransitHop same = net[1].tunnels.transit.at(0);
  same.receive_tunnel_id = *id;
  same.next_router = net.hash(1);
  r.tunnels.transit.push_back(same);

  // The cell as the tunnel's one hop (router 1) sends it on.
  const P probe = garlic_probe(50);
  auto cells = tunnel::fragment_message_to_cells({}, 1, standard_message(probe), random_of(16), random_of(1024));
  ASSERT_TRUE(cells);
  auto relayed = net[1].tunnels.relay_cell(net[1].tunnels.transit.at(0).receive_tunnel_id, cells->front());
  ASSERT_TRUE(relayed && *relayed);
  ASSERT_EQ((*relayed)->next_tunnel_id, *id);
  const P data{P::TunnelData{*id, (*relayed)->cell}};

  testing::internal::CaptureStdout();
  r.handle_i2np_message(net.hash(1), header_of(data), data, read_now());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), probe_line(probe));
  EXPECT_TRUE(r.pending_sends.empty());

  const P short_cell{P::TunnelData{*id, Bytes(1023, 1)}};
  testing::internal::CaptureStdout();
  r.handle_i2np_message(net.hash(1), header_of(short_cell), short_cell, read_now());
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "[debug] inbound tunnel " + std::to_string(*id) + " decrypt error\n");
}

TEST(TunnelRelay, AGatewayCutsItsMessageIntoCells) {
  TestNetwork net = debug_network(3);
  Router& r = net[0];
  // r is the gateway of router 1's inbound tunnel, whose next hop is router 2.
  ASSERT_TRUE(net.install_tunnel(1, {0, 2}, /*outbound=*/false));
  const tunnel::TransitHop hop = r.tunnels.transit.at(0);
  for (const auto& [size, cells] :
       std::vector<std::pair<std::size_t, std::size_t>>{{1, 1}, {1000, 1}, {1001, 2}, {60000, 61}}) {
    r.pending_sends.clear();
    const P gateway{P::TunnelGateway{hop.receive_tunnel_id, Bytes(size, 0x33)}};
    r.handle_i2np_message(net.hash(2), header_of(gateway), gateway, read_now());
    ASSERT_EQ(r.pending_sends.size(), cells) << size;
    for (const PendingPeerSend& s : r.pending_sends) {
      EXPECT_EQ(s.peer, net.hash(2));
      const auto& data = std::get<P::TunnelData>(s.payload.value);
      EXPECT_EQ(data.tunnel_id, hop.next_tunnel_id);
      EXPECT_EQ(data.data.size(), 1024u);
    }
  }
}

TEST(TunnelSend, ThroughAnOwnOutboundTunnel) {
  TestNetwork net = debug_network(3);
  Router& r = net[0];
  auto out = net.install_tunnel(0, {1, 2}, /*outbound=*/true);
  ASSERT_TRUE(out);
  r.tunnels.outbound.push_back(tunnel::Tunnel{77, true, {}, 0, 0});
  const tunnel::TunnelDelivery to_router{tunnel::TunnelDelivery::Router{net.hash(1)}};
  const P probe = garlic_probe(2000);

  auto unknown = r.send_through_tunnel(78, to_router, probe, std::nullopt, read_now());
  ASSERT_FALSE(unknown);
  EXPECT_TRUE(unknown.error().is(RouterError::Message));
  EXPECT_EQ(unknown.error().message(), "unknown outbound tunnel 78");
  auto empty = r.send_through_tunnel(77, to_router, probe, std::nullopt, read_now());
  ASSERT_FALSE(empty);
  EXPECT_EQ(empty.error().message(), "outbound tunnel has zero hops");
  EXPECT_TRUE(r.pending_sends.empty());

  // Three cells for a 2,020-byte message with Router delivery (964 + 996 + 60), each with
  // both hops' layers added in advance: after the two hops the endpoint reads them.
  ASSERT_TRUE(r.send_through_tunnel(*out, to_router, probe, 4444, read_now()));
  ASSERT_EQ(r.pending_sends.size(), 3u);
  std::optional<tunnel::ReassembledMessage> joined;
  tunnel::FragmentReassembler endpoint;
  for (const PendingPeerSend& s : r.pending_sends) {
    EXPECT_EQ(s.peer, net.hash(1));
    const auto& data = std::get<P::TunnelData>(s.payload.value);
    EXPECT_EQ(data.tunnel_id, r.tunnels.outbound[0].hops[0].receive_tunnel_id);
    auto at_first = net[1].tunnels.relay_cell(data.tunnel_id, data.data);
    ASSERT_TRUE(at_first && *at_first && !(*at_first)->is_endpoint);
    auto at_second = net[2].tunnels.relay_cell((*at_first)->next_tunnel_id, (*at_first)->cell);
    ASSERT_TRUE(at_second && *at_second && (*at_second)->is_endpoint);
    auto fragments = tunnel::unpack_tunnel_cell((*at_second)->cell);
    ASSERT_TRUE(fragments) << to_string(fragments.error());
    for (auto& f : *fragments) {
      if (auto done = endpoint.add(kFromTransit, std::move(f))) joined = std::move(done);
    }
  }
  ASSERT_TRUE(joined);
  EXPECT_EQ(joined->delivery, to_router);
  encoding::Reader reader(joined->message);
  auto decoded = i2np::decode_standard_message(reader);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->first.msg_id, 4444u);
  EXPECT_EQ(decoded->second, probe);
}

TEST(TunnelSend, RoutedSendsPickATunnelOrGoDirectlyOutsidePublicMode) {
  TestNetwork net = debug_network(3);
  Router& r = net[0];
  const common::Hash gateway = net.hash(2);
  const P probe = garlic_probe(100);
  auto first = net.install_tunnel(0, {1}, /*outbound=*/true);
  auto second = net.install_tunnel(0, {2}, /*outbound=*/true);
  ASSERT_TRUE(first && second);
  const std::vector<tunnel::Tunnel> two_tunnels = r.tunnels.outbound;
  const std::vector<tunnel::Tunnel> broken = {tunnel::Tunnel{90, true, {}, 0, 0}};

  struct Case {
    const char* name;
    bool public_mode;
    std::vector<tunnel::Tunnel> outbound;
    std::int32_t rotation;
    std::optional<std::uint32_t> tunnel_id;
    std::optional<common::Hash> sent_to;  // none: nothing leaves
    i2np::I2npMessageType sent_type;
    std::int32_t rotation_after;
    std::string out;
  };
  const auto tunnel_data = i2np::I2npMessageType::from_byte(18);
  const auto tunnel_gateway = i2np::I2npMessageType::from_byte(19);
  const std::string no_tunnel = "[debug] routed send without an outbound tunnel, message dropped\n";
  const std::string failed =
      "[debug] routed send through outbound tunnel failed, message dropped: RouterError::Message: outbound tunnel "
      "has zero hops\n";
  const std::vector<Case> cases = {
      {"no tunnel, to a router", false, {}, 0, std::nullopt, gateway, probe.msg_type(), 0, ""},
      {"no tunnel, into a tunnel", false, {}, 0, 7, gateway, tunnel_gateway, 0, ""},
      {"failed tunnel send falls back", false, broken, 0, 7, gateway, tunnel_gateway, 1, ""},
      {"second of two tunnels at the top of the counter", false, two_tunnels, 0x3FFFFFFF, 7, net.hash(2), tunnel_data,
       0, ""},
      {"first of two tunnels", false, two_tunnels, 4, std::nullopt, net.hash(1), tunnel_data, 5, ""},
      {"public: no tunnel", true, {}, 0, 7, std::nullopt, tunnel_data, 0, no_tunnel},
      {"public: no tunnel, to a router", true, {}, 0, std::nullopt, std::nullopt, tunnel_data, 0, no_tunnel},
      {"public: failed tunnel send", true, broken, 0, 7, std::nullopt, tunnel_data, 1, failed},
      {"public: through a tunnel", true, two_tunnels, 1, 7, net.hash(2), tunnel_data, 2, ""},
  };
  for (const Case& c : cases) {
    r.public_mode = c.public_mode;
    r.tunnels.outbound = c.outbound;
    r.outbound_rotation = c.rotation;
    r.pending_sends.clear();
    testing::internal::CaptureStdout();
    r.send_routed_i2np(gateway, c.tunnel_id, probe, read_now());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out) << c.name;
    EXPECT_EQ(r.outbound_rotation, c.rotation_after) << c.name;
    if (!c.sent_to) {
      EXPECT_TRUE(r.pending_sends.empty()) << c.name;
      continue;
    }
    ASSERT_EQ(r.pending_sends.size(), 1u) << c.name;
    EXPECT_EQ(r.pending_sends[0].peer, *c.sent_to) << c.name;
    EXPECT_EQ(r.pending_sends[0].payload.msg_type(), c.sent_type) << c.name;
    if (c.sent_type == tunnel_gateway) {
      const auto& wrapped = std::get<P::TunnelGateway>(r.pending_sends[0].payload.value);
      EXPECT_EQ(wrapped.tunnel_id, 7u) << c.name;
      encoding::Reader reader(wrapped.data);
      auto inner = i2np::decode_standard_message(reader);
      ASSERT_TRUE(inner) << c.name;
      EXPECT_EQ(inner->second, probe) << c.name;
    }
  }
}

}  // namespace
}  // namespace router
