// The GET documents of the torrent API: snapshots of the records, walked in their list order
// and written member by member.
#include <algorithm>
#include <charconv>
#include <cstring>

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

// The torrent list is written with plain stores into room reserved for it up front (see
// bound()): each member is its key text fused with the punctuation around it, then its value.
char* put(char* p, std::string_view s) {
  std::memcpy(p, s.data(), s.size());
  return p + s.size();
}
// Most counters of a torrent are small: those below 100 skip the general conversion.
constexpr std::string_view kDigitPairs =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";
inline char* put_number(char* p, std::uint64_t v) {
  if (v < 10) {
    *p = static_cast<char>('0' + v);
    return p + 1;
  }
  if (v < 100) return put(p, kDigitPairs.substr(2 * v, 2));
  return std::to_chars(p, p + 20, v).ptr;
}
char* put_bool(char* p, bool v) { return v ? put(p, "true") : put(p, "false"); }

// Room for everything of a peer but its escaped client name: keys, punctuation, the b32
// text and four numbers of at most 20 digits.
constexpr std::size_t kPeerFixedRoom = 256;
// The same for a torrent: keys, punctuation, state, booleans and 13 numbers.
constexpr std::size_t kTorrentFixedRoom = 1024;

// The most bytes write_torrent can write for t. Escaping takes at most 3 bytes per byte,
// and 8 more of room (api_json_escape_to).
std::size_t bound(const ActiveTorrent& t) {
  std::size_t n = kTorrentFixedRoom + t.info_hash_hex.size() +
                  3 * (t.name.size() + t.tracker_status.size() + t.download_dir.size() + t.error.size()) + 4 * 8;
  for (const TorrentPeerConn& p : t.peers) n += kPeerFixedRoom + 3 * p.client.size() + 8;
  return n;
}

char* write_peer(char* p, const TorrentPeerConn& c) {
  p = put(p, R"({"b32":")");
  p = api_put_short_b32(p, c.peer);
  p = put(p, R"(","state":)");
  p = put_number(p, static_cast<std::uint64_t>(std::max(c.state, 0)));
  p = put(p, R"(,"choking":)");
  p = put_bool(p, c.peer_choking);
  p = put(p, R"(,"pieces":)");
  p = put_number(p, c.peer_bitfield.count());
  p = put(p, R"(,"in_flight":)");
  p = put_number(p, c.inflight.size());
  p = put(p, R"(,"blocks_recv":)");
  p = put_number(p, c.blocks_recv);
  p = put(p, R"(,"client":")");
  p = api_json_escape_to(p, c.client);
  return put(p, R"("})");
}

char* write_torrent(char* p, const ActiveTorrent& t) {
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

  p = put(p, R"({"info_hash":")");
  p = put(p, t.info_hash_hex);
  p = put(p, R"(","name":")");
  p = api_json_escape_to(p, t.name);
  p = put(p, R"(","state":")");
  p = put(p, torrent_state(t));
  p = put(p, R"(","paused":)");
  p = put_bool(p, t.paused);
  p = put(p, R"(,"completed":)");
  p = put_bool(p, t.completed);
  p = put(p, R"(,"has_metadata":)");
  p = put_bool(p, t.meta.has_value());
  p = put(p, R"(,"total_length":)");
  p = put_number(p, t.meta ? static_cast<std::uint64_t>(std::max<std::int64_t>(t.meta->total_length, 0)) : 0);
  p = put(p, R"(,"downloaded_bytes":)");
  p = put_number(p, t.downloaded);
  p = put(p, R"(,"uploaded_bytes":)");
  p = put_number(p, t.uploaded);
  p = put(p, R"(,"have_pieces":)");
  p = put_number(p, have_pieces);
  p = put(p, R"(,"num_pieces":)");
  p = put_number(p, num_pieces);
  p = put(p, R"(,"inflight_blocks":)");
  p = put_number(p, inflight_blocks);
  p = put(p, R"(,"inflight_bytes":)");
  p = put_number(p, inflight_blocks * 16'384);
  p = put(p, R"(,"progress_pct":)");
  p = put_number(p, progress);
  p = put(p, R"(,"known_peers":)");
  p = put_number(p, t.known_peers.size());
  p = put(p, R"(,"connected_peers":)");
  p = put_number(p, connected);
  p = put(p, R"(,"unchoked_peers":)");
  p = put_number(p, unchoked);
  p = put(p, R"(,"seeder_peers":)");
  p = put_number(p, seeders);
  p = put(p, R"(,"trackers":)");
  p = put_number(p, t.trackers.size());
  p = put(p, R"(,"last_tracker_status":")");
  p = api_json_escape_to(p, t.tracker_status);
  p = put(p, R"(","download_dir":")");
  p = api_json_escape_to(p, t.download_dir);
  p = put(p, R"(","error":")");
  p = api_json_escape_to(p, t.error);
  p = put(p, R"(","peers":[)");
  for (std::size_t i = 0; i < t.peers.size(); ++i) {
    if (i > 0) *p++ = ',';
    p = write_peer(p, t.peers[i]);
  }
  return put(p, "]}");
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
  static constexpr std::string_view kOpen = R"({"ok":true,"torrents":[)";
  std::size_t max = room + kOpen.size() + 2;
  if (engine) {
    for (const ActiveTorrent& t : engine->torrents) max += bound(t) + 1;
  }
  std::string out;
  out.resize_and_overwrite(max, [&](char* const start, std::size_t) {
    std::memset(start, ' ', room);
    char* p = put(start + room, kOpen);
    if (engine) {
      bool first = true;
      for (const ActiveTorrent& t : engine->torrents) {
        if (!first) *p++ = ',';
        first = false;
        p = write_torrent(p, t);
      }
    }
    p = put(p, "]}");
    return static_cast<std::size_t>(p - start);
  });
  return out;
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
