// Building own tunnels through other routers of the test network. Here the messages the
// routers queue for each other are handed over in process (pump), so every step runs at a
// clock the test passes in: the request each hop reads, the hops each keeps, the reply the
// creator reads, forged and refusing replies, and the time-outs.
#include <gtest/gtest.h>

#include <string>

#include "crypto/chacha20.h"
#include "tests/router/build_test_util.h"

namespace router {
namespace {

using build_test::queued_records;
using build_test::random_hash;
using ntcp2_net::Now;
using test_support::TestNetwork;
using P = i2np::I2npPayload;

const Now kNow{7'000'000, 1'800'000'030'000};

TestNetwork network(std::size_t n, bool public_mode = false) {
  auto net = TestNetwork::create({.routers = n, .public_mode = public_mode});
  EXPECT_TRUE(net) << (net ? "" : to_string(net.error()));
  return std::move(*net);
}

// Hands every queued message to the router it is for, as their links would, until no
// router has anything queued; at most rounds passes.
void pump(TestNetwork& net, const Now& now, int rounds = 32) {
  for (int round = 0; round < rounds; ++round) {
    bool moved = false;
    for (std::size_t i = 0; i < net.size(); ++i) {
      std::vector<PendingPeerSend> sends = std::move(net[i].pending_sends);
      net[i].pending_sends.clear();
      for (const PendingPeerSend& s : sends) {
        for (std::size_t j = 0; j < net.size(); ++j) {
          if (net.hash(j) != s.peer) continue;
          moved = true;
          net[j].handle_i2np_message(net.hash(i), {s.payload.msg_type(), s.msg_id, s.expiration_s}, s.payload, now);
        }
      }
    }
    if (!moved) return;
  }
  ADD_FAILURE() << "messages still moving after " << rounds << " rounds";
}

std::vector<common::Hash> hashes(TestNetwork& net, const std::vector<std::size_t>& routers) {
  std::vector<common::Hash> out;
  for (std::size_t r : routers) out.push_back(net.hash(r));
  return out;
}

// The one transit hop of router r receiving on id.
const tunnel::TransitHop* transit_of(Router& r, std::uint32_t id) {
  for (const tunnel::TransitHop& h : r.tunnels.transit) {
    if (h.receive_tunnel_id == id) return &h;
  }
  return nullptr;
}

// Every hop of the creator's new tunnel is served by the router it names, with the same
// ids and keys; the last hop of an inbound tunnel sends to the creator under its id.
void expect_hops_served(TestNetwork& net, const std::vector<std::size_t>& routers, const tunnel::Tunnel& t,
                        std::size_t creator) {
  ASSERT_EQ(t.hops.size(), routers.size());
  for (std::size_t i = 0; i < routers.size(); ++i) {
    const tunnel::TunnelHop& own = t.hops[i];
    EXPECT_EQ(own.router, net.hash(routers[i]));
    const tunnel::TransitHop* served = transit_of(net[routers[i]], own.receive_tunnel_id);
    ASSERT_NE(served, nullptr) << i;
    EXPECT_EQ(served->layer_key, own.layer_key) << i;
    EXPECT_EQ(served->iv_key, own.iv_key) << i;
    EXPECT_EQ(served->next_tunnel_id, own.next_tunnel_id) << i;
    const bool last = i + 1 == routers.size();
    EXPECT_EQ(served->is_endpoint, t.outbound && last) << i;
    if (!last) {
      EXPECT_EQ(served->next_router, net.hash(routers[i + 1])) << i;
      EXPECT_EQ(own.next_tunnel_id, t.hops[i + 1].receive_tunnel_id) << i;
    } else if (!t.outbound) {
      EXPECT_EQ(served->next_router, net.hash(creator));
      EXPECT_EQ(own.next_tunnel_id, t.tunnel_id);
    }
  }
}

TEST(TunnelBuild, HopCountAndHopKeysAreChecked) {
  TestNetwork net = network(2);
  Router& a = net[0];
  for (std::size_t n : {0u, 9u}) {
    auto r = a.build_tunnel(std::vector<common::Hash>(n, net.hash(1)), false, std::nullopt, std::nullopt, kNow);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), Error(RouterError::Message, "tunnel hop count must be 1..8, got " + std::to_string(n)));
  }
  auto unknown = a.build_tunnel({random_hash()}, false, std::nullopt, std::nullopt, kNow);
  ASSERT_FALSE(unknown);
  EXPECT_EQ(unknown.error(), Error(RouterError::Message, "missing RouterInfo for tunnel hop"));
  EXPECT_TRUE(a.pending_builds.empty());
  EXPECT_TRUE(a.pending_sends.empty());
}

