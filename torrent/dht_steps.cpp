// The engine's DHT over datagrams of the torrent session: queries go out as signed
// repliable datagrams, replies as raw datagrams; incoming queries are answered, replies to
// our own queries bring nodes, peers and tokens; timers ping bootstrap nodes, refresh the
// table around our own id and sweep get_peers for each running torrent.
//
// Raw datagrams carry no sender, so a reply is tied to its query by the transaction id
// alone: ids are drawn at random and a reply counts only while its id is pending, once.
#include <algorithm>
#include <string>

#include "encoding/i2cp_gzip.h"
#include "router/destinations.h"
#include "router/peer_log.h"
#include "router/poll_set.h"
#include "router/random.h"
#include "router/router.h"
#include "streaming/datagram.h"
#include "torrent/dht_steps.h"
#include "torrent/engine.h"
#include "torrent/peer_steps.h"
#include "torrent/wake_deadlines.h"

namespace router {

namespace {

constexpr std::uint8_t kProtoRepliable = 17;
constexpr std::uint8_t kProtoRaw = 18;
constexpr std::size_t kMaxLookupsForQuery = 15;
constexpr std::uint64_t kLeaseAttachWindowMs = 30'000;
constexpr std::uint64_t kBootstrapLifetimeMs = 30'000;
constexpr std::size_t kMaxBootstrapQueue = 64;
constexpr std::uint64_t kRefreshPublicMs = 60'000;
constexpr std::uint64_t kRefreshLocalMs = 25'000;
constexpr std::size_t kRefreshSkipPending = 15;
constexpr std::uint64_t kSweepIdlePublicMs = 5'000;
constexpr std::uint64_t kSweepIdleLocalMs = 800;
constexpr std::uint64_t kSweepPublicMs = 45'000;
constexpr std::uint64_t kSweepLocalMs = 15'000;
constexpr std::size_t kSweepSkipPending = 23;
constexpr std::size_t kNoGetPeersPending = 24;
constexpr int kSweepClosest = 12;
constexpr int kSweepSends = 3;
constexpr int kMaxFollowUps = 3;
constexpr std::size_t kFollowUpMaxKnownPeers = 7;
constexpr std::uint64_t kGetPeersCooldownPublicMs = 60'000;
constexpr std::uint64_t kGetPeersCooldownLocalMs = 1'500;
constexpr std::uint64_t kAnnounceCooldownPublicMs = 300'000;
constexpr std::uint64_t kAnnounceCooldownLocalMs = 5'000;
constexpr int kAnswerNodes = 8;

std::uint32_t port_or_default(std::uint32_t port) { return port == 0 ? bittorrent::kDhtQueryPort : port; }

const char* query_name(const bittorrent::KrpcQuery& q) {
  struct Name {
    const char* operator()(const bittorrent::KrpcQuery::Ping&) const { return "ping"; }
    const char* operator()(const bittorrent::KrpcQuery::FindNode&) const { return "find_node"; }
    const char* operator()(const bittorrent::KrpcQuery::GetPeers&) const { return "get_peers"; }
    const char* operator()(const bittorrent::KrpcQuery::AnnouncePeer&) const { return "announce_peer"; }
  };
  return std::visit(Name{}, q.kind);
}

// A fresh 4-byte transaction id from the random device, distinct from every pending one.
std::optional<Bytes> fresh_tid(const bittorrent::I2pDht& dht) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    auto tid = random_bytes(4);
    if (!tid) return std::nullopt;
    const bool taken = std::any_of(dht.pending.begin(), dht.pending.end(),
                                   [&](const bittorrent::DhtPendingTx& p) { return p.tid == *tid; });
    if (!taken) return std::move(*tid);
  }
  return std::nullopt;
}

// A querier that sent from port p is answered on p + 1; 65535 stays, 0 counts as 6881.
std::uint32_t reply_port_for(std::uint32_t source_port) {
  if (source_port == 0) return bittorrent::kDhtReplyPort;
  if (source_port >= 65535) return 65535;
  return source_port + 1;
}

