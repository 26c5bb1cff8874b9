// Taking part in other routers' tunnels: finding and opening this router's record in a
// ShortTunnelBuild message, deciding whether to serve the hop, writing the reply and
// passing the message on.
//
// Every request the router can read and may serve is accepted (reply code 0); every other
// one is dropped without a reply or a trace, so the sender learns nothing but silence. A
// request is not served when:
//   - the router already serves kMaxTransitHops hops (the table and every cell's scan of it
//     stay bounded);
//   - its ephemeral key was accepted in the last 16 minutes, or its time lies more than 5
//     minutes ahead or 10 behind: a replayed build message would add a hop, and send the
//     build on, for each copy;
//   - it would receive on tunnel id 0 or on an id already in use here (a transit hop, an own
//     inbound tunnel or build, a client session's own lease): a second hop on a taken id
//     never works, and one on a session's id would capture that session's messages;
//   - it is no outbound endpoint yet names this router as the next hop: every cell would
//     come straight back to it.
// The lifetime a request asks for is cut to kMaxTransitLifetimeS.
#include <algorithm>
#include <utility>

#include "crypto/ct_eq.h"
#include "i2np/message.h"
#include "ntcp2_net/random.h"
#include "ratchet/clove.h"
#include "ratchet/lookup_reply.h"
#include "router/id_counters.h"
#include "router/router.h"
#include "tunnel/build_record.h"

namespace router {

namespace {

constexpr std::uint32_t kReplyCloveExpirationS = 60;
constexpr std::uint64_t kReplyExpirationMs = 60000;

// The position of this router's record: the first whose hash prefix is ours. None when a
// record is not 218 bytes (before or at ours) or none is ours.
std::optional<std::size_t> find_own_record(const std::vector<Bytes>& records, const common::Hash& own) {
  const ByteView prefix = own.view().first(tunnel::kBuildRecordHashPrefix);
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (records[i].size() != tunnel::kBuildRecordSize) return std::nullopt;
    if (std::ranges::equal(ByteView(records[i]).first(tunnel::kBuildRecordHashPrefix), prefix)) return i;
  }
  return std::nullopt;
}

bool request_time_acceptable(std::uint32_t request_time_min, std::uint64_t now_s) {
  const std::uint64_t request_s = std::uint64_t{request_time_min} * 60;
  return request_s <= now_s + kRequestAheadS && request_s + kRequestBehindS >= now_s;
}

bool receive_id_taken(const Router& r, std::uint32_t id) {
  if (id == 0) return true;
  if (std::ranges::any_of(r.tunnels.transit, [&](const tunnel::TransitHop& h) { return h.receive_tunnel_id == id; })) {
    return true;
  }
  if (std::ranges::any_of(r.tunnels.inbound, [&](const tunnel::Tunnel& t) { return t.tunnel_id == id; })) return true;
  if (std::ranges::any_of(r.pending_builds,
                          [&](const PendingTunnelBuild& b) { return !b.outbound && b.tunnel_id == id; })) {
    return true;
  }
  return std::ranges::any_of(r.sessions,
                             [&](const SamSession& s) { return static_cast<std::uint32_t>(s.tunnel_id) == id; });
}

std::uint32_t transit_lifetime_s(std::uint32_t expiration_s) {
  if (expiration_s == 0) return kMaxTransitLifetimeS;
  return std::min(expiration_s, kMaxTransitLifetimeS);
}

// The outbound endpoint's reply: the records in an OutboundTunnelBuildReply, sent straight
// to the reply router, or into the reply tunnel at its gateway -- sealed in the one-time
// garlic the creator waits for, unless that gateway is this router.
void send_endpoint_reply(Router& r, const tunnel::ShortBuildRequestRecord& request, const tunnel::HopKeys& keys,
                         std::vector<Bytes> records, const Now& now) {
  if (request.next_tunnel_id == 0) {
    r.send_i2np_to_peer(request.next_ident,
                        i2np::I2npPayload{i2np::I2npPayload::OutboundTunnelBuildReply{std::move(records)}}, now,
                        request.next_msg_id);
    return;
  }
  i2np::I2npPayload reply{i2np::I2npPayload::OutboundTunnelBuildReply{std::move(records)}};
  if (request.next_ident != r.router_hash() && keys.garlic_reply_key && keys.garlic_reply_tag) {
    auto clove = ratchet::garlic_clove_block(ratchet::CloveDelivery::Local{}, request.next_msg_id,
                                             static_cast<std::uint32_t>(now.wall_s()) + kReplyCloveExpirationS, reply);
    if (!clove) return;
    auto garlic = ratchet::encrypt_ecies_lookup_reply(*keys.garlic_reply_key, *keys.garlic_reply_tag, {*clove});
    if (!garlic) return;
    reply = i2np::I2npPayload{i2np::I2npPayload::Garlic{std::move(*garlic)}};
  }
  auto message = i2np::encode_standard_message(request.next_msg_id, now.wall_ms + kReplyExpirationMs, reply);
  if (!message) return;
  r.send_i2np_to_peer(request.next_ident,
                      i2np::I2npPayload{i2np::I2npPayload::TunnelGateway{request.next_tunnel_id, std::move(*message)}},
                      now);
}

}  // namespace