// Reads every hop's request as that hop will: the layers of the earlier hops removed,
// then opened with the hop's own key.
std::vector<tunnel::ShortBuildRequestRecord> requests_of(TestNetwork& net, const std::vector<std::size_t>& routers,
                                                         const PendingTunnelBuild& build,
                                                         const std::vector<Bytes>& records) {
  std::vector<tunnel::ShortBuildRequestRecord> out;
  for (std::size_t y = 0; y < routers.size(); ++y) {
    const std::size_t slot = build.hop_keys[y].first;
    Bytes record = records.at(slot);
    for (std::size_t earlier = 0; earlier < y; ++earlier) {
      record = *crypto::chacha20_xor(build.hop_keys[earlier].second.reply_key, tunnel::make_slot_nonce(slot), record);
    }
    const common::Hash hop = net.hash(routers[y]);
    EXPECT_EQ(Bytes(record.begin(), record.begin() + 16), Bytes(hop.bytes.begin(), hop.bytes.begin() + 16));
    auto opened = tunnel::open_short_build_request(net[routers[y]].static_keypair, record);
    EXPECT_TRUE(opened) << y;
    if (!opened) return out;
    EXPECT_EQ(opened->keys, build.hop_keys[y].second) << y;
    out.push_back(opened->request);
  }
  return out;
}

TEST(TunnelBuild, RequestsCarryTheShapeOfTheTunnel) {
  struct Case {
    std::vector<std::size_t> hops;
    bool outbound;
    std::size_t slots;
  };
  const std::vector<Case> cases = {{{1}, false, 4},           {{1}, true, 4},          {{1, 2}, false, 4},
                                   {{1, 2}, true, 4},         {{1, 2, 3, 4}, true, 4}, {{1, 2, 3, 4, 5}, false, 8},
                                   {{5, 4, 3, 2, 1}, true, 8}};
  TestNetwork net = network(6);
  Router& a = net[0];
  for (const Case& c : cases) {
    const std::string name = std::to_string(c.hops.size()) + (c.outbound ? " out" : " in");
    const std::uint32_t first_msg_id = a.next_msg_id;
    auto id = a.build_tunnel(hashes(net, c.hops), c.outbound, std::nullopt, std::nullopt, kNow);
    ASSERT_TRUE(id) << to_string(id.error());
    const PendingTunnelBuild& build = a.pending_builds.back();
    EXPECT_EQ(build.tunnel_id, *id);
    EXPECT_EQ(build.msg_id, first_msg_id) << name;
    EXPECT_EQ(build.started_s, kNow.wall_s());
    EXPECT_EQ(build.expires_s, kNow.wall_s() + 600);
    EXPECT_FALSE(build.garlic_reply_key);
    ASSERT_EQ(a.pending_sends.size(), 1u);
    const PendingPeerSend sent = a.pending_sends.front();
    a.pending_sends.clear();
    EXPECT_EQ(sent.peer, net.hash(c.hops[0]));
    // Only a one-hop inbound build's reply comes back under the header id itself.
    EXPECT_EQ(sent.msg_id == build.msg_id, !c.outbound && c.hops.size() == 1) << name;
    const auto* message = std::get_if<P::ShortTunnelBuild>(&sent.payload.value);
    ASSERT_NE(message, nullptr);
    ASSERT_EQ(message->records.size(), c.slots) << name;
    std::vector<bool> used(c.slots, false);
    for (const auto& [slot, keys] : build.hop_keys) {
      ASSERT_LT(slot, c.slots);
      EXPECT_FALSE(used[slot]);
      used[slot] = true;
    }

    const auto requests = requests_of(net, c.hops, build, message->records);
    ASSERT_EQ(requests.size(), c.hops.size()) << name;
    for (std::size_t i = 0; i < requests.size(); ++i) {
      const tunnel::ShortBuildRequestRecord& r = requests[i];
      const bool last = i + 1 == requests.size();
      EXPECT_EQ(r.receive_tunnel_id, build.hops[i].receive_tunnel_id);
      EXPECT_EQ(r.flags, !c.outbound && i == 0 ? 0x80 : c.outbound && last ? 0x40 : 0) << name << " hop " << i;
      EXPECT_EQ(r.layer_enc_type, 0);
      EXPECT_EQ(r.request_time_min, kNow.wall_s() / 60);
      EXPECT_EQ(r.expiration_s, 600u);
      EXPECT_TRUE(r.options.entries.empty());
      if (!last) {
        EXPECT_EQ(r.next_ident, net.hash(c.hops[i + 1]));
        EXPECT_EQ(r.next_tunnel_id, build.hops[i + 1].receive_tunnel_id);
        EXPECT_NE(r.next_msg_id, build.msg_id);
      } else {
        EXPECT_EQ(r.next_ident, a.router_hash());
        EXPECT_EQ(r.next_tunnel_id, c.outbound ? 0u : *id);
        EXPECT_EQ(r.next_msg_id, build.msg_id);
      }
    }
  }
}

