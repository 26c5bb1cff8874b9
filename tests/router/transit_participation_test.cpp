// Taking part in another router's tunnel: the request sealed to router H by the record
// builder, handed to H as it would arrive, and what H keeps and sends. Accepted requests
// keep one transit hop and queue one message; every refusal keeps nothing and sends
// nothing.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "crypto/chacha20.h"
#include "crypto/chacha20_poly1305.h"
#include "i2np/message.h"
#include "ratchet/clove.h"
#include "ratchet/lookup_reply.h"
#include "tests/router/build_test_util.h"

namespace router {
namespace {

using build_test::queued_records;
using build_test::random_hash;
using build_test::request_at;
using build_test::seal_to;
using ntcp2_net::Now;
using test_support::TestNetwork;

TestNetwork one_router() {
  auto net = TestNetwork::create({.routers = 1});
  EXPECT_TRUE(net) << (net ? "" : to_string(net.error()));
  return std::move(*net);
}

// A fixed instant well inside the wall clock's range; requests carry its minute.
const Now kNow{5'000'000, 1'800'000'000'000};

TEST(TransitParticipation, AcceptedRequestKeepsAHopRepliesInItsSlotAndPassesTheMessageOn) {
  TestNetwork net = one_router();
  Router& h = net[0];
  const tunnel::ShortBuildRequestRecord request = request_at(kNow);
  const auto sealed = seal_to(h, request, 2);
  const std::uint32_t next_id_before = h.next_msg_id;
  h.handle_short_tunnel_build(99, sealed.records, kNow);

  ASSERT_EQ(h.tunnels.transit.size(), 1u);
  const tunnel::TransitHop& hop = h.tunnels.transit[0];
  const tunnel::HopKeys& keys = sealed.keys[0].second;
  EXPECT_EQ(hop.receive_tunnel_id, 7001u);
  EXPECT_EQ(hop.next_tunnel_id, 7002u);
  EXPECT_EQ(hop.next_router, request.next_ident);
  EXPECT_EQ(hop.layer_key, keys.layer_key);
  EXPECT_EQ(hop.iv_key, keys.iv_key);
  EXPECT_FALSE(hop.is_endpoint);
  EXPECT_EQ(hop.expires_s, kNow.wall_s() + 600);

  // Sent on under the request's message id, taking no id of our own.
  ASSERT_EQ(h.pending_sends.size(), 1u);
  EXPECT_EQ(h.pending_sends[0].msg_id, request.next_msg_id);
  EXPECT_EQ(h.next_msg_id, next_id_before);
  const auto out = queued_records(h, request.next_ident);
  ASSERT_TRUE(out);
  ASSERT_EQ(out->size(), 4u);
  // The own slot: 0x00 0x00, 8 random bytes, zeros, code 0, under the keys the creator
  // derived.
  const auto nonce = tunnel::make_slot_nonce(2);
  auto clear = crypto::aead_chacha20_poly1305_decrypt(keys.reply_key, nonce, keys.reply_ad, (*out)[2]);
  ASSERT_TRUE(clear);
  ASSERT_EQ(clear->size(), 202u);
  EXPECT_EQ((*clear)[0], 0);
  EXPECT_EQ((*clear)[1], 0);
  EXPECT_EQ(Bytes(clear->begin() + 10, clear->end()), Bytes(192, 0));
  // Every other slot: the incoming record under the hop's keystream for that slot.
  for (std::size_t j : {0u, 1u, 3u}) {
    auto back = crypto::chacha20_xor(keys.reply_key, tunnel::make_slot_nonce(j), (*out)[j]);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, sealed.records[j]) << j;
  }
  // The creator reads the reply.
  auto codes = tunnel::open_short_build_replies(*out, sealed.keys);
  ASSERT_TRUE(codes);
  EXPECT_EQ(*codes, std::vector<std::uint8_t>{0});
}

TEST(TransitParticipation, LifetimeIsTheRequestsButNeverOverTenMinutes) {
  const std::vector<std::pair<std::uint32_t, std::uint32_t>> cases = {
      {0, 600}, {120, 120}, {600, 600}, {601, 600}, {0xFFFFFFFF, 600}};
  TestNetwork net = one_router();
  Router& h = net[0];
  std::uint32_t id = 100;
  for (const auto& [asked, kept] : cases) {
    tunnel::ShortBuildRequestRecord r = request_at(kNow);
    r.receive_tunnel_id = ++id;
    r.expiration_s = asked;
    h.handle_short_tunnel_build(99, seal_to(h, r).records, kNow);
    ASSERT_FALSE(h.tunnels.transit.empty()) << asked;
    EXPECT_EQ(h.tunnels.transit.back().receive_tunnel_id, id);
    EXPECT_EQ(h.tunnels.transit.back().expires_s, kNow.wall_s() + kept) << asked;
  }
  // Each hop stays while now < expires_s.
  h.poll_tunnel_builds(kNow.after(119'999));
  EXPECT_EQ(h.tunnels.transit.size(), cases.size());
  h.poll_tunnel_builds(kNow.after(120'000));
  EXPECT_EQ(h.tunnels.transit.size(), cases.size() - 1);
  h.poll_tunnel_builds(kNow.after(600'000));
  EXPECT_TRUE(h.tunnels.transit.empty());
}

TEST(TransitParticipation, EndpointRepliesStraightOrThroughTheReplyTunnel) {
  TestNetwork net = one_router();
  Router& h = net[0];

  // No reply tunnel: an OutboundTunnelBuildReply straight to the creator under next_msg_id.
  tunnel::ShortBuildRequestRecord direct = request_at(kNow);
  direct.flags = tunnel::kBuildFlagOutboundEndpoint;
  direct.next_tunnel_id = 0;
  const auto sealed_direct = seal_to(h, direct);
  h.handle_short_tunnel_build(99, sealed_direct.records, kNow);
  ASSERT_EQ(h.pending_sends.size(), 1u);
  EXPECT_EQ(h.pending_sends[0].msg_id, direct.next_msg_id);
  ASSERT_TRUE(std::holds_alternative<i2np::I2npPayload::OutboundTunnelBuildReply>(h.pending_sends[0].payload.value));
  EXPECT_TRUE(h.tunnels.transit.back().is_endpoint);
  EXPECT_TRUE(tunnel::open_short_build_replies(*queued_records(h, direct.next_ident), sealed_direct.keys));

  // A reply tunnel at another gateway: a TunnelGateway for its id holding a standard
  // message under next_msg_id that is garlic sealed with the endpoint's one-time key.
  tunnel::ShortBuildRequestRecord tunnelled = request_at(kNow);
  tunnelled.receive_tunnel_id = 7101;
  tunnelled.flags = tunnel::kBuildFlagOutboundEndpoint;
  tunnelled.next_tunnel_id = 5555;
  const auto sealed = seal_to(h, tunnelled);
  h.handle_short_tunnel_build(99, sealed.records, kNow);
  ASSERT_EQ(h.pending_sends.size(), 2u);
  const PendingPeerSend& sent = h.pending_sends[1];
  EXPECT_EQ(sent.peer, tunnelled.next_ident);
  const auto* gw = std::get_if<i2np::I2npPayload::TunnelGateway>(&sent.payload.value);
  ASSERT_NE(gw, nullptr);
  EXPECT_EQ(gw->tunnel_id, 5555u);
  encoding::Reader reader(gw->data);
  auto inner = i2np::decode_standard_message(reader);
  ASSERT_TRUE(inner);
  EXPECT_EQ(inner->first.msg_id, tunnelled.next_msg_id);
  const auto* garlic = std::get_if<i2np::I2npPayload::Garlic>(&inner->second.value);
  ASSERT_NE(garlic, nullptr);
  const tunnel::HopKeys& keys = sealed.keys[0].second;
  ASSERT_TRUE(keys.garlic_reply_key && keys.garlic_reply_tag);
  auto blocks = ratchet::decrypt_ecies_lookup_reply(*keys.garlic_reply_key, *keys.garlic_reply_tag, garlic->data);
  ASSERT_TRUE(blocks) << to_string(blocks.error());
  ASSERT_EQ(blocks->size(), 1u);
  const auto* clove = (*blocks)[0].get_if<ratchet::RatchetBlock::GarlicClove>();
  ASSERT_NE(clove, nullptr);
  auto message = ratchet::decode_garlic_clove_i2np(clove->message);
  ASSERT_TRUE(message);
  EXPECT_EQ(message->first.msg_id, tunnelled.next_msg_id);
  const auto* reply = std::get_if<i2np::I2npPayload::OutboundTunnelBuildReply>(&message->second.value);
  ASSERT_NE(reply, nullptr);
  EXPECT_TRUE(tunnel::open_short_build_replies(reply->records, sealed.keys));

  // The reply gateway is this router itself: the reply stays unwrapped.
  tunnel::ShortBuildRequestRecord self = tunnelled;
  self.receive_tunnel_id = 7102;
  self.next_ident = h.router_hash();
  h.handle_short_tunnel_build(99, seal_to(h, self).records, kNow);
  ASSERT_EQ(h.pending_sends.size(), 3u);
  const auto* own_gw = std::get_if<i2np::I2npPayload::TunnelGateway>(&h.pending_sends[2].payload.value);
  ASSERT_NE(own_gw, nullptr);
  encoding::Reader own_reader(own_gw->data);
  auto own_inner = i2np::decode_standard_message(own_reader);
  ASSERT_TRUE(own_inner);
  EXPECT_TRUE(std::holds_alternative<i2np::I2npPayload::OutboundTunnelBuildReply>(own_inner->second.value));
}

// Each case changes the request (or the records, or the router) so that it must be
// refused: nothing is kept and nothing sent.
TEST(TransitParticipation, RefusalsKeepNoHopAndSendNothing) {
  struct Case {
    std::string name;
    std::function<void(tunnel::ShortBuildRequestRecord&, const Router&)> request = [](auto&, const Router&) {};
    std::function<void(std::vector<Bytes>&)> records = [](auto&) {};
    std::function<void(Router&)> router = [](Router&) {};
  };
  const std::uint32_t minute = kNow.wall_s() / 60;
  const std::vector<Case> cases = {
      {.name = "a 217-byte record before ours", .records = [](auto& r) { r[0].pop_back(); }},
      {.name = "our record of 217 bytes", .records = [](auto& r) { r[1].pop_back(); }},
      {.name = "a bad MAC", .records = [](auto& r) { r[1][200] ^= 0x01; }},
      {.name = "no record for us", .records = [](auto& r) { r[1][0] ^= 0x01; }},
      {.name = "time 6 minutes ahead", .request = [&](auto& q, const Router&) { q.request_time_min = minute + 6; }},
      {.name = "time 11 minutes behind", .request = [&](auto& q, const Router&) { q.request_time_min = minute - 11; }},
      {.name = "receive id 0", .request = [](auto& q, const Router&) { q.receive_tunnel_id = 0; }},
      {.name = "receive id of a transit hop",
       .router =
           [](Router& r) {
             r.tunnels.transit.push_back(tunnel::TransitHop{7001, 1, {}, {}, {}, false, 0xFFFFFFFF});
           }},
      {.name = "receive id of an own inbound tunnel",
       .router =
           [](Router& r) {
             r.tunnels.inbound.push_back(tunnel::Tunnel{7001, false, {}, 0, 0xFFFFFFFF});
           }},
      {.name = "receive id of an own inbound build",
       .router =
           [](Router& r) {
             PendingTunnelBuild b;
             b.tunnel_id = 7001;
             r.pending_builds.push_back(std::move(b));
           }},
      {.name = "receive id of a session's lease",
       .router =
           [](Router& r) {
             SamSession s;
             s.id = "s";
             s.tunnel_id = 7001;
             r.sessions.push_back(std::move(s));
           }},
      {.name = "a middle hop naming itself next",
       .request = [](auto& q, const Router& r) { q.next_ident = r.router_hash(); }},
      {.name = "an inbound gateway naming itself next",
       .request =
           [](auto& q, const Router& r) {
             q.next_ident = r.router_hash();
             q.flags = tunnel::kBuildFlagInboundGateway;
           }},
      {.name = "a full table",
       .router =
           [](Router& r) {
             for (std::uint32_t i = 0; i < kMaxTransitHops; ++i) {
               r.tunnels.transit.push_back(tunnel::TransitHop{100000 + i, 1, {}, {}, {}, false, 0xFFFFFFFF});
             }
           }},
  };
  for (const Case& c : cases) {
    TestNetwork net = one_router();
    Router& h = net[0];
    c.router(h);
    const std::size_t hops_before = h.tunnels.transit.size();
    tunnel::ShortBuildRequestRecord request = request_at(kNow);
    c.request(request, h);
    auto sealed = seal_to(h, request);
    c.records(sealed.records);
    h.handle_short_tunnel_build(99, sealed.records, kNow);
    EXPECT_EQ(h.tunnels.transit.size(), hops_before) << c.name;
    EXPECT_TRUE(h.pending_sends.empty()) << c.name;
    EXPECT_TRUE(h.pending_dials.empty()) << c.name;
    EXPECT_EQ(h.accepted_build_keys.size(), 0u) << c.name;
  }
}

TEST(TransitParticipation, TimesWithinTheWindowAndAnEndpointReplyingToItselfAreAccepted) {
  const std::uint32_t minute = kNow.wall_s() / 60;
  TestNetwork net = one_router();
  Router& h = net[0];
  std::uint32_t id = 200;
  for (std::uint32_t at : {minute + 5, minute - 10, minute}) {
    tunnel::ShortBuildRequestRecord r = request_at(kNow);
    r.receive_tunnel_id = ++id;
    r.request_time_min = at;
    h.handle_short_tunnel_build(99, seal_to(h, r).records, kNow);
    EXPECT_EQ(h.tunnels.transit.size(), id - 200) << at;
  }
  tunnel::ShortBuildRequestRecord self = request_at(kNow);
  self.receive_tunnel_id = ++id;
  self.flags = tunnel::kBuildFlagOutboundEndpoint;
  self.next_tunnel_id = 0;
  self.next_ident = h.router_hash();
  h.handle_short_tunnel_build(99, seal_to(h, self).records, kNow);
  EXPECT_EQ(h.tunnels.transit.size(), 4u);
}

TEST(TransitParticipation, ReplayedRequestIsRefusedUntilItsTimeHasPassed) {
  TestNetwork net = one_router();
  Router& h = net[0];
  const auto sealed = seal_to(h, request_at(kNow));
  h.handle_short_tunnel_build(99, sealed.records, kNow);
  ASSERT_EQ(h.tunnels.transit.size(), 1u);
  ASSERT_EQ(h.pending_sends.size(), 1u);
  EXPECT_EQ(h.accepted_build_keys.size(), 1u);

  // Again at once, and after the hop itself expired: its id is free by then, so only the
  // remembered key stops it.
  h.handle_short_tunnel_build(99, sealed.records, kNow.after(1000));
  h.poll_tunnel_builds(kNow.after(600'000));
  ASSERT_TRUE(h.tunnels.transit.empty());
  h.handle_short_tunnel_build(99, sealed.records, kNow.after(600'000));
  EXPECT_TRUE(h.tunnels.transit.empty());
  EXPECT_EQ(h.pending_sends.size(), 1u);

  // 16 minutes on the key is forgotten, but the request's time is then 16 minutes old.
  h.handle_short_tunnel_build(99, sealed.records, kNow.after(16 * 60'000));
  EXPECT_EQ(h.accepted_build_keys.size(), 0u);
  EXPECT_TRUE(h.tunnels.transit.empty());
  EXPECT_EQ(h.pending_sends.size(), 1u);
}

TEST(TransitParticipation, OnlyTheFirstRecordWithOurPrefixIsOpened) {
  TestNetwork net = one_router();
  Router& h = net[0];
  auto sealed = seal_to(h, request_at(kNow), 2);
  // A record before ours that also carries our prefix but opens to nothing.
  std::copy_n(sealed.records[2].begin(), tunnel::kBuildRecordHashPrefix, sealed.records[0].begin());
  h.handle_short_tunnel_build(99, sealed.records, kNow);
  EXPECT_TRUE(h.tunnels.transit.empty());
  EXPECT_TRUE(h.pending_sends.empty());
}

TEST(AcceptedBuildKeys, RemembersSixteenMinutesAndRefusesWhenFull) {
  AcceptedBuildKeys keys;
  const Bytes a(32, 1), b(32, 2);
  keys.add(a, 1000);
  keys.add(a, 2000);  // already known
  EXPECT_EQ(keys.size(), 1u);
  EXPECT_TRUE(keys.contains(a));
  EXPECT_FALSE(keys.contains(b));
  keys.add(b, 5000);
  keys.prune(1000 + kAcceptedKeyKeepMs - 1);
  EXPECT_TRUE(keys.contains(a));
  keys.prune(1000 + kAcceptedKeyKeepMs);
  EXPECT_FALSE(keys.contains(a));
  EXPECT_TRUE(keys.contains(b));

  AcceptedBuildKeys full;
  Bytes k(32, 0);
  for (std::size_t i = 0; i < kMaxAcceptedKeys; ++i) {
    k[0] = static_cast<std::uint8_t>(i);
    k[1] = static_cast<std::uint8_t>(i >> 8);
    full.add(k, kNow.mono_ms);
  }
  EXPECT_TRUE(full.full());
  full.add(Bytes(32, 0xEE), kNow.mono_ms);
  EXPECT_FALSE(full.contains(Bytes(32, 0xEE)));
  EXPECT_EQ(full.size(), kMaxAcceptedKeys);

  // A router whose cache is full takes no request, however good.
  TestNetwork net = one_router();
  Router& h = net[0];
  h.accepted_build_keys = full;
  h.handle_short_tunnel_build(99, seal_to(h, request_at(kNow)).records, kNow.after(0));
  EXPECT_TRUE(h.tunnels.transit.empty());
  EXPECT_TRUE(h.pending_sends.empty());
}

}  // namespace
}  // namespace router