void AcceptedBuildKeys::prune(std::uint64_t now_ms) {
  while (!order_.empty() && order_.front().accepted_ms + kAcceptedKeyKeepMs <= now_ms) {
    keys_.erase(order_.front().key);
    order_.pop_front();
  }
}

bool AcceptedBuildKeys::contains(ByteView key) const {
  if (key.size() != std::tuple_size_v<Key>) return false;
  Key k;
  std::ranges::copy(key, k.begin());
  return keys_.contains(k);
}

void AcceptedBuildKeys::add(ByteView key, std::uint64_t now_ms) {
  if (key.size() != std::tuple_size_v<Key> || full()) return;
  Key k;
  std::ranges::copy(key, k.begin());
  if (!keys_.insert(k).second) return;
  order_.push_back({k, now_ms});
}

void Router::handle_short_tunnel_build(std::uint32_t msg_id, const std::vector<Bytes>& records, const Now& now) {
  if (try_complete_pending_tunnel_build(msg_id, records, now)) return;
  auto random = ntcp2_net::random_bytes(8);
  if (!random || random->size() != 8) return;
  const std::optional<std::size_t> own_slot = find_own_record(records, router_hash());
  if (!own_slot) return;

  // The cheap refusals come before the X25519.
  if (tunnels.transit.size() >= kMaxTransitHops) return;
  const ByteView ephemeral = tunnel::build_record_ephemeral(records[*own_slot]);
  accepted_build_keys.prune(now.mono_ms);
  if (accepted_build_keys.contains(ephemeral) || accepted_build_keys.full()) return;

  auto opened = tunnel::open_short_build_request(static_keypair, records[*own_slot]);
  if (!opened) return;
  const tunnel::ShortBuildRequestRecord& request = opened->request;
  if (!request_time_acceptable(request.request_time_min, now.wall_s())) return;
  if (receive_id_taken(*this, request.receive_tunnel_id)) return;
  if (!request.is_outbound_endpoint() && request.next_ident == router_hash()) return;

  std::vector<Bytes> out = records;
  std::array<std::uint8_t, 8> reply_random{};
  std::ranges::copy(*random, reply_random.begin());
  if (!tunnel::write_short_build_reply(out, *own_slot, opened->keys, reply_random, 0)) return;

  accepted_build_keys.add(ephemeral, now.mono_ms);
  tunnel::TransitHop hop;
  hop.receive_tunnel_id = request.receive_tunnel_id;
  hop.next_tunnel_id = request.next_tunnel_id;
  hop.next_router = request.next_ident;
  hop.layer_key = opened->keys.layer_key;
  hop.iv_key = opened->keys.iv_key;
  hop.is_endpoint = request.is_outbound_endpoint();
  hop.expires_s = static_cast<std::uint32_t>(now.wall_s()) + transit_lifetime_s(request.expiration_s);
  tunnels.transit.push_back(std::move(hop));

  if (!request.is_outbound_endpoint()) {
    send_i2np_to_peer(request.next_ident, i2np::I2npPayload{i2np::I2npPayload::ShortTunnelBuild{std::move(out)}}, now,
                      request.next_msg_id);
    return;
  }
  send_endpoint_reply(*this, request, opened->keys, std::move(out), now);
}

}  // namespace router