bool has_node(const bittorrent::I2pDht& dht, const common::Hash& hash, std::uint32_t port) {
  return std::any_of(dht.nodes.begin(), dht.nodes.end(),
                     [&](const bittorrent::DhtNode& n) { return n.hash == hash && n.port == port; });
}

Bytes to_value(const common::Hash& h) { return Bytes(h.bytes.begin(), h.bytes.end()); }

// The first instant at which each DHT timer is due: its step acts from then on, and the
// loop's wait ends then (next_torrent_dht_wake_ms). A sweep never made is due at once.
std::uint64_t bootstrap_due_ms(const DhtBootstrapEntry& e) { return e.queued_ms + kBootstrapLifetimeMs + 1; }
std::uint64_t refresh_due_ms(const Router& r, const TorrentEngine& engine) {
  return engine.last_dht_refresh_ms + (r.public_mode ? kRefreshPublicMs : kRefreshLocalMs);
}
std::uint64_t sweep_due_ms(const Router& r, const ActiveTorrent& torrent) {
  if (torrent.last_get_peers_ms == 0) return 0;
  const bool pub = r.public_mode;
  const bool idle = torrent.known_peers.empty() && !torrent.completed;
  const std::uint64_t period =
      idle ? (pub ? kSweepIdlePublicMs : kSweepIdleLocalMs) : (pub ? kSweepPublicMs : kSweepLocalMs);
  return torrent.last_get_peers_ms + period;
}

}  // namespace

std::uint32_t bt_dht_reply_port(std::uint32_t source_port) { return reply_port_for(source_port); }

std::optional<DhtOutgoingQuery> bt_dht_prepare_query(const bittorrent::I2pDht& dht, const SamSession& session,
                                                     const common::Hash& dest, std::uint32_t port,
                                                     const bittorrent::KrpcQuery& query,
                                                     const std::optional<Bytes>& info_hash, std::uint64_t now_wall_ms) {
  if (!session.signing_key) return std::nullopt;
  std::optional<Bytes> tid = fresh_tid(dht);
  if (!tid) return std::nullopt;
  const Bytes krpc = bittorrent::encode_krpc(bittorrent::KrpcMessage{
      bittorrent::KrpcMessage::Query{*tid, Bytes(dht.node_id.begin(), dht.node_id.end()), query}});
  auto datagram = streaming::write_repliable_datagram(session.destination, *session.signing_key, krpc);
  if (!datagram) return std::nullopt;
  const std::uint32_t to_port = port_or_default(port);
  DhtOutgoingQuery out;
  out.envelope = encoding::i2cp_gzip_wrap(*datagram, static_cast<std::uint16_t>(dht.query_port),
                                          static_cast<std::uint16_t>(to_port), kProtoRepliable);
  out.pending = bittorrent::DhtPendingTx{std::move(*tid), query_name(query), info_hash, dest, to_port, now_wall_ms};
  return out;
}

bool Router::send_dht_query(TorrentEngine& engine, SamSession& session, const common::Hash& dest, std::uint32_t port,
                            const bittorrent::KrpcQuery& query, const Now& now, const std::optional<Bytes>& info_hash) {
  if (dest == session.dest_hash) return false;
  if (!session.signing_key) return false;
  const std::uint32_t now_s = now.wall_s();
  const netdb::LeaseSet2Ptr ls = netdb.get_lease_set2(dest, now_s);
  if (!ls || ls->leases.empty()) {
    if (pending_lookups.size() <= kMaxLookupsForQuery) start_proxy_netdb_lookup(dest, now);
    return false;
  }
  bittorrent::I2pDht& dht = engine.dht;
  std::optional<DhtOutgoingQuery> out = bt_dht_prepare_query(dht, session, dest, port, query, info_hash, now.wall_ms);
  if (!out) return false;
  bool attach = true;
  if (session.ratchet) {
    if (const auto key = extract_x25519_key(*ls); key && session.ratchet->has_active_session(*key, now_s)) {
      attach = now.mono_ms < engine.last_publish_ms + kLeaseAttachWindowMs;
    }
  }
  if (!send_torrent_i2cp(session, dest, out->envelope, attach, now)) return false;
  const std::string name = out->pending.query;
  const std::uint32_t to_port = out->pending.port;
  dht.add_pending_tx(std::move(out->pending));
  dht.queries_sent += 1;
  if (debug) {
    print_debug_line(true, "[debug] bt dht TX " + name + " -> " + bt_short_b32(dest) + ":" + std::to_string(to_port));
  }
  return true;
}

