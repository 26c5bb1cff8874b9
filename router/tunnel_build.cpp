// Building the router's own tunnels: the build message, its reply, the time-outs, and the
// public-mode policy that decides which tunnels to build.
#include <algorithm>
#include <string>
#include <utility>

#include "ratchet/clove.h"
#include "ratchet/router_garlic.h"
#include "router/id_counters.h"
#include "router/peer_log.h"
#include "router/publication.h"
#include "router/random.h"
#include "router/router.h"
#include "tunnel/build_record.h"

namespace router {

namespace {

constexpr std::size_t kMaxHops = 8;
constexpr std::size_t kSmallBuildSlots = 4;
constexpr std::size_t kLargeBuildSlots = 8;
constexpr std::uint32_t kTunnelLifetimeS = 600;
constexpr std::uint32_t kBuildCloveExpirationS = 60;
constexpr std::uint64_t kPublicBuildTimeoutMs = 20000;
constexpr std::uint64_t kPrivateBuildTimeoutMs = 10000;
constexpr std::uint64_t kRejectedHopBackoffMs = 45000;
constexpr std::uint64_t kTimedOutHopBackoffMs = 30000;

// hop i of the tunnel goes into slot perm[i]: a Fisher-Yates shuffle driven by n bytes.
std::vector<std::size_t> shuffle_slots(std::size_t n, ByteView r) {
  std::vector<std::size_t> perm(n);
  for (std::size_t i = 0; i < n; ++i) perm[i] = i;
  for (std::size_t w = n - 1; w >= 1; --w) std::swap(perm[w], perm[r[w] % (w + 1)]);
  return perm;
}

// A hop's X25519 identity key from its RouterInfo in the NetDB.
Result<Bytes> hop_static_key(const Router& r, const common::Hash& hop) {
  const netdb::RouterInfoPtr info = r.netdb.get_router_info(hop);
  if (!info) return fail(RouterError::Message, "missing RouterInfo for tunnel hop");
  const common::KeysAndCert& keys = info->identity.keys_and_cert;
  const common::KeyCertificate* cert = keys.certificate.key();
  if (cert == nullptr || cert->crypto_type != common::CryptoPublicKeyType::X25519) {
    return fail(RouterError::Message, "tunnel hop lacks X25519 crypto identity type");
  }
  Bytes key = keys.crypto_public_key();
  if (key.size() != 32) return fail(RouterError::Message, "tunnel hop lacks X25519 identity key");
  return key;
}

// The build message for hops[0] when it travels through an own outbound tunnel whose
// endpoint is another router: one Local clove in router garlic sealed to hops[0], so the
// endpoint can neither read nor tell it from other garlic.
Result<i2np::I2npPayload> wrap_for_first_hop(ByteView first_hop_key, const i2np::I2npPayload& build,
                                             std::uint32_t msg_id, std::uint32_t now_s) {
  auto clove =
      ratchet::garlic_clove_block(ratchet::CloveDelivery::Local{}, msg_id, now_s + kBuildCloveExpirationS, build);
  if (!clove) return fail(RouterError::Message, "garlic_clove failed");
  auto ephemeral_private = next_rand_32();
  if (!ephemeral_private) return wrap(RouterError::Net, std::move(ephemeral_private.error()));
  auto ephemeral = noise::KeyPair::from_private(*ephemeral_private);
  if (!ephemeral) return wrap(RouterError::Noise, std::move(ephemeral.error()));
  const ratchet::RatchetBlocks blocks{ratchet::RatchetBlock{ratchet::RatchetBlock::DateTime{now_s}}, std::move(*clove)};
  auto garlic = ratchet::encrypt_router_garlic(first_hop_key, *ephemeral, blocks);
  if (!garlic) return fail(RouterError::Message, "encrypt_router_garlic failed");
  return i2np::I2npPayload{i2np::I2npPayload::Garlic{std::move(*garlic)}};
}

bool has_tunnel(const std::vector<tunnel::Tunnel>& list, std::uint32_t id) {
  return std::ranges::any_of(list, [&](const tunnel::Tunnel& t) { return t.tunnel_id == id; });
}

// What one build is: its hops in travel order, its direction, the ids it goes under and the
// inbound tunnel an outbound build's reply comes back through.
struct BuildPlan {
  const std::vector<common::Hash>& hops;
  bool outbound = false;
  const std::optional<tunnel::Tunnel>& reply_tunnel;
  std::uint32_t tunnel_id = 0;     // the new tunnel's id within this router
  std::uint32_t build_msg_id = 0;  // the message id the reply arrives under
  std::uint32_t now_s = 0;

