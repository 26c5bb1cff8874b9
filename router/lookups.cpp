// The router's own NetDB lookups: starting them, choosing whom to ask, each query, the
// pass that re-asks and expires them, search replies, and answering the SAM clients that
// wait for them.
//
// Every query carries a seal (key and tag) of its own. The routers asked answer under the
// seal they were given with ChaCha20-Poly1305 and a zero nonce, so two answers under one
// seal would share key and nonce and give away keystream and MAC key to whoever sees both.
#include <algorithm>
#include <string>
#include <utility>

#include "i2np/payload.h"
#include "netdb/utc_date.h"
#include "ntcp2_net/random.h"
#include "router/peer_log.h"
#include "router/router.h"
#include "router/sealed_for_router.h"

namespace router {

namespace {

constexpr std::size_t kClientLookupPeers = 6;
constexpr std::size_t kBackgroundLookupPeers = 3;
constexpr std::size_t kRequeryPeers = 2;
constexpr std::size_t kExcludedPeers = 8;
constexpr std::size_t kMaxClientQueried = 16;  // a LeaseSet lookup re-asks while fewer were asked
constexpr std::size_t kSearchReplyQueriedPublic = 16;
constexpr std::size_t kSearchReplyQueried = 8;
constexpr std::size_t kMaxFetchPerReply = 4;
// Search replies start background lookups and SAM clients start client lookups: neither
// may grow the list without end.
constexpr std::size_t kMaxBackgroundLookups = 64;
constexpr std::size_t kMaxClientLookups = 256;
constexpr std::uint64_t kClientRequeryMs = 2500;
constexpr std::uint64_t kClientTimeoutPublicMs = 25000;
constexpr std::uint64_t kClientTimeoutMs = 8000;
constexpr std::uint64_t kBackgroundRequeryMs = 3000;
constexpr std::uint64_t kBackgroundTimeoutMs = 15000;
constexpr std::uint8_t kFlagReplyThroughTunnel = i2np::I2npPayload::DatabaseLookup::kFlagTunnelReply;
constexpr std::uint8_t kFlagEciesReply = i2np::I2npPayload::DatabaseLookup::kFlagEciesTags;

Result<ReplySeal> draw_reply_seal() {
  auto key = ntcp2_net::random_bytes(32);
  if (!key) return wrap(RouterError::Net, std::move(key.error()));
  auto tag = ntcp2_net::random_bytes(8);
  if (!tag) return wrap(RouterError::Net, std::move(tag.error()));
  ReplySeal seal;
  std::copy(key->begin(), key->end(), seal.key.begin());
  std::copy(tag->begin(), tag->end(), seal.tag.begin());
  return seal;
}

bool is_client_lookup(const PendingNetDbLookup& l) { return l.purpose != kLookupInBackground; }

std::size_t count_lookups(const std::vector<PendingNetDbLookup>& list, bool client) {
  return static_cast<std::size_t>(std::count_if(
      list.begin(), list.end(), [&](const PendingNetDbLookup& l) { return is_client_lookup(l) == client; }));
}

// A query goes through tunnels when an outbound tunnel can carry it and an inbound one
// with a gateway can bring the answer.
bool tunnels_carry_queries(const tunnel::TunnelManager& tunnels) {
  return !tunnels.inbound.empty() && !tunnels.outbound.empty() && !tunnels.inbound.front().hops.empty();
}

// A client lookup sent directly would tell the asked router which router wants the
// destination: in public mode client lookups go only through tunnels.
bool lookup_may_go_out(const Router& r, const PendingNetDbLookup& l) {
  return !r.public_mode || !is_client_lookup(l) || tunnels_carry_queries(r.tunnels);
}

// The SAM client waiting for a lookup, when it is still there and open.
SamClientConn* waiting_client(Router& r, const PendingNetDbLookup& l) {
  SamClientConn* c = r.find_sam_client(l.client_index);
  return c == nullptr || c->closed ? nullptr : c;
}

void answer_found(Router& r, const PendingNetDbLookup& l, const common::LeaseSet2& lease_set, const Now& now) {
  SamClientConn* client = waiting_client(r, l);
  if (client == nullptr) return;
  if (l.purpose == kLookupForNaming) {
    send_sam_line(*client, "NAMING REPLY RESULT=OK NAME=" + l.name + " VALUE=" + lease_set.destination.to_base64());
  } else if (l.purpose == kLookupForStreamConnect) {
    r.finish_remote_stream_connect(l, lease_set, now);
  }
}

void answer_timed_out(Router& r, const PendingNetDbLookup& l) {
  SamClientConn* client = waiting_client(r, l);
  if (client == nullptr) return;
  if (l.purpose == kLookupForNaming) {
    send_sam_line(*client, "NAMING REPLY RESULT=KEY_NOT_FOUND NAME=" + l.name);
  } else if (l.purpose == kLookupForStreamConnect) {
    if (!l.silent) send_sam_line(*client, "STREAM STATUS RESULT=CANT_REACH_PEER");
    close_sam_client(*client);
  }
}

}  // namespace

bool Router::has_pending_lookup(const common::Hash& key, LookupKind lookup_type) const {
  return std::any_of(pending_lookups.begin(), pending_lookups.end(),
                     [&](const PendingNetDbLookup& l) { return l.key == key && l.lookup_type == lookup_type; });
}

std::vector<common::Hash> Router::select_lookup_peers(const common::Hash& key,
                                                      const std::vector<common::Hash>& excluded, std::uint32_t now_s,
                                                      std::size_t n) const {
  std::vector<common::Hash> exclusion{router_hash()};
  exclusion.insert(exclusion.end(), excluded.begin(), excluded.end());
  const std::string date = netdb::format_utc_date(now_s);
  std::vector<netdb::RouterInfoPtr> found = netdb.closest_peers(key, date, n, true, exclusion);
  if (found.empty()) found = netdb.closest_peers(key, date, n, false, exclusion);
  std::vector<common::Hash> peers;
  peers.reserve(found.size());
  for (const netdb::RouterInfoPtr& info : found) peers.push_back(info->identity.keys_and_cert.hash());
  return peers;
}

Result<void> Router::send_lookup_query(PendingNetDbLookup& lookup, const common::Hash& peer, const Now& now) {
  auto seal = draw_reply_seal();
  if (!seal) return std::unexpected(std::move(seal.error()));
  if (lookup.replies.size() >= kMaxReplySeals) lookup.replies.erase(lookup.replies.begin());
  lookup.replies.push_back(*seal);
  if (!is_peer_in_list(peer, lookup.queried)) lookup.queried.push_back(peer);
  lookup.last_query_ms = now.mono_ms;

  i2np::I2npPayload::DatabaseLookup message;
  message.key = lookup.key;
  const std::size_t first_excluded =
      lookup.queried.size() > kExcludedPeers ? lookup.queried.size() - kExcludedPeers : 0;
  message.excluded_peers.assign(lookup.queried.begin() + static_cast<std::ptrdiff_t>(first_excluded),
                                lookup.queried.end());
  message.reply_key = Bytes(seal->key.begin(), seal->key.end());
  message.reply_tags = {Bytes(seal->tag.begin(), seal->tag.end())};
  const std::uint8_t type_bits = lookup_flag_bits(lookup.lookup_type);

  if (tunnels_carry_queries(tunnels)) {
    const std::size_t q = lookup.queried.size();
    const tunnel::Tunnel* reply_tunnel = &tunnels.inbound[q % tunnels.inbound.size()];
    if (reply_tunnel->hops.empty()) reply_tunnel = &tunnels.inbound.front();
    const tunnel::TunnelHop& gateway = reply_tunnel->hops.front();
    const std::uint32_t outbound_id = tunnels.outbound[q % tunnels.outbound.size()].tunnel_id;
    message.from = gateway.router;
    message.flags = static_cast<std::uint8_t>(type_bits | kFlagEciesReply | kFlagReplyThroughTunnel);
    message.reply_tunnel_id = gateway.receive_tunnel_id;
    const i2np::I2npPayload plain{message};
    const std::optional<i2np::I2npPayload> wrapped = seal_for_router(*this, peer, plain, now);
    auto sent = send_through_tunnel(outbound_id, tunnel::TunnelDelivery{tunnel::TunnelDelivery::Router{peer}},
                                    wrapped ? *wrapped : plain, std::nullopt, now);
    if (sent) {
      if (debug) {
        print_debug_line(debug, "[debug] NetDB lookup type=" + std::to_string(static_cast<int>(lookup.lookup_type)) +
                                    " key=" + lookup.key.to_b32_address() + " -> peer=" + peer.to_b32_address() +
                                    " via tunnel " + std::to_string(outbound_id) +
                                    " (reply_ibgw=" + gateway.router.to_b32_address() + ":" +
                                    std::to_string(gateway.receive_tunnel_id) + ")");
      }
      return {};
    }
    if (public_mode && is_client_lookup(lookup)) {
      print_debug_line(debug,
                       "[debug] NetDB lookup through tunnel failed, not sent directly: " + to_string(sent.error()));
      return {};
    }
  } else if (public_mode && is_client_lookup(lookup)) {
    return {};  // the callers wait for tunnels; nothing goes out directly
  }

  message.from = router_hash();
  message.flags = static_cast<std::uint8_t>(type_bits | kFlagEciesReply);
  message.reply_tunnel_id = std::nullopt;
  send_i2np_to_peer(peer, i2np::I2npPayload{std::move(message)}, now);
  return {};
}

bool Router::start_polled_lease_set_lookup(const common::Hash& key, const Now& now) {
  return start_netdb_lookup(key, kLookupPolled, -1, "", "", true, 0, 0, now);
}

bool Router::start_netdb_lookup(const common::Hash& key, std::uint32_t purpose, std::int32_t client_index,
                                std::string_view name, std::string_view session_id, bool silent,
                                std::uint32_t from_port, std::uint32_t to_port, const Now& now) {
  if (count_lookups(pending_lookups, true) >= kMaxClientLookups) return false;
  const std::vector<common::Hash> peers = select_lookup_peers(key, {}, now.wall_s(), kClientLookupPeers);
  if (peers.empty()) return false;

  PendingNetDbLookup lookup;
  lookup.key = key;
  lookup.lookup_type = LookupKind::LeaseSet;
  lookup.purpose = purpose;
  lookup.client_index = client_index;
  lookup.name = std::string(name);
  lookup.session_id = std::string(session_id);
  lookup.silent = silent;
  lookup.from_port = from_port;
  lookup.to_port = to_port;
  lookup.started_ms = now.mono_ms;
  lookup.last_query_ms = now.mono_ms;
  pending_lookups.push_back(std::move(lookup));
  PendingNetDbLookup& added = pending_lookups.back();

  if (!lookup_may_go_out(*this, added)) {
    added.candidates = peers;  // asked by the lookup pass once tunnels exist
    return true;
  }
  const std::size_t first = public_mode && peers.size() >= 2 ? 2 : 1;
  for (std::size_t i = 0; i < first; ++i) {
    if (!send_lookup_query(added, peers[i], now) && i == 0) {
      pending_lookups.pop_back();
      return false;
    }
  }
  added.candidates.assign(peers.begin() + static_cast<std::ptrdiff_t>(first), peers.end());
  return true;
}

void Router::start_background_lookup(const common::Hash& key, LookupKind lookup_type, const Now& now,
                                     std::optional<common::Hash> first_peer) {
  if (count_lookups(pending_lookups, false) >= kMaxBackgroundLookups) return;
  std::vector<common::Hash> ask;
  if (first_peer && *first_peer != router_hash()) ask.push_back(*first_peer);
  for (const common::Hash& peer : select_lookup_peers(key, {}, now.wall_s(), kBackgroundLookupPeers)) {
    if (!is_peer_in_list(peer, ask)) ask.push_back(peer);
  }
  if (ask.empty()) return;

  PendingNetDbLookup lookup;
  lookup.key = key;
  lookup.lookup_type = lookup_type;
  lookup.purpose = kLookupInBackground;
  lookup.started_ms = now.mono_ms;
  lookup.last_query_ms = now.mono_ms;
  lookup.candidates.assign(ask.begin() + 1, ask.end());
  pending_lookups.push_back(std::move(lookup));
  if (!send_lookup_query(pending_lookups.back(), ask.front(), now)) pending_lookups.pop_back();
}

void Router::step_pending_lookups(const Now& now) {
  const std::uint32_t now_s = now.wall_s();
  // Answering may close SAM clients or start lookups: the list is read again after each.
  for (std::size_t i = 0; i < pending_lookups.size();) {
    PendingNetDbLookup& l = pending_lookups[i];
    if (!is_client_lookup(l)) {
      const bool found = l.lookup_type == LookupKind::RouterInfo && netdb.get_router_info(l.key) != nullptr;
      if (found || l.started_ms + kBackgroundTimeoutMs < now.mono_ms) {
        pending_lookups.erase(pending_lookups.begin() + static_cast<std::ptrdiff_t>(i));
        continue;
      }
      if (l.last_query_ms + kBackgroundRequeryMs < now.mono_ms && !l.candidates.empty()) {
        const common::Hash peer = l.candidates.front();
        l.candidates.erase(l.candidates.begin());
        (void)send_lookup_query(l, peer, now);
      }
      ++i;
      continue;
    }

    if (const netdb::LeaseSet2Ptr lease_set = netdb.get_lease_set2(l.key, now_s)) {
      const PendingNetDbLookup done = std::move(l);
      pending_lookups.erase(pending_lookups.begin() + static_cast<std::ptrdiff_t>(i));
      answer_found(*this, done, *lease_set, now);
      continue;
    }
    if (public_mode && l.queried.size() < kMaxClientQueried && l.last_query_ms + kClientRequeryMs < now.mono_ms) {
      if (!lookup_may_go_out(*this, l)) {
        l.last_query_ms = now.mono_ms;
      } else if (l.candidates.empty()) {
        const std::vector<common::Hash> peers = select_lookup_peers(l.key, l.queried, now_s, kRequeryPeers);
        if (peers.empty()) {
          l.last_query_ms = now.mono_ms;
        } else {
          (void)send_lookup_query(l, peers.front(), now);
        }
      } else {
        // One already asked is skipped without a query; the next pass takes the next.
        const common::Hash peer = l.candidates.front();
        l.candidates.erase(l.candidates.begin());
        if (!is_peer_in_list(peer, l.queried)) (void)send_lookup_query(l, peer, now);
      }
    }
    if (l.started_ms + (public_mode ? kClientTimeoutPublicMs : kClientTimeoutMs) < now.mono_ms) {
      const PendingNetDbLookup done = std::move(l);
      pending_lookups.erase(pending_lookups.begin() + static_cast<std::ptrdiff_t>(i));
      answer_timed_out(*this, done);
      continue;
    }
    ++i;
  }
}

void Router::complete_lookups_for_hash(const common::Hash& key, const Now& now) {
  const netdb::LeaseSet2Ptr lease_set = netdb.get_lease_set2(key, now.wall_s());
  if (!lease_set) return;
  std::vector<PendingNetDbLookup> done;
  std::erase_if(pending_lookups, [&](PendingNetDbLookup& l) {
    if (l.key != key) return false;
    done.push_back(std::move(l));
    return true;
  });
  for (const PendingNetDbLookup& l : done) answer_found(*this, l, *lease_set, now);
}

void Router::handle_database_search_reply_msg(const i2np::I2npPayload::DatabaseSearchReply& reply, const Now& now) {
  if (debug) {
    print_debug_line(debug, "[debug] NetDB DatabaseSearchReply key=" + reply.key.to_b32_address() +
                                " refs=" + std::to_string(reply.peers.size()) + " from=" + reply.from.to_b32_address());
  }
  const common::Hash own = router_hash();
  const std::size_t queried_limit = public_mode ? kSearchReplyQueriedPublic : kSearchReplyQueried;
  std::vector<common::Hash> fetch;
  for (std::size_t i = 0; i < pending_lookups.size(); ++i) {
    PendingNetDbLookup& l = pending_lookups[i];
    // Anyone can send a search reply: only one from a router this lookup asked counts.
    if (l.key != reply.key || !is_peer_in_list(reply.from, l.queried)) continue;
    // The candidates are routers the NetDB knows, without repeats, so the NetDB's bound
    // is theirs.
    for (const common::Hash& peer : reply.peers) {
      if (peer == own || is_peer_in_list(peer, l.queried) || is_peer_in_list(peer, l.candidates)) continue;
      if (netdb.get_router_info(peer)) {
        l.candidates.push_back(peer);
      } else if (l.lookup_type != LookupKind::RouterInfo && fetch.size() < kMaxFetchPerReply &&
                 !is_peer_in_list(peer, fetch)) {
        fetch.push_back(peer);
      }
    }
    if (!lookup_may_go_out(*this, l)) continue;
    while (!l.candidates.empty() && l.queried.size() < queried_limit) {
      const common::Hash next = l.candidates.front();
      l.candidates.erase(l.candidates.begin());
      if (is_peer_in_list(next, l.queried)) continue;
      (void)send_lookup_query(l, next, now);
      break;
    }
  }
  for (const common::Hash& h : fetch) {
    if (!has_pending_lookup(h, LookupKind::RouterInfo)) {
      start_background_lookup(h, LookupKind::RouterInfo, now, reply.from);
    }
  }
}

void Router::finish_remote_stream_connect(const PendingNetDbLookup& lookup, const common::LeaseSet2& lease_set,
                                          const Now& now) {
  SamClientConn* client = find_sam_client(lookup.client_index);
  if (client == nullptr || client->closed) return;
  const SamSession* session = find_session_by_id(sessions, lookup.session_id);
  if (session == nullptr) {
    if (!lookup.silent) send_sam_line(*client, "STREAM STATUS RESULT=INVALID_ID");
    close_sam_client(*client);
    return;
  }
  initiate_remote_stream(client->id, *session, lease_set.destination, lease_set, lookup.silent, lookup.from_port,
                         lookup.to_port, now);
}

// Time-outs and re-queries of the pending lookups; each is due one millisecond after its
// instant, when the lookup pass first sees it passed.
std::uint64_t next_lookups_wake_ms(const Router& r, const Now& now) {
  std::uint64_t wake = kNoWakeDeadline;
  const auto due = [&](std::uint64_t at) { wake = std::min(wake, std::max(at, now.mono_ms)); };
  for (const PendingNetDbLookup& l : r.pending_lookups) {
    if (!is_client_lookup(l)) {
      due(l.started_ms + kBackgroundTimeoutMs + 1);
      if (!l.candidates.empty()) due(l.last_query_ms + kBackgroundRequeryMs + 1);
      continue;
    }
    if (r.public_mode && l.queried.size() < kMaxClientQueried) due(l.last_query_ms + kClientRequeryMs + 1);
    due(l.started_ms + (r.public_mode ? kClientTimeoutPublicMs : kClientTimeoutMs) + 1);
  }
  return wake;
}

}  // namespace router