void Router::send_dht_reply(TorrentEngine& engine, SamSession& session, const common::Hash& dest,
                            std::uint32_t reply_port, ByteView tid, ByteView nodes, const std::vector<Bytes>& values,
                            const std::optional<Bytes>& token, const Now& now) {
  const bittorrent::I2pDht& dht = engine.dht;
  bittorrent::KrpcMessage::Response response;
  response.transaction_id = Bytes(tid.begin(), tid.end());
  response.sender_id = Bytes(dht.node_id.begin(), dht.node_id.end());
  response.nodes = Bytes(nodes.begin(), nodes.end());
  response.values = values;
  response.token = token;
  const Bytes krpc = bittorrent::encode_krpc(bittorrent::KrpcMessage{std::move(response)});
  const Bytes wrapped = encoding::i2cp_gzip_wrap(krpc, static_cast<std::uint16_t>(dht.query_port),
                                                 static_cast<std::uint16_t>(reply_port), kProtoRaw);
  (void)send_torrent_i2cp(session, dest, wrapped, false, now);
}

namespace {

// Answers one query from the sender, whose datagram came from source_port.
void answer_query(Router& r, TorrentEngine& engine, SamSession& session, const common::Hash& sender,
                  std::uint32_t source_port, const bittorrent::KrpcMessage::Query& q, const Now& now) {
  bittorrent::I2pDht& dht = engine.dht;
  const std::uint32_t s_port = port_or_default(source_port);
  const std::uint32_t reply_port = reply_port_for(source_port);
  dht.queries_recv += 1;
  if (r.debug) {
    print_debug_line(true, "[debug] bt dht RX query from " + bt_short_b32(sender) + ":" + std::to_string(s_port));
  }
  if (q.sender_id.size() == bittorrent::kDhtNodeIdLen) dht.upsert_node(q.sender_id, sender, s_port, now.wall_ms);

  const Bytes none;
  if (std::holds_alternative<bittorrent::KrpcQuery::Ping>(q.query.kind)) {
    r.send_dht_reply(engine, session, sender, reply_port, q.transaction_id, none, {}, std::nullopt, now);
  } else if (const auto* find = std::get_if<bittorrent::KrpcQuery::FindNode>(&q.query.kind)) {
    const Bytes nodes = bittorrent::encode_compact_nodes(dht.closest_nodes(find->target, kAnswerNodes));
    r.send_dht_reply(engine, session, sender, reply_port, q.transaction_id, nodes, {}, std::nullopt, now);
  } else if (const auto* get = std::get_if<bittorrent::KrpcQuery::GetPeers>(&q.query.kind)) {
    const bittorrent::DhtToken token = dht.make_token(sender);
    std::vector<Bytes> values;
    for (const common::Hash& peer : dht.live_peers(get->info_hash, now.wall_ms)) values.push_back(to_value(peer));
    if (const ActiveTorrent* t = bt_find_torrent_by_ih(engine.torrents, get->info_hash); t && !t->paused) {
      Bytes own = to_value(session.dest_hash);
      if (std::find(values.begin(), values.end(), own) == values.end()) values.push_back(std::move(own));
    }
    const Bytes nodes =
        values.empty() ? bittorrent::encode_compact_nodes(dht.closest_nodes(get->info_hash, kAnswerNodes)) : Bytes{};
    r.send_dht_reply(engine, session, sender, reply_port, q.transaction_id, nodes, values,
                     Bytes(token.begin(), token.end()), now);
  } else if (const auto* ann = std::get_if<bittorrent::KrpcQuery::AnnouncePeer>(&q.query.kind)) {
    if (ann->info_hash.size() == 20 && dht.token_matches(sender, ann->token)) {
      dht.store_peer(ann->info_hash, sender, now.wall_ms);
    }
    r.send_dht_reply(engine, session, sender, reply_port, q.transaction_id, none, {}, std::nullopt, now);
  }
}

// Digests the reply to one of our queries.
void take_response(Router& r, TorrentEngine& engine, SamSession& session, const bittorrent::KrpcMessage::Response& resp,
                   const Now& now) {
  bittorrent::I2pDht& dht = engine.dht;
  const std::optional<bittorrent::DhtPendingTx> pending = dht.take_pending_tx(resp.transaction_id);
  if (!pending) return;
  if (r.debug) {
    print_debug_line(true, "[debug] bt dht RX " + pending->query + " reply from " + bt_short_b32(pending->dest) +
                               " nodes=" + std::to_string(resp.nodes.size() / bittorrent::compact_node_size) +
                               " values=" + std::to_string(resp.values.size()));
  }
  const std::uint64_t wall = now.wall_ms;
  if (resp.sender_id.size() == bittorrent::kDhtNodeIdLen) {
    dht.upsert_node(resp.sender_id, pending->dest, pending->port, wall);
  }
  const bool pub = r.public_mode;
  const std::uint64_t get_peers_cooldown = pub ? kGetPeersCooldownPublicMs : kGetPeersCooldownLocalMs;

  if (!resp.nodes.empty()) {
    auto nodes = bittorrent::decode_compact_nodes(resp.nodes, wall);
    int follow_ups = 0;
    for (const bittorrent::DhtNode& node : nodes ? *nodes : std::vector<bittorrent::DhtNode>{}) {
      const bool is_new = !has_node(dht, node.hash, node.port);
      const bool accepted = dht.upsert_node(node.id, node.hash, node.port, wall);
      if (!is_new || !accepted || follow_ups >= kMaxFollowUps || !pending->info_hash) continue;
      const ActiveTorrent* t = bt_find_torrent_by_ih(engine.torrents, *pending->info_hash);
      if (!t || t->paused || t->known_peers.size() > kFollowUpMaxKnownPeers) continue;
      if (dht.pending.size() > kSweepSkipPending) continue;
      if (!bt_dht_cooldown_allow(engine.get_peers_cooldown, node.hash, *pending->info_hash, wall, get_peers_cooldown)) {
        continue;
      }
      if (r.send_dht_query(engine, session, node.hash, node.port,
                           bittorrent::KrpcQuery{bittorrent::KrpcQuery::GetPeers{*pending->info_hash}}, now,
                           pending->info_hash)) {
        follow_ups += 1;
      }
    }
  }

  if (pending->info_hash) {
    if (ActiveTorrent* t = bt_find_torrent_by_ih(engine.torrents, *pending->info_hash)) {
      for (const Bytes& value : resp.values) {
        if (value.size() != 32) continue;
        auto peer = common::Hash::from_bytes(value);
        if (!peer) continue;
        if (pending->info_hash->size() == 20) dht.store_peer(*pending->info_hash, *peer, wall);
        if (bt_add_known_peer(*t, *peer, session.dest_hash)) dht.peers_discovered += 1;
      }
    }
  }

  if (pending->query == "get_peers" && pending->info_hash && resp.token) {
    const ActiveTorrent* t = bt_find_torrent_by_ih(engine.torrents, *pending->info_hash);
    if (t && !t->paused &&
        bt_dht_cooldown_allow(engine.announce_cooldown, pending->dest, *pending->info_hash, wall,
                              pub ? kAnnounceCooldownPublicMs : kAnnounceCooldownLocalMs)) {
      bittorrent::KrpcQuery::AnnouncePeer announce;
      announce.info_hash = *pending->info_hash;
      announce.port = dht.query_port;
      announce.token = *resp.token;
      announce.implied_port = false;
      r.send_dht_query(engine, session, pending->dest, pending->port, bittorrent::KrpcQuery{std::move(announce)}, now,
                       pending->info_hash);
    }
  }
}

}  // namespace