TEST(TunnelBuild, OneAndTwoHopTunnelsOfBothKindsAreBuiltAndServed) {
  TestNetwork net = network(3);
  Router& a = net[0];
  struct Case {
    std::vector<std::size_t> hops;
    bool outbound;
    bool reply_through_inbound;
  };
  const std::vector<Case> cases = {
      {{1}, false, false},   {{2, 1}, false, false}, {{1}, true, false},
      {{1, 2}, true, false}, {{1}, true, true},      {{1, 2}, true, true},
  };
  for (const Case& c : cases) {
    const std::string name = std::to_string(c.hops.size()) + (c.outbound ? " out" : " in") +
                             (c.reply_through_inbound ? " replying through inbound" : "");
    std::optional<tunnel::Tunnel> reply;
    // [2, 1]: its gateway 2 is another router than the endpoint of [1], and the endpoint
    // itself of [1, 2], which then replies without garlic.
    if (c.reply_through_inbound) reply = a.tunnels.inbound.at(1);
    const std::size_t before = (c.outbound ? a.tunnels.outbound : a.tunnels.inbound).size();
    auto id = a.build_tunnel(hashes(net, c.hops), c.outbound, reply, std::nullopt, kNow);
    ASSERT_TRUE(id) << to_string(id.error());
    if (c.reply_through_inbound) {
      EXPECT_TRUE(a.pending_builds.back().garlic_reply_key && a.pending_builds.back().garlic_reply_tag);
    }
    // The reply comes later than the build began.
    pump(net, kNow.after(3000));
    EXPECT_TRUE(a.pending_builds.empty()) << name;
    const auto& list = c.outbound ? a.tunnels.outbound : a.tunnels.inbound;
    ASSERT_EQ(list.size(), before + 1) << name;
    const tunnel::Tunnel& t = list.back();
    EXPECT_EQ(t.tunnel_id, *id);
    EXPECT_EQ(t.outbound, c.outbound);
    EXPECT_EQ(t.started_s, kNow.wall_s());
    EXPECT_EQ(t.expires_s, kNow.wall_s() + 600);
    expect_hops_served(net, c.hops, t, 0);
    if (c.outbound && c.reply_through_inbound) {
      EXPECT_EQ(t.hops.back().next_tunnel_id, reply->hops[0].receive_tunnel_id) << name;
    }
  }
  EXPECT_EQ(net[1].tunnels.transit.size(), 6u);
  EXPECT_EQ(net[2].tunnels.transit.size(), 3u);
}

