// The torrent API's GET documents, fetched over the loopback socket and read by python's json
// module: compact, members in their order, every value as the records hold it. The engine's
// records are filled by hand here so that each state of a torrent and a peer appears.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "encoding/text.h"
#include "tests/torrent/api_test_support.h"

namespace router {
namespace {

using api_test::ApiRouter;
using api_test::json_members;
using api_test::talk;

struct Member {
  std::string key;
  std::string value;
};
using Members = std::vector<Member>;

std::string json_str(std::string_view s) { return "\"" + std::string(s) + "\""; }

std::string times(std::string_view s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

// Appends the lines of an object's members under a path, as api_json_dump.py prints them.
void add_lines(std::vector<std::string>& lines, const std::string& path, const Members& members) {
  lines.push_back(path + "={" + std::to_string(members.size()) + "}");
  for (const Member& m : members) lines.push_back(path + "." + m.key + "=" + m.value);
}

std::vector<std::string> fetch(ApiRouter& api, std::string_view path) {
  const auto answer = talk(api, "GET " + std::string(path) + " HTTP/1.1\r\nHost: localhost:4445\r\n\r\n");
  EXPECT_TRUE(answer.complete) << answer.raw;
  EXPECT_EQ(answer.status, 200);
  return json_members(answer.body);
}

common::Hash hash_of(std::uint8_t b) {
  common::Hash h;
  for (std::size_t i = 0; i < h.bytes.size(); ++i) h.bytes[i] = static_cast<std::uint8_t>(b + i);
  return h;
}

TorrentEngine engine_with_dht() {
  TorrentEngine e;
  e.download_dir = "/home/u/Downloads/ondrel-i2p";
  for (std::size_t i = 0; i < e.dht.node_id.size(); ++i) e.dht.node_id[i] = static_cast<std::uint8_t>(0xa0 + i);
  e.dht.queries_sent = 5;
  e.dht.responses_recv = 4;
  e.dht.queries_recv = 3;
  e.dht.peers_discovered = 18446744073709551615ull;
  return e;
}

SamSession torrent_session() {
  SamSession s;
  s.id = "__torrent__";
  s.b32_address = hash_of(7).to_b32_address();
  return s;
}

TEST(ApiDocuments, WithoutEngine) {
  ApiRouter api;
  EXPECT_EQ(fetch(api, "/api/status"),
            (std::vector<std::string>{"compact", "={2}", ".ok=false", ".error=\"torrent engine not initialized\""}));
  EXPECT_EQ(fetch(api, "/api/torrents"), (std::vector<std::string>{"compact", "={2}", ".ok=true", ".torrents=[0]"}));
  EXPECT_EQ(fetch(api, "/api/dht/nodes"), (std::vector<std::string>{"compact", "={2}", ".ok=true", ".nodes=[0]"}));
}

TEST(ApiDocuments, EngineWithoutTorrents) {
  ApiRouter api;
  api.router.torrent_engine = engine_with_dht();
  EXPECT_EQ(fetch(api, "/api/torrents"), (std::vector<std::string>{"compact", "={2}", ".ok=true", ".torrents=[0]"}));
  const auto status = fetch(api, "/api/status");
  ASSERT_GE(status.size(), 18u);
  EXPECT_EQ(status[1], "={16}");
  EXPECT_EQ(status[12], ".torrent_b32=\"\"");  // no torrent session
  EXPECT_EQ(status[14], ".torrent_count=0");
  EXPECT_EQ(status[15], ".active_torrents=0");
  EXPECT_EQ(status[16], ".completed_torrents=0");
  const auto nodes = fetch(api, "/api/dht/nodes");
  ASSERT_EQ(nodes.size(), 12u);
  EXPECT_EQ(nodes[4], ".local_b32=\"\"");
  EXPECT_EQ(nodes.back(), ".nodes=[0]");
}

TEST(ApiDocuments, StatusOfAnEngine) {
  ApiRouter api;
  api.router.public_mode = true;
  api.router.sessions.push_back(torrent_session());
  api.router.torrent_engine = engine_with_dht();
  for (int i = 0; i < 3; ++i) {
    ActiveTorrent t;
    t.paused = i == 1;
    t.completed = i != 0;
    api.router.torrent_engine->torrents.push_back(std::move(t));
  }
  api.router.torrent_engine->dht.nodes.resize(2);

  std::vector<std::string> want = {"compact"};
  add_lines(want, "",
            {{"ok", "true"},
             {"router_b32", json_str(api.router.router_hash().to_b32_address())},
             {"public_mode", "true"},
             {"netdb_routers", "0"},
             {"netdb_floodfills", "0"},
             {"netdb_leasesets", "0"},
             {"inbound_tunnels", "0"},
             {"outbound_tunnels", "0"},
             {"http_proxy_port", "0"},
             {"torrent_api_port", std::to_string(api.port)},
             {"torrent_b32", json_str(hash_of(7).to_b32_address())},
             {"download_dir", "\"/home/u/Downloads/ondrel-i2p\""},
             {"torrent_count", "3"},
             {"active_torrents", "2"},
             {"completed_torrents", "2"},
             {"dht", "{8}"}});
  want.pop_back();
  add_lines(want, ".dht",
            {{"node_id_hex", "\"a0a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3\""},
             {"query_port", "6881"},
             {"reply_port", "6882"},
             {"routing_table_nodes", "2"},
             {"queries_sent", "5"},
             {"responses_recv", "4"},
             {"queries_recv", "3"},
             {"peers_discovered", "18446744073709551615"}});
  EXPECT_EQ(fetch(api, "/api/status"), want);
}

TEST(ApiDocuments, DhtNodes) {
  ApiRouter api;
  api.router.sessions.push_back(torrent_session());
  api.router.torrent_engine = engine_with_dht();
  auto& dht = api.router.torrent_engine->dht;
  dht.nodes.push_back(bittorrent::DhtNode{Bytes(20, 0x11), hash_of(1), 6881, 1'700'000'000'123});
  dht.nodes.push_back(bittorrent::DhtNode{Bytes(20, 0xfe), hash_of(2), 65535, 0});

  std::vector<std::string> want = {"compact"};
  add_lines(want, "",
            {{"ok", "true"},
             {"local_id_hex", "\"a0a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3\""},
             {"local_b32", json_str(hash_of(7).to_b32_address())},
             {"query_port", "6881"},
             {"reply_port", "6882"},
             {"queries_sent", "5"},
             {"responses_recv", "4"},
             {"queries_recv", "3"},
             {"peers_discovered", "18446744073709551615"},
             {"nodes", "[2]"}});
  add_lines(want, ".nodes[0]",
            {{"node_id_hex", json_str(std::string(40, '1'))},
             {"b32", json_str(hash_of(1).to_b32_address())},
             {"port", "6881"},
             {"last_seen_ms", "1700000000123"}});
  add_lines(want, ".nodes[1]",
            {{"node_id_hex", json_str(times("fe", 20))},
             {"b32", json_str(hash_of(2).to_b32_address())},
             {"port", "65535"},
             {"last_seen_ms", "0"}});
  const auto got = fetch(api, "/api/dht/nodes");
  EXPECT_EQ(got, want);
  // Nodes show the full b32 name.
  EXPECT_NE(hash_of(1).to_b32_address().find(".b32.i2p"), std::string::npos);
}

// The members of one torrent, in order, from what a test expects of it.
struct TorrentExpect {
  std::string info_hash, name_json, state;
  bool paused, completed, has_metadata;
  std::string total_length, downloaded, uploaded, have, num, inflight_blocks, inflight_bytes, progress;
  std::string known, connected, unchoked, seeders, trackers, tracker_status_json, dir_json, error_json;
  std::size_t peers;
};

void add_torrent_lines(std::vector<std::string>& lines, const std::string& path, const TorrentExpect& e) {
  auto b = [](bool v) { return std::string(v ? "true" : "false"); };
  add_lines(lines, path,
            {{"info_hash", json_str(e.info_hash)},
             {"name", e.name_json},
             {"state", json_str(e.state)},
             {"paused", b(e.paused)},
             {"completed", b(e.completed)},
             {"has_metadata", b(e.has_metadata)},
             {"total_length", e.total_length},
             {"downloaded_bytes", e.downloaded},
             {"uploaded_bytes", e.uploaded},
             {"have_pieces", e.have},
             {"num_pieces", e.num},
             {"inflight_blocks", e.inflight_blocks},
             {"inflight_bytes", e.inflight_bytes},
             {"progress_pct", e.progress},
             {"known_peers", e.known},
             {"connected_peers", e.connected},
             {"unchoked_peers", e.unchoked},
             {"seeder_peers", e.seeders},
             {"trackers", e.trackers},
             {"last_tracker_status", e.tracker_status_json},
             {"download_dir", e.dir_json},
             {"error", e.error_json},
             {"peers", "[" + std::to_string(e.peers) + "]"}});
}

ActiveTorrent torrent(std::uint8_t key, std::string name) {
  ActiveTorrent t;
  t.info_hash = Bytes(20, key);
  t.info_hash_hex = encoding::hex_encode(t.info_hash);
  t.name = std::move(name);
  t.download_dir = "/d";
  return t;
}

bittorrent::TorrentMeta meta_of(std::int64_t total) {
  bittorrent::TorrentMeta m;
  m.total_length = total;
  m.piece_length = 16384;
  return m;
}

TorrentPeerConn peer(std::uint8_t key, PeerConnState state, bool choking, Bytes bitfield, bool has_all = false) {
  TorrentPeerConn p;
  p.peer = hash_of(key);
  set_peer_state(p, state);
  p.peer_choking = choking;
  p.peer_bitfield = std::move(bitfield);
  p.peer_has_all = has_all;
  return p;
}

TEST(ApiDocuments, TorrentsInEveryState) {
  ApiRouter api;
  api.router.torrent_engine = engine_with_dht();
  auto& list = api.router.torrent_engine->torrents;

  // A magnet without metadata; its name holds a quote, a TAB and a control character.
  ActiveTorrent magnet = torrent(0xab, std::string("say \"hi\"\tnow\x01!"));
  magnet.known_peers = {hash_of(1), hash_of(2)};
  magnet.trackers.resize(2);
  magnet.tracker_status = "tracker lookup failed";
  list.push_back(std::move(magnet));

  // Downloading: 3 of 7 pieces, two pieces in progress, peers in several states.
  ActiveTorrent down = torrent(0x01, "movie.mkv");
  down.meta = meta_of(7 * 16384 - 100);
  down.have = {1, 0, 1, 0, 0, 1, 0};
  down.downloaded = 3 * 16384;
  down.uploaded = 12345;
  down.active_pieces.resize(2);
  down.active_pieces[0].received = {1, 0, 1, 1};
  down.active_pieces[1].received = {0, 1};
  auto p0 = peer(3, PeerConnState::Connected, false, {0, 1, 0, 0, 0, 0, 0});
  p0.inflight.resize(3);
  p0.blocks_recv = 77;
  p0.client = "Some \"client\" 1.0";
  down.peers.push_back(std::move(p0));
  down.peers.push_back(peer(4, PeerConnState::Connected, true, {}, /*has_all=*/true));
  down.peers.push_back(peer(5, PeerConnState::Connected, false, {0, 0, 0, 0, 0, 0, 0}));
  down.peers.push_back(peer(6, PeerConnState::HandshakeSent, false, {1, 1, 1, 1, 1, 1, 1}));
  down.peers.push_back(peer(7, PeerConnState::LookingUp, true, {}));
  list.push_back(std::move(down));

  // Seeding; and the same paused; and one with an error that is also paused and complete.
  ActiveTorrent seed = torrent(0x02, "album");
  seed.meta = meta_of(4 * 16384);
  seed.have = {1, 1, 1, 1};
  seed.completed = true;
  seed.downloaded = 4 * 16384;
  list.push_back(seed);
  ActiveTorrent paused = seed;
  paused.info_hash_hex = std::string(40, 'c');
  paused.paused = true;
  list.push_back(paused);
  ActiveTorrent failed = paused;
  failed.info_hash_hex = std::string(40, 'd');
  failed.error = "disk write failed: No space left on device";
  list.push_back(failed);

  // A torrent whose metadata says 0 bytes: no pieces, progress 0.
  ActiveTorrent empty = torrent(0x03, "");
  empty.meta = meta_of(0);
  list.push_back(std::move(empty));

  // One torrent's expected fields per row.
  // clang-format off
  std::vector<std::string> want = {"compact", "={2}", ".ok=true", ".torrents=[6]"};
  add_torrent_lines(want, ".torrents[0]",
                    {times("ab", 20),
                     "\"say \\\"hi\\\"\\tnow !\"", "metadata", false, false, false, "0", "0", "0", "0", "0", "0",
                     "0", "0", "2", "0", "0", "0", "2", "\"tracker lookup failed\"", "\"/d\"", "\"\"", 0});
  add_torrent_lines(want, ".torrents[1]",
                    {times("01", 20),
                     "\"movie.mkv\"", "downloading", false, false, true, std::to_string(7 * 16384 - 100), "49152",
                     "12345", "3", "7", "4", "65536", "42", "0", "3", "2", "2", "0", "\"\"", "\"/d\"", "\"\"", 5});
  const std::vector<std::tuple<int, std::string, bool, std::string, std::string>> peers = {
      {3, "3", false, "1", "3"}, {4, "3", true, "0", "0"}, {5, "3", false, "0", "0"},
      {6, "2", false, "7", "0"}, {7, "0", true, "0", "0"}};
  for (std::size_t i = 0; i < peers.size(); ++i) {
    const auto& [key, state, choking, pieces, in_flight] = peers[i];
    const std::string b32 = hash_of(static_cast<std::uint8_t>(key)).to_b32_address().substr(0, 16);
    add_lines(want, ".torrents[1].peers[" + std::to_string(i) + "]",
              {{"b32", json_str(b32)},
               {"state", state},
               {"choking", choking ? "true" : "false"},
               {"pieces", pieces},
               {"in_flight", in_flight},
               {"blocks_recv", i == 0 ? "77" : "0"},
               {"client", i == 0 ? "\"Some \\\"client\\\" 1.0\"" : "\"\""}});
  }
  add_torrent_lines(want, ".torrents[2]",
                    {times("02", 20), "\"album\"", "seeding", false, true, true, "65536", "65536", "0", "4", "4", "0", "0",
                     "100", "0", "0", "0", "0", "0", "\"\"", "\"/d\"", "\"\"", 0});
  add_torrent_lines(want, ".torrents[3]",
                    {std::string(40, 'c'), "\"album\"", "paused", true, true, true, "65536", "65536", "0", "4", "4",
                     "0", "0", "100", "0", "0", "0", "0", "0", "\"\"", "\"/d\"", "\"\"", 0});
  add_torrent_lines(want, ".torrents[4]",
                    {std::string(40, 'd'), "\"album\"", "error", true, true, true, "65536", "65536", "0", "4", "4",
                     "0", "0", "100", "0", "0", "0", "0", "0", "\"\"", "\"/d\"",
                     "\"disk write failed: No space left on device\"", 0});
  add_torrent_lines(want, ".torrents[5]",
                    {times("03", 20), "\"\"", "downloading", false, false, true, "0", "0", "0", "0", "0", "0", "0", "0", "0",
                     "0", "0", "0", "0", "\"\"", "\"/d\"", "\"\"", 0});
  // clang-format on
  EXPECT_EQ(fetch(api, "/api/torrents"), want);
}

}  // namespace
}  // namespace router
