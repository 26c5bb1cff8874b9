// The torrent engine between routers of the in-process test network: a seeder's 4 MiB
// torrent (made by mktorrent) reaches a router told only the seeder's destination, then a
// third router that gets it from both; a lying peer is closed while the download completes.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "bittorrent/peer_wire.h"
#include "tests/torrent/flag_counts.h"
#include "tests/torrent/torrent_net.h"

namespace torrent_test {
namespace {

using bittorrent::PeerMessage;
using router::ActiveTorrent;

constexpr std::size_t kSize = 4 * 1024 * 1024;
constexpr int kLimitMs = 180'000;

ActiveTorrent& only_torrent(router::TorrentEngine& e) { return e.torrents.front(); }

// Adds the torrent on router i from its .torrent bytes and returns its hex key.
std::string add(TorrentNet& t, std::size_t i, const Bytes& torrent_file) {
  auto added = t.net[i].add_torrent_bytes(torrent_file, "", ntcp2_net::read_now());
  EXPECT_TRUE(added) << (added ? "" : to_string(added.error()));
  return added.value_or("");
}

TEST(TorrentNetwork, TwoRoutersThenAThirdFromBoth) {
  auto t = TorrentNet::create(3);
  ASSERT_TRUE(t);
  const Bytes content = seeded_bytes(kSize, 7);
  const Bytes file = t->make_torrent(0, "data.bin", content, 18);  // 16 pieces of 256 KiB
  const std::string hex = add(*t, 0, file);
  ASSERT_EQ(hex.size(), 40u);
  ASSERT_TRUE(only_torrent(t->engine(0)).completed) << "the seeder verifies its own folder";
  EXPECT_EQ(only_torrent(t->engine(0)).downloaded, kSize);

  EXPECT_EQ(add(*t, 1, file), hex);
  ActiveTorrent& leech = only_torrent(t->engine(1));
  EXPECT_FALSE(leech.completed);
  EXPECT_EQ(leech.downloaded, 0u);
  ASSERT_TRUE(router::bt_add_known_peer(leech, t->dest(0), t->dest(1)));
  EXPECT_FALSE(router::bt_add_known_peer(leech, t->dest(0), t->dest(1))) << "no repeats";
  EXPECT_FALSE(router::bt_add_known_peer(leech, t->dest(1), t->dest(1))) << "never the own destination";

  // The kept counts of set flags stay exact through the whole download, on both sides.
  std::size_t passes_with_wrong_counts = 0;
  ASSERT_TRUE(t->run(
      [&] {
        if (!flag_counts_exact(leech) || !flag_counts_exact(only_torrent(t->engine(0)))) ++passes_with_wrong_counts;
        return leech.completed;
      },
      kLimitMs));
  EXPECT_EQ(passes_with_wrong_counts, 0u);
  EXPECT_EQ(leech.have.count(), leech.have.size());
  EXPECT_EQ(bt_test::ReadFile(t->folders[1] / "data.bin"), content);
  EXPECT_EQ(leech.downloaded, kSize);
  EXPECT_TRUE(leech.error.empty()) << leech.error;
  EXPECT_GE(only_torrent(t->engine(0)).uploaded, kSize);

  // The third router is told both; both serve it.
  EXPECT_EQ(add(*t, 2, file), hex);
  ActiveTorrent& third = only_torrent(t->engine(2));
  router::bt_add_known_peer(third, t->dest(0), t->dest(2));
  router::bt_add_known_peer(third, t->dest(1), t->dest(2));
  const std::uint64_t up0 = only_torrent(t->engine(0)).uploaded;
  const std::uint64_t up1 = leech.uploaded;
  ASSERT_TRUE(t->run([&] { return third.completed; }, kLimitMs));
  EXPECT_EQ(bt_test::ReadFile(t->folders[2] / "data.bin"), content);
  EXPECT_GT(only_torrent(t->engine(0)).uploaded, up0);
  EXPECT_GT(leech.uploaded, up1);
  // Every block was served at least once (a request that timed out may be served twice).
  EXPECT_GE(only_torrent(t->engine(0)).uploaded - up0 + leech.uploaded - up1, kSize);
}

// A peer driven by the test: its own session on another router, a stream to the victim's
// torrent session, and scripted behaviour.
struct FakePeer {
  router::SamSession* session = nullptr;
  streaming::ConnectionPtr stream;
  Bytes out;  // waiting for the stream's window
  Bytes in;
  bool greeted = false;
  std::function<Bytes()> greeting;                           // after the handshake
  std::function<Bytes(const PeerMessage::Request&)> answer;  // per request
  std::size_t requests = 0;