bool Router::poll_dht_datagrams(TorrentEngine& engine, SamSession& session, streaming::StreamManager& streams,
                                const Now& now) {
  bool took = false;
  bittorrent::I2pDht& dht = engine.dht;
  // Queries: repliable datagrams, which the stream manager queues only once their
  // signature verified.
  while (!streams.dht_datagrams.empty()) {
    auto [header, datagram] = std::move(streams.dht_datagrams.front());
    streams.dht_datagrams.pop_front();
    took = true;
    if (header.dst_port != 0 && header.dst_port != dht.query_port) continue;
    const common::Hash sender = datagram.from.keys_and_cert.hash();
    auto message = bittorrent::decode_krpc(datagram.payload);
    if (!message) continue;
    const auto* query = std::get_if<bittorrent::KrpcMessage::Query>(&message->kind);
    if (!query) continue;
    answer_query(*this, engine, session, sender, header.src_port, *query, now);
  }
  // Replies: raw datagrams.
  while (!streams.raw_datagrams.empty()) {
    auto [header, payload] = std::move(streams.raw_datagrams.front());
    streams.raw_datagrams.pop_front();
    took = true;
    if (header.dst_port != 0 && header.dst_port != dht.reply_port && header.dst_port != dht.query_port) continue;
    auto message = bittorrent::decode_krpc(payload);
    if (!message) continue;
    if (const auto* error = std::get_if<bittorrent::KrpcMessage::Error>(&message->kind)) {
      (void)dht.take_pending_tx(error->transaction_id);
      if (debug) {
        print_debug_line(true,
                         "[debug] bt dht RX error code=" + std::to_string(error->code) + " msg=" + error->message);
      }
    } else if (const auto* response = std::get_if<bittorrent::KrpcMessage::Response>(&message->kind)) {
      take_response(*this, engine, session, *response, now);
    }
  }
  return took;
}