  // An outbound build's endpoint replies into the reply tunnel's gateway; every other
  // build's last hop replies to this router.
  bool reply_through_tunnel() const { return outbound && reply_tunnel && !reply_tunnel->hops.empty(); }
};

// One spec a hop with its X25519 identity key and the tunnel id it receives under; the rest
// of each spec is filled in later.
Result<std::vector<tunnel::ShortHopBuildSpec>> hop_specs(Router& r, const std::vector<common::Hash>& hops) {
  std::vector<tunnel::ShortHopBuildSpec> specs(hops.size());
  for (std::size_t i = 0; i < hops.size(); ++i) {
    auto key = hop_static_key(r, hops[i]);
    if (!key) return std::unexpected(std::move(key.error()));
    specs[i].hop_hash = hops[i];
    specs[i].hop_static_pub = std::move(*key);
    specs[i].request.receive_tunnel_id = take_id(r.next_tunnel_id);
  }
  return specs;
}

// Where hop i sends on: to the next hop, or, from the last one, into this router's inbound
// tunnel, the reply tunnel's gateway, or this router itself; and the hop's role flags.
void route_request(Router& r, const BuildPlan& plan, std::vector<tunnel::ShortHopBuildSpec>& specs, std::size_t i) {
  tunnel::ShortBuildRequestRecord& req = specs[i].request;
  const std::size_t last = plan.hops.size() - 1;
  if (i < last) {
    req.next_tunnel_id = specs[i + 1].request.receive_tunnel_id;
    req.next_ident = plan.hops[i + 1];
    req.next_msg_id = take_id(r.next_msg_id);
  } else {
    const bool via_reply = plan.reply_through_tunnel();
    req.next_tunnel_id = !plan.outbound ? plan.tunnel_id : via_reply ? plan.reply_tunnel->hops[0].receive_tunnel_id : 0;
    req.next_ident = via_reply ? plan.reply_tunnel->hops[0].router : r.router_hash();
    req.next_msg_id = plan.build_msg_id;
  }
  if (!plan.outbound && i == 0) req.flags = tunnel::kBuildFlagInboundGateway;
  if (plan.outbound && i == last) req.flags = tunnel::kBuildFlagOutboundEndpoint;
  req.layer_enc_type = 0;
  req.request_time_min = plan.now_s / 60;
  req.expiration_s = kTunnelLifetimeS;
}

// The hop's one-time key pair for its record and the padding of its request.
Result<void> draw_hop_secrets(FillerRandom& filler_random, tunnel::ShortHopBuildSpec& spec) {
  auto ephemeral_private = random_bytes(32);
  if (!ephemeral_private) return std::unexpected(std::move(ephemeral_private.error()));
  auto ephemeral = noise::KeyPair::from_private(*ephemeral_private);
  if (!ephemeral) return wrap(RouterError::Noise, std::move(ephemeral.error()));
  spec.ephemeral = *ephemeral;
  auto padding = filler_random.bytes(spec.padding.size());
  if (!padding) return std::unexpected(std::move(padding.error()));
  std::ranges::copy(*padding, spec.padding.begin());
  return {};
}

// n records of random bytes: the slots no hop takes keep them, so nobody on the way can
// count the hops.
Result<std::vector<Bytes>> random_records(FillerRandom& filler_random, std::size_t n) {
  auto filler = filler_random.bytes(n * tunnel::kBuildRecordSize);
  if (!filler) return std::unexpected(std::move(filler.error()));
  std::vector<Bytes> records(n);
  for (std::size_t s = 0; s < n; ++s) {
    const auto from = filler->begin() + static_cast<std::ptrdiff_t>(s * tunnel::kBuildRecordSize);
    records[s].assign(from, from + tunnel::kBuildRecordSize);
  }
  return records;
}

// The build message's records: every hop's request encrypted into its slot, the other slots
// random. Gives each hop's keys (slot, keys) in hop order.
Result<std::pair<std::vector<Bytes>, tunnel::SlotKeys>> build_records(Router& r, const BuildPlan& plan,
                                                                      std::vector<tunnel::ShortHopBuildSpec>& specs) {
  const std::size_t n = plan.hops.size() <= kSmallBuildSlots ? kSmallBuildSlots : kLargeBuildSlots;
  auto shuffle = random_bytes(n);
  if (!shuffle) return std::unexpected(std::move(shuffle.error()));
  const std::vector<std::size_t> perm = shuffle_slots(n, *shuffle);
  for (std::size_t i = 0; i < specs.size(); ++i) {
    specs[i].slot_idx = perm[i];
    route_request(r, plan, specs, i);
    if (auto drawn = draw_hop_secrets(r.filler_random, specs[i]); !drawn)
      return std::unexpected(std::move(drawn.error()));
  }
  auto records = random_records(r.filler_random, n);
  if (!records) return std::unexpected(std::move(records.error()));
  auto hop_keys = tunnel::write_short_build_requests(*records, specs);
  if (!hop_keys) return wrap(RouterError::Tunnel, std::move(hop_keys.error()));
  return std::pair{std::move(*records), std::move(*hop_keys)};
}

// The build as it waits for its reply: the tunnel it will be once every hop agrees, and the
// keys that open the reply.
PendingTunnelBuild pending_build(const BuildPlan& plan, const std::vector<tunnel::ShortHopBuildSpec>& specs,
                                 tunnel::SlotKeys hop_keys, const Now& now) {
  PendingTunnelBuild build;
  build.tunnel_id = plan.tunnel_id;
  build.outbound = plan.outbound;
  for (std::size_t i = 0; i < plan.hops.size(); ++i) {
    tunnel::TunnelHop hop;
    hop.router = plan.hops[i];
    hop.receive_tunnel_id = specs[i].request.receive_tunnel_id;
    hop.next_tunnel_id = specs[i].request.next_tunnel_id;
    hop.layer_key = hop_keys[i].second.layer_key;
    hop.iv_key = hop_keys[i].second.iv_key;
    build.hops.push_back(std::move(hop));
  }
  if (plan.outbound && plan.reply_tunnel) {
    build.garlic_reply_key = hop_keys.back().second.garlic_reply_key;
    build.garlic_reply_tag = hop_keys.back().second.garlic_reply_tag;
  }
  build.hop_keys = std::move(hop_keys);
  build.msg_id = plan.build_msg_id;
  build.started_s = plan.now_s;
  build.expires_s = plan.now_s + kTunnelLifetimeS;
  build.started_ms = now.mono_ms;
  return build;
}

// Sends the build message to hops[0]: through send_via when that own tunnel still exists (in
// garlic sealed to hops[0] unless send_via ends at hops[0] itself), else directly.
Result<void> send_build_message(Router& r, const BuildPlan& plan, ByteView first_hop_key, std::vector<Bytes> records,
                                const std::optional<tunnel::Tunnel>& send_via, const Now& now) {
  // A one-hop inbound build comes back under the header id itself; every other build
  // comes back under build_msg_id from its last hop.
  const std::uint32_t header_id = !plan.outbound && plan.hops.size() == 1 ? plan.build_msg_id : take_id(r.next_msg_id);
  i2np::I2npPayload message{i2np::I2npPayload::ShortTunnelBuild{std::move(records)}};
  const bool via_exists = send_via && (has_tunnel(r.tunnels.outbound, send_via->tunnel_id) ||
                                       has_tunnel(r.tunnels.inbound, send_via->tunnel_id));
  if (!via_exists) {
    r.send_i2np_to_peer(plan.hops[0], std::move(message), now, header_id);
    return {};
  }
  const tunnel::TunnelDelivery to_first{tunnel::TunnelDelivery::Router{plan.hops[0]}};
  if (!send_via->hops.empty() && send_via->hops.back().router == plan.hops[0]) {
    return r.send_through_tunnel(send_via->tunnel_id, to_first, message, header_id, now);
  }
  auto wrapped = wrap_for_first_hop(first_hop_key, message, plan.build_msg_id, plan.now_s);
  if (!wrapped) return std::unexpected(std::move(wrapped.error()));
  return r.send_through_tunnel(send_via->tunnel_id, to_first, *wrapped, std::nullopt, now);
}

}  // namespace

Result<std::uint32_t> Router::build_tunnel(const std::vector<common::Hash>& hops, bool outbound,
                                           const std::optional<tunnel::Tunnel>& reply_tunnel,
                                           const std::optional<tunnel::Tunnel>& send_via, const Now& now) {
  if (hops.empty() || hops.size() > kMaxHops) {
    return fail(RouterError::Message, msg("tunnel hop count must be 1..8, got ", hops.size()));
  }
  const BuildPlan plan{.hops = hops,
                       .outbound = outbound,
                       .reply_tunnel = reply_tunnel,
                       .tunnel_id = take_id(next_tunnel_id),
                       .build_msg_id = take_id(next_msg_id),
                       .now_s = static_cast<std::uint32_t>(now.wall_s())};
  auto specs = hop_specs(*this, hops);
  if (!specs) return std::unexpected(std::move(specs.error()));
  auto built = build_records(*this, plan, *specs);
  if (!built) return std::unexpected(std::move(built.error()));
  auto& [records, hop_keys] = *built;
  pending_builds.push_back(pending_build(plan, *specs, std::move(hop_keys), now));
  if (auto sent = send_build_message(*this, plan, specs->front().hop_static_pub, std::move(records), send_via, now);
      !sent) {
    return std::unexpected(std::move(sent.error()));
  }
  return plan.tunnel_id;
}

bool Router::try_complete_pending_tunnel_build(std::uint32_t msg_id, const std::vector<Bytes>& records,
                                               const Now& now) {
  const auto found =
      std::ranges::find_if(pending_builds, [&](const PendingTunnelBuild& b) { return b.msg_id == msg_id; });
  if (found == pending_builds.end()) return false;
  // Message ids are sequential and seen by every link peer: a reply counts only when every
  // hop's record authenticates, so a guessed id cannot end the build.
  auto codes = tunnel::open_short_build_replies(records, found->hop_keys);
  if (!codes) {
    print_debug_line(debug, "[debug] tunnel build " + std::to_string(found->tunnel_id) + " reply decrypt failed");
    return false;
  }
  PendingTunnelBuild build = std::move(*found);
  pending_builds.erase(found);

  bool rejected = false;
  for (std::size_t k = 0; k < codes->size(); ++k) {
    if ((*codes)[k] == 0) continue;
    rejected = true;
    if (public_mode) mark_peer_failed(build.hops[k].router, kRejectedHopBackoffMs, now);
    print_debug_line(debug, "[debug] tunnel build " + std::to_string(build.tunnel_id) + " hop " + std::to_string(k) +
                                " rejected code=" + std::to_string((*codes)[k]));
  }
  if (rejected) return true;

  tunnel::Tunnel built;
  built.tunnel_id = build.tunnel_id;
  built.outbound = build.outbound;
  built.hops = std::move(build.hops);
  built.started_s = build.started_s;
  built.expires_s = build.expires_s;
  const std::size_t hop_count = built.hops.size();
  (build.outbound ? tunnels.outbound : tunnels.inbound).push_back(std::move(built));
  print_debug_line(debug, "[debug] built " + std::string(build.outbound ? "Outbound" : "Inbound") + " tunnel " +
                              std::to_string(build.tunnel_id) + " (" + std::to_string(hop_count) +
                              "h) [in=" + std::to_string(tunnels.inbound.size()) +
                              " out=" + std::to_string(tunnels.outbound.size()) + "]");
  // A new inbound tunnel changes every session's leases; a new outbound one lets out what
  // waited for it.
  if (build.outbound) {
    publish_unconfirmed_sessions(*this, now);
  } else {
    republish_all_sessions(now);
  }
  return true;
}

void Router::poll_tunnel_builds(const Now& now) {
  const std::uint64_t now_s = now.wall_s();
  std::erase_if(tunnels.inbound, [&](const tunnel::Tunnel& t) { return now_s >= t.expires_s; });
  std::erase_if(tunnels.outbound, [&](const tunnel::Tunnel& t) { return now_s >= t.expires_s; });
  std::erase_if(tunnels.transit, [&](const tunnel::TransitHop& h) { return now_s >= h.expires_s; });
  accepted_build_keys.prune(now.mono_ms);

  const std::uint64_t timeout_ms = public_mode ? kPublicBuildTimeoutMs : kPrivateBuildTimeoutMs;
  std::erase_if(pending_builds, [&](const PendingTunnelBuild& b) {
    if (b.started_ms + timeout_ms >= now.mono_ms) return false;
    if (public_mode) {
      for (const tunnel::TunnelHop& hop : b.hops) mark_peer_failed(hop.router, kTimedOutHopBackoffMs, now);
      print_debug_line(debug, "[debug] tunnel build " + std::to_string(b.tunnel_id) + " timed out");
    }
    return true;
  });
}

namespace {

std::size_t pending_count(const Router& r, bool outbound) {
  return static_cast<std::size_t>(
      std::ranges::count_if(r.pending_builds, [&](const PendingTunnelBuild& b) { return b.outbound == outbound; }));
}

// Inbound tunnels: two are wanted (four while longer ones can be built and at most one
// exists), each ending at a different connected router. A longer one's build message goes
// out through an own outbound tunnel.
void build_inbound_by_policy(Router& r, const Now& now) {
  const std::size_t n_in = pending_count(r, false);
  const std::size_t in_count = r.tunnels.inbound.size();
  const std::size_t out_count = r.tunnels.outbound.size();
  const auto hop_count = static_cast<std::size_t>(std::max(r.tunnel_hops, 1));
  const std::size_t long_inbound = static_cast<std::size_t>(
      std::ranges::count_if(r.tunnels.inbound, [&](const tunnel::Tunnel& t) { return t.hops.size() >= hop_count; }));
  const bool grow = r.tunnel_hops > 1 && in_count > 0 && out_count > 0 && long_inbound <= 1;
  if (n_in >= 2 || n_in + in_count >= (grow ? 4u : 2u)) return;
  std::vector<common::Hash> excluded;
  for (const tunnel::Tunnel& t : r.tunnels.inbound) {
    if (!t.hops.empty()) excluded.push_back(t.hops.back().router);
  }
  for (const PendingTunnelBuild& b : r.pending_builds) {
    if (!b.outbound && !b.hops.empty()) excluded.push_back(b.hops.back().router);
  }
  const auto hop = r.pick_connected_hop(excluded, now);
  if (!hop) return;
  if (r.tunnel_hops < 2 || in_count == 0 || out_count == 0) {
    (void)r.build_tunnel({*hop}, false, std::nullopt, std::nullopt, now);
    return;
  }
  const tunnel::Tunnel via = r.tunnels.outbound.front();
  excluded.push_back(*hop);
  if (!via.hops.empty()) excluded.push_back(via.hops.back().router);
  std::optional<common::Hash> gateway = r.pick_connected_hop(excluded, now);
  if (!gateway) {
    const auto usable = r.pick_usable_peers(1, excluded, now);
    if (!usable.empty()) gateway = usable.front();
  }
  if (gateway) (void)r.build_tunnel({*gateway, *hop}, false, std::nullopt, via, now);
}

// Outbound tunnels, once an inbound one exists to carry their replies: two are wanted; a
// longer one starts at a connected router.
void build_outbound_by_policy(Router& r, const Now& now) {
  const std::size_t n_out = pending_count(r, true);
  if (r.tunnels.inbound.empty() || n_out + r.tunnels.outbound.size() > 1 || n_out > 2) return;
  const tunnel::Tunnel reply = r.tunnels.inbound.front();
  if (reply.hops.empty()) return;
  std::vector<common::Hash> excluded{reply.hops.front().router};
  for (const PendingTunnelBuild& b : r.pending_builds) {
    if (!b.outbound) continue;
    for (const tunnel::TunnelHop& h : b.hops) excluded.push_back(h.router);
  }
  const auto connected_or_usable = [&]() -> std::optional<common::Hash> {
    if (auto hop = r.pick_connected_hop(excluded, now)) return hop;
    const auto usable = r.pick_usable_peers(1, excluded, now);
    if (usable.empty()) return std::nullopt;
    return usable.front();
  };
  if (r.tunnel_hops < 2) {
    if (const auto hop = connected_or_usable()) (void)r.build_tunnel({*hop}, true, reply, std::nullopt, now);
    return;
  }
  const auto first = r.pick_connected_hop(excluded, now);
  if (!first) return;
  excluded.push_back(*first);
  if (const auto second = connected_or_usable()) {
    (void)r.build_tunnel({*first, *second}, true, reply, std::nullopt, now);
  }
}

}  // namespace

void Router::run_build_policy(const Now& now) {
  build_inbound_by_policy(*this, now);
  build_outbound_by_policy(*this, now);
}

// Build time-outs, and the end dates of own and transit tunnels (unix seconds, turned into
// monotonic instants through now).
std::uint64_t next_builds_wake_ms(const Router& r, const Now& now) {
  std::uint64_t wake = kNoWakeDeadline;
  const auto due = [&](std::uint64_t at) { wake = std::min(wake, std::max(at, now.mono_ms)); };
  const std::uint64_t timeout_ms = r.public_mode ? kPublicBuildTimeoutMs : kPrivateBuildTimeoutMs;
  for (const PendingTunnelBuild& b : r.pending_builds) due(b.started_ms + timeout_ms + 1);
  const auto ends = [&](std::uint64_t expires_s) {
    const std::uint64_t end_ms = expires_s * 1000;
    due(end_ms > now.wall_ms ? now.mono_ms + (end_ms - now.wall_ms) : now.mono_ms);
  };
  for (const tunnel::Tunnel& t : r.tunnels.inbound) ends(t.expires_s);
  for (const tunnel::Tunnel& t : r.tunnels.outbound) ends(t.expires_s);
  for (const tunnel::TransitHop& h : r.tunnels.transit) ends(h.expires_s);
  return wake;
}

}  // namespace router
