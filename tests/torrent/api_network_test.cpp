// The torrent list of a real download on the in-process test network: a router that seeds a
// torrent made by mktorrent and one that downloads it, each asked over its API socket while
// the download is under way and once it is done. python's json module reads the documents;
// each member is compared with the engine's records at that moment.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/torrent/api_test_support.h"
#include "tests/torrent/torrent_net.h"

namespace torrent_test {
namespace {

using router::ActiveTorrent;

std::string js(const std::string& s) { return "\"" + s + "\""; }
std::string num(std::uint64_t v) { return std::to_string(v); }
std::string b(bool v) { return v ? "true" : "false"; }

std::uint64_t set_flags(const Bytes& flags) {
  return static_cast<std::uint64_t>(std::count_if(flags.begin(), flags.end(), [](std::uint8_t f) { return f != 0; }));
}

// The lines api_json_dump.py prints for the torrent list of one torrent, from its record.
std::vector<std::string> expected_list(const ActiveTorrent& t) {
  const std::uint64_t have = set_flags(t.have);
  std::uint64_t blocks = 0;
  for (const auto& p : t.active_pieces) blocks += set_flags(p.received);
  std::uint64_t connected = 0, unchoked = 0, seeders = 0;
  for (const auto& p : t.peers) {
    if (p.state != 3) continue;
    ++connected;
    unchoked += p.peer_choking ? 0 : 1;
    seeders += (p.peer_has_all || set_flags(p.peer_bitfield) > 0) ? 1 : 0;
  }
  const std::string state = !t.error.empty() ? "error"
                            : t.paused       ? "paused"
                            : t.completed    ? "seeding"
                            : t.meta         ? "downloading"
                                             : "metadata";
  const std::string p = ".torrents[0]";
  std::vector<std::string> lines = {"compact",
                                    "={2}",
                                    ".ok=true",
                                    ".torrents=[1]",
                                    p + "={23}",
                                    p + ".info_hash=" + js(t.info_hash_hex),
                                    p + ".name=" + js(t.name),
                                    p + ".state=" + js(state),
                                    p + ".paused=" + b(t.paused),
                                    p + ".completed=" + b(t.completed),
                                    p + ".has_metadata=" + b(t.meta.has_value()),
                                    p + ".total_length=" + num(static_cast<std::uint64_t>(t.meta->total_length)),
                                    p + ".downloaded_bytes=" + num(t.downloaded),
                                    p + ".uploaded_bytes=" + num(t.uploaded),
                                    p + ".have_pieces=" + num(have),
                                    p + ".num_pieces=" + num(t.have.size()),
                                    p + ".inflight_blocks=" + num(blocks),
                                    p + ".inflight_bytes=" + num(blocks * 16384),
                                    p + ".progress_pct=" + num(t.completed ? 100 : have * 100 / t.have.size()),
                                    p + ".known_peers=" + num(t.known_peers.size()),
                                    p + ".connected_peers=" + num(connected),
                                    p + ".unchoked_peers=" + num(unchoked),
                                    p + ".seeder_peers=" + num(seeders),
                                    p + ".trackers=" + num(t.trackers.size()),
                                    p + ".last_tracker_status=" + js(t.tracker_status),
                                    p + ".download_dir=" + js(t.download_dir),
                                    p + ".error=" + js(t.error),
                                    p + ".peers=[" + num(t.peers.size()) + "]"};
  for (std::size_t i = 0; i < t.peers.size(); ++i) {
    const auto& c = t.peers[i];
    const std::string q = p + ".peers[" + num(i) + "]";
    lines.insert(lines.end(),
                 {q + "={7}", q + ".b32=" + js(c.peer.to_b32_address().substr(0, 16)),
                  q + ".state=" + num(static_cast<std::uint64_t>(c.state)), q + ".choking=" + b(c.peer_choking),
                  q + ".pieces=" + num(set_flags(c.peer_bitfield)), q + ".in_flight=" + num(c.inflight.size()),
                  q + ".blocks_recv=" + num(c.blocks_recv), q + ".client=" + js(c.client)});
  }
  return lines;
}

// GET /api/torrents of router i over a socket, the router's API stepped until answered.
std::vector<std::string> fetch_list(router::Router& r) {
  const int port = r.torrent_api_listener->port;
  const int fd = router::api_test::connect_client(port);
  EXPECT_GE(fd, 0);
  const std::string request = "GET /api/torrents HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  EXPECT_EQ(::send(fd, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
  std::string raw;
  const ntcp2_net::Now now = ntcp2_net::read_now();
  for (int pass = 0; pass < 10'000; ++pass) {
    r.step_torrent_api(now);
    char buf[65536];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n > 0) raw.append(buf, static_cast<std::size_t>(n));
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) break;
  }
  ::close(fd);
  r.step_torrent_api(now);  // the connection goes
  const auto answer = router::api_test::parse_answer(raw);
  EXPECT_TRUE(answer.complete) << raw.substr(0, 300);
  return router::api_test::json_members(answer.body);
}

TEST(ApiNetwork, TorrentListWhileDownloadingAndSeeding) {
  auto t = TorrentNet::create(2);
  ASSERT_TRUE(t);
  for (std::size_t i = 0; i < 2; ++i) {
    auto listener = ntcp2_net::TcpListener::bind("127.0.0.1", 0);
    ASSERT_TRUE(listener);
    t->net[i].torrent_api_listener = std::move(*listener);
  }
  const Bytes content = seeded_bytes(4 * 1024 * 1024, 11);
  const Bytes file = t->make_torrent(0, "film.bin", content, 18);  // 16 pieces of 256 KiB
  const ntcp2_net::Now now = ntcp2_net::read_now();
  ASSERT_TRUE(t->net[0].add_torrent_bytes(file, "", now));
  ASSERT_TRUE(t->net[1].add_torrent_bytes(file, "", now));
  ActiveTorrent& seed = t->engine(0).torrents.front();
  ActiveTorrent& leech = t->engine(1).torrents.front();
  ASSERT_TRUE(seed.completed);
  ASSERT_TRUE(router::bt_add_known_peer(leech, t->dest(0), t->dest(1)));

  // Part-way: some pieces verified, not all, a connected peer.
  ASSERT_TRUE(t->run(
      [&] {
        const auto have = set_flags(leech.have);
        return have >= 2 && have < leech.have.size() && !leech.peers.empty() && leech.peers[0].state == 3;
      },
      120'000));
  auto got = fetch_list(t->net[1]);
  EXPECT_EQ(got, expected_list(leech));
  ASSERT_GE(got.size(), 8u);
  EXPECT_EQ(got[7], ".torrents[0].state=\"downloading\"");
  EXPECT_NE(std::find(got.begin(), got.end(), ".torrents[0].connected_peers=1"), got.end());
  EXPECT_NE(std::find(got.begin(), got.end(), ".torrents[0].peers[0].state=3"), got.end());

  ASSERT_TRUE(t->run([&] { return leech.completed; }, 120'000));
  got = fetch_list(t->net[1]);
  EXPECT_EQ(got, expected_list(leech));
  EXPECT_EQ(got[7], ".torrents[0].state=\"seeding\"");
  EXPECT_NE(std::find(got.begin(), got.end(), ".torrents[0].progress_pct=100"), got.end());
  got = fetch_list(t->net[0]);
  EXPECT_EQ(got, expected_list(seed));
  EXPECT_EQ(got[7], ".torrents[0].state=\"seeding\"");
  EXPECT_GE(seed.uploaded, content.size());
}

}  // namespace
}  // namespace torrent_test
