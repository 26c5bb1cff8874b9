// The GET documents of the torrent API: snapshots of the records, walked in their list order
// and written member by member.
#include <algorithm>

#include "encoding/text.h"
#include "router/router.h"
#include "torrent/api_documents.h"
#include "torrent/api_json.h"
#include "torrent/engine.h"

namespace router {

namespace {

// Flags are 0 or 1; any other value counts as set too.
std::uint64_t count_set(ByteView flags) {
  std::uint64_t n = 0;
  for (const std::uint8_t f : flags) n += f != 0 ? 1 : 0;
  return n;
}

std::string_view torrent_state(const ActiveTorrent& t) {
  if (!t.error.empty()) return "error";
  if (t.paused) return "paused";
  if (t.completed) return "seeding";
  if (t.meta) return "downloading";
  return "metadata";
}

// About what a torrent's object takes, so that the list is written into one allocation: its
// keys and counters, its texts as they are, and its peers.
std::size_t expected_size(const ActiveTorrent& t) {
  std::size_t n =
      640 + t.info_hash_hex.size() + t.name.size() + t.tracker_status.size() + t.download_dir.size() + t.error.size();
  for (const TorrentPeerConn& p : t.peers) n += 160 + p.client.size();
  return n;
}

// The list is written on every poll: the writer's calls are flattened into these two, so that
// each key is copied as a constant and nothing is called per member but the escaping.
[[gnu::flatten]] void write_peer(ApiJsonWriter& w, const TorrentPeerConn& c) {
  char b32[16];
  api_put_short_b32(b32, c.peer);
  w.begin_object()
      .raw("b32", std::string_view(b32, sizeof b32))
      .number("state", static_cast<std::uint64_t>(std::max(c.state, 0)))
      .boolean("choking", c.peer_choking)
      .number("pieces", c.peer_bitfield.count())
      .number("in_flight", c.inflight.size())
      .number("blocks_recv", c.blocks_recv)
      .escaped("client", c.client)
      .end_object();
}

[[gnu::flatten]] void write_torrent(ApiJsonWriter& w, const ActiveTorrent& t) {
  const std::uint64_t have_pieces = t.have.count();
  const std::uint64_t num_pieces = t.have.size();
  std::uint64_t inflight_blocks = 0;
  for (const ActivePieceBuf& a : t.active_pieces) inflight_blocks += count_set(a.received);
  std::uint64_t progress = 0;
  if (t.completed) {
    progress = 100;
  } else if (num_pieces > 0) {
    // A 32-bit division where it gives the same, which is every torrent of fewer than
    // 42,949,673 pieces: it takes a fraction of the 64-bit one on many machines.
    const std::uint64_t scaled = have_pieces * 100;
    progress = (scaled | num_pieces) >> 32 == 0
                   ? static_cast<std::uint32_t>(scaled) / static_cast<std::uint32_t>(num_pieces)
                   : scaled / num_pieces;
  }
  std::uint64_t connected = 0, unchoked = 0, seeders = 0;
  for (const TorrentPeerConn& c : t.peers) {
    if (peer_state(c) != PeerConnState::Connected) continue;
    ++connected;
    if (!c.peer_choking) ++unchoked;
    if (c.peer_has_all || c.peer_bitfield.count() > 0) ++seeders;
  }

  w.begin_object()
      .raw("info_hash", t.info_hash_hex)
      .escaped("name", t.name)
      .raw("state", torrent_state(t))
      .boolean("paused", t.paused)
      .boolean("completed", t.completed)
      .boolean("has_metadata", t.meta.has_value())
      .number("total_length", t.meta ? static_cast<std::uint64_t>(std::max<std::int64_t>(t.meta->total_length, 0)) : 0)
      .number("downloaded_bytes", t.downloaded)
      .number("uploaded_bytes", t.uploaded)
      .number("have_pieces", have_pieces)
      .number("num_pieces", num_pieces)
      .number("inflight_blocks", inflight_blocks)
      .number("inflight_bytes", inflight_blocks * 16'384)
      .number("progress_pct", progress)
      .number("known_peers", t.known_peers.size())
      .number("connected_peers", connected)
      .number("unchoked_peers", unchoked)
      .number("seeder_peers", seeders)
      .number("trackers", t.trackers.size())
      .escaped("last_tracker_status", t.tracker_status)
      .escaped("download_dir", t.download_dir)
      .escaped("error", t.error)
      .key("peers")
      .begin_array();
  for (const TorrentPeerConn& c : t.peers) write_peer(w, c);
  w.end_array().end_object();
}

}  // namespace

char* api_put_short_b32(char* out, const common::Hash& hash) {
  static constexpr std::string_view kAlphabet = "abcdefghijklmnopqrstuvwxyz234567";
  // Two groups of 5 bytes, 8 characters each.
  for (std::size_t g = 0; g < 10; g += 5) {
    std::uint64_t bits = 0;
    for (std::size_t i = 0; i < 5; ++i) bits = bits << 8 | hash.bytes[g + i];
    for (int shift = 35; shift >= 0; shift -= 5) *out++ = kAlphabet[(bits >> shift) & 31];
  }
  return out;
}

std::string api_torrents_document(const std::optional<TorrentEngine>& engine, std::size_t room) {
  ApiJsonWriter w(room);
  if (engine) {
    std::size_t size = room + 32;
    for (const ActiveTorrent& t : engine->torrents) size += expected_size(t);
    w.reserve(size);
  }
  w.begin_object().boolean("ok", true).key("torrents").begin_array();
  if (engine) {
    for (const ActiveTorrent& t : engine->torrents) write_torrent(w, t);
  }
  w.end_array().end_object();
  return w.take();
}

std::string Router::build_api_status_json() const {
  if (!torrent_engine) return api_json_err("torrent engine not initialized");
  const TorrentEngine& engine = *torrent_engine;
  std::uint64_t active = 0, completed = 0;
  for (const ActiveTorrent& t : engine.torrents) {
    if (!t.paused) ++active;
    if (t.completed) ++completed;
  }
  const bittorrent::I2pDht& dht = engine.dht;
  ApiJsonWriter w;
  w.begin_object()
      .boolean("ok", true)
      .raw("router_b32", router_hash().to_b32_address())
      .boolean("public_mode", public_mode)
      .number("netdb_routers", netdb.router_infos().size())
      .number("netdb_floodfills", netdb.floodfill_count())
      .number("netdb_leasesets", netdb.lease_sets().size())
      .number("inbound_tunnels", tunnels.inbound.size())
      .number("outbound_tunnels", tunnels.outbound.size())
      .number("http_proxy_port", http_proxy_listener ? static_cast<std::uint64_t>(http_proxy_listener->port) : 0)
      .number("torrent_api_port", torrent_api_listener ? static_cast<std::uint64_t>(torrent_api_listener->port) : 0)
      .escaped("torrent_b32", torrent_b32_address(sessions))
      .escaped("download_dir", engine.download_dir)
      .number("torrent_count", engine.torrents.size())
      .number("active_torrents", active)
      .number("completed_torrents", completed)
      .key("dht")
      .begin_object()
      .raw("node_id_hex", encoding::hex_encode(dht.node_id))
      .number("query_port", dht.query_port)
      .number("reply_port", dht.reply_port)
      .number("routing_table_nodes", dht.nodes.size())
      .number("queries_sent", dht.queries_sent)
      .number("responses_recv", dht.responses_recv)
      .number("queries_recv", dht.queries_recv)
      .number("peers_discovered", dht.peers_discovered)
      .end_object()
      .end_object();
  return w.take();
}

std::string Router::build_api_torrents_json(const std::optional<TorrentEngine>& engine) const {
  return api_torrents_document(engine, 0);
}

std::string Router::build_api_dht_nodes_json() const {
  ApiJsonWriter w;
  w.begin_object().boolean("ok", true);
  if (!torrent_engine) {
    w.key("nodes").begin_array().end_array().end_object();
    return w.take();
  }
  const bittorrent::I2pDht& dht = torrent_engine->dht;
  w.raw("local_id_hex", encoding::hex_encode(dht.node_id))
      .raw("local_b32", torrent_b32_address(sessions))
      .number("query_port", dht.query_port)
      .number("reply_port", dht.reply_port)
      .number("queries_sent", dht.queries_sent)
      .number("responses_recv", dht.responses_recv)
      .number("queries_recv", dht.queries_recv)
      .number("peers_discovered", dht.peers_discovered)
      .key("nodes")
      .begin_array();
  for (const bittorrent::DhtNode& n : dht.nodes) {
    w.begin_object()
        .raw("node_id_hex", encoding::hex_encode(n.id))
        .raw("b32", n.hash.to_b32_address())
        .number("port", n.port)
        .number("last_seen_ms", n.last_seen_ms)
        .end_object();
  }
  w.end_array().end_object();
  return w.take();
}

}  // namespace router