TEST(TunnelBuild, BuildMessageTravelsThroughAnOwnOutboundTunnel) {
  TestNetwork net = network(4);
  Router& a = net[0];
  // An outbound tunnel [1, 2] to carry the builds.
  ASSERT_TRUE(a.build_tunnel(hashes(net, {1, 2}), true, std::nullopt, std::nullopt, kNow));
  pump(net, kNow);
  ASSERT_EQ(a.tunnels.outbound.size(), 1u);
  const tunnel::Tunnel via = a.tunnels.outbound[0];

  // hops[0] is the tunnel's endpoint: handed over there as it is. Otherwise sealed to
  // hops[0] in router garlic that the endpoint delivers.
  for (const std::vector<std::size_t>& hops : {std::vector<std::size_t>{2, 3}, std::vector<std::size_t>{3, 1}}) {
    const std::size_t transit_before = net[hops[0]].tunnels.transit.size();
    auto id = a.build_tunnel(hashes(net, hops), false, std::nullopt, via, kNow);
    ASSERT_TRUE(id) << to_string(id.error());
    // Nothing goes straight to hops[0]: the cells go to the tunnel's first hop.
    ASSERT_FALSE(a.pending_sends.empty());
    for (const PendingPeerSend& s : a.pending_sends) {
      EXPECT_EQ(s.peer, via.hops[0].router);
      EXPECT_TRUE(std::holds_alternative<P::TunnelData>(s.payload.value));
    }
    pump(net, kNow);
    ASSERT_FALSE(a.tunnels.inbound.empty());
    EXPECT_EQ(a.tunnels.inbound.back().tunnel_id, *id);
    expect_hops_served(net, hops, a.tunnels.inbound.back(), 0);
    EXPECT_EQ(net[hops[0]].tunnels.transit.size(), transit_before + 1);
  }
  EXPECT_TRUE(a.pending_builds.empty());

  // A tunnel that is gone carries nothing: the build goes straight to hops[0].
  tunnel::Tunnel gone = via;
  gone.tunnel_id = via.tunnel_id + 1000;
  ASSERT_TRUE(a.build_tunnel(hashes(net, {3}), false, std::nullopt, gone, kNow));
  ASSERT_EQ(a.pending_sends.size(), 1u);
  EXPECT_EQ(a.pending_sends[0].peer, net.hash(3));
  EXPECT_TRUE(std::holds_alternative<P::ShortTunnelBuild>(a.pending_sends[0].payload.value));
}

TEST(TunnelBuild, ForgedRepliesLeaveTheBuildPending) {
  TestNetwork net = network(2);
  Router& a = net[0];
  ASSERT_TRUE(a.build_tunnel({net.hash(1)}, false, std::nullopt, std::nullopt, kNow));
  const std::uint32_t m = a.pending_builds.at(0).msg_id;
  const std::vector<Bytes> forged(4, Bytes(tunnel::kBuildRecordSize, 0x42));

  EXPECT_FALSE(a.try_complete_pending_tunnel_build(m, forged, kNow));
  a.handle_i2np_message(net.hash(1), {P{P::ShortTunnelBuild{forged}}.msg_type(), m, 0}, P{P::ShortTunnelBuild{forged}},
                        kNow);
  a.handle_i2np_message(net.hash(1), {P{P::OutboundTunnelBuildReply{forged}}.msg_type(), m, 0},
                        P{P::OutboundTunnelBuildReply{forged}}, kNow);
  a.handle_i2np_message(net.hash(1), {P{P::ShortTunnelBuild{}}.msg_type(), m, 0}, P{P::ShortTunnelBuild{}}, kNow);
  ASSERT_EQ(a.pending_builds.size(), 1u);
  EXPECT_TRUE(a.tunnels.inbound.empty());

  // The genuine reply still completes it; a second copy finds no build any more.
  pump(net, kNow);
  EXPECT_TRUE(a.pending_builds.empty());
  ASSERT_EQ(a.tunnels.inbound.size(), 1u);
  EXPECT_FALSE(a.try_complete_pending_tunnel_build(m, forged, kNow));
}

// The hop's reply with a code of the test's choosing: what B would send if it refused.
std::vector<Bytes> reply_with_code(TestNetwork& net, std::size_t hop, std::vector<Bytes> records, std::uint8_t code) {
  for (std::size_t slot = 0; slot < records.size(); ++slot) {
    if (!std::equal(records[slot].begin(), records[slot].begin() + 16, net.hash(hop).bytes.begin())) continue;
    auto opened = tunnel::open_short_build_request(net[hop].static_keypair, records[slot]);
    EXPECT_TRUE(opened);
    EXPECT_TRUE(tunnel::write_short_build_reply(records, slot, opened->keys, {}, code));
    return records;
  }
  ADD_FAILURE() << "no record for the hop";
  return records;
}