bool Router::step_dht(TorrentEngine& engine, SamSession& session, const Now& now) {
  bittorrent::I2pDht& dht = engine.dht;
  const std::uint64_t wall = now.wall_ms;
  const std::uint64_t ms = now.mono_ms;
  bool sent = false;
  dht.expire_pending_tx(wall);

  for (std::size_t i = 0; i < engine.dht_bootstrap.size();) {
    const DhtBootstrapEntry entry = engine.dht_bootstrap[i];
    if (send_dht_query(engine, session, entry.dest, entry.port, bittorrent::KrpcQuery{bittorrent::KrpcQuery::Ping{}},
                       now)) {
      sent = true;
      engine.dht_bootstrap.erase(engine.dht_bootstrap.begin() + static_cast<std::ptrdiff_t>(i));
    } else if (ms >= bootstrap_due_ms(entry)) {
      engine.dht_bootstrap.erase(engine.dht_bootstrap.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      ++i;
    }
  }

  if (dht.nodes.empty()) return sent;
  const bool pub = public_mode;
  if (dht.pending.size() <= kRefreshSkipPending && ms >= refresh_due_ms(*this, engine)) {
    engine.last_dht_refresh_ms = ms;
    const Bytes own_id(dht.node_id.begin(), dht.node_id.end());
    for (const bittorrent::DhtNode& node : dht.closest_nodes(own_id, pub ? 2 : 3)) {
      if (send_dht_query(engine, session, node.hash, node.port,
                         bittorrent::KrpcQuery{bittorrent::KrpcQuery::FindNode{own_id}}, now)) {
        sent = true;
      }
    }
  }

  const std::uint64_t cooldown = pub ? kGetPeersCooldownPublicMs : kGetPeersCooldownLocalMs;
  for (ActiveTorrent& torrent : engine.torrents) {
    if (torrent.paused) continue;
    if (torrent.info_hash.size() == 20) dht.store_peer(torrent.info_hash, session.dest_hash, wall);
    if (ms < sweep_due_ms(*this, torrent)) continue;
    if (dht.pending.size() > kSweepSkipPending) continue;
    torrent.last_get_peers_ms = ms;
    int sends = 0;
    for (const bittorrent::DhtNode& node : dht.closest_nodes(torrent.info_hash, kSweepClosest)) {
      if (dht.pending.size() >= kNoGetPeersPending || sends >= kSweepSends) break;
      if (!bt_dht_cooldown_allow(engine.get_peers_cooldown, node.hash, torrent.info_hash, wall, cooldown)) continue;
      if (send_dht_query(engine, session, node.hash, node.port,
                         bittorrent::KrpcQuery{bittorrent::KrpcQuery::GetPeers{torrent.info_hash}}, now,
                         torrent.info_hash)) {
        sends += 1;
        sent = true;
      }
    }
  }
  return sent;
}

// The expiry of pending queries (unix ms, turned into monotonic instants), the life of queued
// bootstrap nodes, the table refresh and each running torrent's get_peers sweep; the last
// two only while the pending queries leave room for them (the expiries come first).
std::uint64_t next_torrent_dht_wake_ms(const Router& r, const Now& now) {
  if (bt_stepped_engine(r) == nullptr) return kNoWakeDeadline;
  const TorrentEngine& engine = *r.torrent_engine;
  const bittorrent::I2pDht& dht = engine.dht;
  std::uint64_t wake = kNoWakeDeadline;
  const auto due = [&](std::uint64_t at) { wake = std::min(wake, std::max(at, now.mono_ms)); };
  for (const bittorrent::DhtPendingTx& tx : dht.pending) {
    due(mono_at_wall_ms(now, bittorrent::dht_pending_expiry_ms(tx)));
  }
  for (const DhtBootstrapEntry& e : engine.dht_bootstrap) due(bootstrap_due_ms(e));
  if (dht.nodes.empty()) return wake;
  if (dht.pending.size() <= kRefreshSkipPending) due(refresh_due_ms(r, engine));
  if (dht.pending.size() <= kSweepSkipPending) {
    for (const ActiveTorrent& torrent : engine.torrents) {
      if (!torrent.paused) due(sweep_due_ms(r, torrent));
    }
  }
  return wake;
}

bool Router::enqueue_dht_bootstrap(TorrentEngine& engine, const common::Hash& dest, std::uint32_t port,
                                   const Now& now) {
  const SamSession* session = find_session_by_id(sessions, engine.session_id);
  if (!session) return false;
  if (dest == session->dest_hash) return false;
  const std::uint32_t p = port_or_default(port);
  for (const DhtBootstrapEntry& e : engine.dht_bootstrap) {
    if (e.dest == dest && e.port == p) return true;
  }
  start_proxy_netdb_lookup(dest, now);
  // The queue is bounded: a flood of bootstrap nodes from links or the API pushes out the
  // oldest.
  while (engine.dht_bootstrap.size() >= kMaxBootstrapQueue) engine.dht_bootstrap.erase(engine.dht_bootstrap.begin());
  engine.dht_bootstrap.push_back(DhtBootstrapEntry{dest, p, now.mono_ms});
  return true;
}

}  // namespace router