  void step(std::uint64_t now_ms) {
    if (!stream) return;
    if (stream->state == streaming::StreamState::Established && !greeted) {
      greeted = true;
      const Bytes g = greeting();
      out.insert(out.end(), g.begin(), g.end());
    }
    if (!out.empty() && stream->state == streaming::StreamState::Established) {
      if (auto n = stream->write(out, now_ms); n && *n > 0)
        out.erase(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(*n));
    }
    const Bytes got = stream->read_available();
    in.insert(in.end(), got.begin(), got.end());
    if (in.size() >= 68 && greeted && !answer) return;
    // Skip the victim's handshake, then answer its requests.
    if (in.size() >= 68 && in[0] == 19) in.erase(in.begin(), in.begin() + 68);
    while (true) {
      auto m = bittorrent::decode_peer_frame(in);
      if (!m || !*m) break;
      if (const auto* req = std::get_if<PeerMessage::Request>(&(*m)->kind); req && answer) {
        ++requests;
        const Bytes piece = answer(*req);
        out.insert(out.end(), piece.begin(), piece.end());
      }
    }
  }
};

Bytes frame(const PeerMessage& m) { return bittorrent::encode_peer_message(m); }

TEST(TorrentNetwork, LyingPeersAreClosedAndTheDownloadCompletes) {
  auto t = TorrentNet::create(3);
  ASSERT_TRUE(t);
  const Bytes content = seeded_bytes(kSize, 11);
  const Bytes file = t->make_torrent(0, "data.bin", content, 18);  // 16 pieces
  const std::string hex = add(*t, 0, file);
  add(*t, 1, file);
  ActiveTorrent& victim = only_torrent(t->engine(1));
  const Bytes info_hash = victim.info_hash;

  // The liar lives on router 2 in a session of its own.
  t->net[2].sessions.push_back(stream_session(t->net[2], "liar"));
  router::SamSession* liar = &t->net[2].sessions.back();
  t->share_lease_set(2, *liar);
  const common::Hash liar_hash = liar->dest_hash;
  const Bytes peer_id(20, 0x4C);
  const Bytes handshake = bittorrent::encode_handshake(info_hash, peer_id).value();

  auto connect = [&](FakePeer& p) {
    p.session = liar;
    auto c = liar->streams->connect(t->dest(1), ntcp2_net::read_now().mono_ms, 0, 0);
    ASSERT_TRUE(c);
    p.stream = *c;
  };
  // (Incomplete, the victim also dials back the destinations it learnt; those calls find
  // nobody answering the protocol and never reach Connected.)
  auto victim_has = [&](const common::Hash& h) {
    return std::any_of(victim.peers.begin(), victim.peers.end(), [&](const router::TorrentPeerConn& c) {
      return c.peer == h && router::peer_state(c) == router::PeerConnState::Connected;
    });
  };

  // 1. A bit field one byte short of 16 pieces closes the connection.
  FakePeer truncated;
  connect(truncated);
  truncated.greeting = [&] {
    Bytes g = handshake;
    const Bytes bf = frame(PeerMessage{PeerMessage::Bitfield{Bytes{0xFF}}});
    g.insert(g.end(), bf.begin(), bf.end());
    return g;
  };
  auto before = [&](FakePeer& p) {
    return [peer = &p](std::size_t i, const ntcp2_net::Now& now) {
      if (i == 2) peer->step(now.mono_ms);
    };
  };
  t->net[1].debug = true;  // the close reason is read from the victim's debug lines
  testing::internal::CaptureStdout();
  const bool closed =
      t->run([&] { return truncated.greeted && truncated.stream->peer_closed; }, 60'000, before(truncated));
  const std::string lines = testing::internal::GetCapturedStdout();
  t->net[1].debug = false;
  ASSERT_TRUE(closed) << "stream state " << static_cast<int>(truncated.stream->state) << ", victim inbound "
                      << t->engine(1).inbound.size() << ", victim peers " << victim.peers.size();
  EXPECT_FALSE(victim_has(liar_hash));
  EXPECT_NE(lines.find(" closed (bitfield length mismatch)"), std::string::npos);

  // 2. A huge Have is ignored; then every block it serves is wrong.
  FakePeer wrong;
  connect(wrong);
  wrong.greeting = [&] {
    Bytes g = handshake;
    for (const PeerMessage& m : {PeerMessage{PeerMessage::Have{0x7FFFFFF0}}, PeerMessage{PeerMessage::HaveAll{}},
                                 PeerMessage{PeerMessage::Unchoke{}}}) {
      const Bytes f = frame(m);
      g.insert(g.end(), f.begin(), f.end());
    }
    return g;
  };
  wrong.answer = [](const PeerMessage::Request& r) {
    return frame(PeerMessage{PeerMessage::Piece{r.index, r.begin, Bytes(r.length, 0xEE)}});
  };
  std::size_t largest_flags = 0;
  ASSERT_TRUE(t->run(
      [&] {
        for (const auto& c : victim.peers) {
          if (c.peer == liar_hash) largest_flags = std::max(largest_flags, c.peer_bitfield.size());
        }
        return wrong.greeted && wrong.stream->peer_closed;
      },
      kLimitMs, before(wrong)));
  EXPECT_FALSE(victim_has(liar_hash));
  EXPECT_LE(largest_flags, 16u) << "the Have beyond the piece count grew nothing";
  EXPECT_GE(wrong.requests, 3u * 16u) << "three whole pieces were asked of it";
  EXPECT_EQ(victim.downloaded, 0u);
  const auto until = std::find_if(victim.backoff.begin(), victim.backoff.end(),
                                  [&](const router::TorrentBackoff& b) { return b.peer == liar_hash; });
  ASSERT_NE(until, victim.backoff.end()) << "the liar is backed off";
  EXPECT_GT(until->until_ms, ntcp2_net::read_now().mono_ms + 500'000);

  // 3. The honest seeder completes the download.
  router::bt_add_known_peer(victim, t->dest(0), t->dest(1));
  ASSERT_TRUE(t->run([&] { return victim.completed; }, kLimitMs));
  EXPECT_EQ(bt_test::ReadFile(t->folders[1] / "data.bin"), content);
  EXPECT_EQ(victim.downloaded, kSize);
  EXPECT_EQ(victim.info_hash_hex, hex);
}

}  // namespace
}  // namespace torrent_test