TEST(TunnelBuild, RefusingHopEndsTheBuildAndIsBackedOffInPublicMode) {
  for (bool public_mode : {false, true}) {
    TestNetwork net = network(3, public_mode);
    Router& a = net[0];
    ASSERT_TRUE(a.build_tunnel(hashes(net, {1, 2}), false, std::nullopt, std::nullopt, kNow));
    const std::uint32_t m = a.pending_builds.at(0).msg_id;
    // Hop 0 (router 1) accepts, hop 1 (router 2) refuses with 30.
    std::vector<Bytes> records = reply_with_code(net, 1, *queued_records(a, net.hash(1)), 0);
    records = reply_with_code(net, 2, std::move(records), 30);
    EXPECT_TRUE(a.try_complete_pending_tunnel_build(m, records, kNow));
    EXPECT_TRUE(a.pending_builds.empty());
    EXPECT_TRUE(a.tunnels.inbound.empty());
    EXPECT_FALSE(a.is_peer_backed_off(net.hash(1), kNow));
    EXPECT_EQ(a.is_peer_backed_off(net.hash(2), kNow.after(44'999)), public_mode);
    EXPECT_FALSE(a.is_peer_backed_off(net.hash(2), kNow.after(45'001)));
  }
}

TEST(TunnelBuild, PendingBuildTimesOutAfterTenOrTwentySeconds) {
  for (bool public_mode : {false, true}) {
    TestNetwork net = network(3, public_mode);
    Router& a = net[0];
    a.debug = true;
    ASSERT_TRUE(a.build_tunnel(hashes(net, {1, 2}), false, std::nullopt, std::nullopt, kNow));
    const std::uint32_t id = a.pending_builds.at(0).tunnel_id;
    const std::uint64_t limit = public_mode ? 20'000 : 10'000;
    testing::internal::CaptureStdout();
    a.poll_tunnel_builds(kNow.after(limit));
    EXPECT_EQ(a.pending_builds.size(), 1u) << public_mode;
    a.poll_tunnel_builds(kNow.after(limit + 1));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(a.pending_builds.empty()) << public_mode;
    const std::string line = "[debug] tunnel build " + std::to_string(id) + " timed out\n";
    EXPECT_EQ(out.find(line) != std::string::npos, public_mode) << out;
    for (std::size_t hop : {1u, 2u}) {
      EXPECT_EQ(a.is_peer_backed_off(net.hash(hop), kNow.after(limit + 2)), public_mode) << hop;
    }
  }
}

TEST(TunnelBuild, OwnTunnelsExpireAtTheirEndDate) {
  TestNetwork net = network(2);
  Router& a = net[0];
  ASSERT_TRUE(a.build_tunnel({net.hash(1)}, false, std::nullopt, std::nullopt, kNow));
  ASSERT_TRUE(a.build_tunnel({net.hash(1)}, true, std::nullopt, std::nullopt, kNow.after(5000)));
  pump(net, kNow.after(5000));
  ASSERT_EQ(a.tunnels.inbound.size(), 1u);
  ASSERT_EQ(a.tunnels.outbound.size(), 1u);
  a.poll_tunnel_builds(kNow.after(599'999));
  EXPECT_EQ(a.tunnels.inbound.size(), 1u);
  a.poll_tunnel_builds(kNow.after(600'000));
  EXPECT_TRUE(a.tunnels.inbound.empty());
  EXPECT_EQ(a.tunnels.outbound.size(), 1u);
  a.poll_tunnel_builds(kNow.after(605'000));
  EXPECT_TRUE(a.tunnels.outbound.empty());
  // The hops served for them go with their own end dates.
  EXPECT_FALSE(net[1].tunnels.transit.empty());
  net[1].poll_tunnel_builds(kNow.after(605'000));
  EXPECT_TRUE(net[1].tunnels.transit.empty());
}

}  // namespace
}  // namespace router
