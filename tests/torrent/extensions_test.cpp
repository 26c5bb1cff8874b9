// Extended messages of peer connections: handshakes, serving and fetching metadata (a
// peer that lies about the metadata size does not stop the fetch from an honest one),
// peer exchange and DHT ports; and across routers, a magnet link with only the info hash
// and a DHT node finds the seeder, fetches the metadata in 16 KiB pieces and completes,
// while peer exchange spreads a third peer.
//
// Messages we send are read back from the connection's send buffer (its stream is made
// unwritable) and compared with bencode written by hand.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "bittorrent/metainfo.h"
#include "crypto/sha1.h"
#include "encoding/text.h"
#include "tests/torrent/torrent_net.h"
#include "torrent/engine.h"
#include "torrent/extensions.h"

namespace torrent_test {
namespace {

using router::PeerConnState;

std::string str(ByteView b) { return std::string(b.begin(), b.end()); }

common::Hash hash_of(std::uint8_t fill) { return common::Hash::from_bytes(Bytes(32, fill)).value(); }

// The Extended messages in a send buffer: (ext id, payload), in order.
std::vector<std::pair<int, std::string>> sent_ext(const Bytes& buf) {
  std::vector<std::pair<int, std::string>> out;
  std::size_t i = 0;
  while (i + 4 <= buf.size()) {
    const std::size_t len =
        (std::size_t{buf[i]} << 24) | (std::size_t{buf[i + 1]} << 16) | (std::size_t{buf[i + 2]} << 8) | buf[i + 3];
    if (i + 4 + len > buf.size()) break;
    if (len >= 2 && buf[i + 4] == 20) out.emplace_back(buf[i + 5], str(ByteView(buf).subspan(i + 6, len - 2)));
    i += 4 + len;
  }
  return out;
}

// One router with its engine and a torrent; peers are connection records whose streams
// refuse writes, so what we send stays in their send buffers.
struct ExtRig {
  std::unique_ptr<TorrentNet> t;
  router::ActiveTorrent* torrent = nullptr;
  std::vector<streaming::ConnectionPtr> streams;

  explicit ExtRig(const std::string& magnet_hex) {
    t = TorrentNet::create(1);
    if (!t) return;
    EXPECT_TRUE(t->net[0].add_torrent_magnet("magnet:?xt=urn:btih:" + magnet_hex, "", ntcp2_net::read_now()));
    torrent = &t->engine(0).torrents.front();
    torrent->peers.reserve(8);  // the tests hold references to the records they add
  }
  router::TorrentPeerConn& add_peer(const common::Hash& peer) {
    router::SamSession& s = *t->session(0);
    auto c = s.streams->connect(peer, ntcp2_net::read_now().mono_ms, 0, 0);
    EXPECT_TRUE(c);
    (*c)->state = streaming::StreamState::Reset;
    streams.push_back(*c);
    router::TorrentPeerConn conn;
    conn.peer = peer;
    conn.stream_id = (*c)->local_stream_id;
    router::set_peer_state(conn, PeerConnState::Connected);
    torrent->peers.push_back(std::move(conn));
    return torrent->peers.back();
  }
  streaming::StreamConnection& stream_of(const router::TorrentPeerConn& c) {
    for (auto& s : streams) {
      if (s->local_stream_id == c.stream_id) return *s;
    }
    return *streams.front();
  }
  void deliver(router::TorrentPeerConn& c, std::uint8_t id, const std::string& payload) {
    t->net[0].bt_handle_ext_message(t->engine(0), *t->session(0), stream_of(c), *torrent, c, id, to_bytes(payload),
                                    ntcp2_net::read_now());
  }
};

std::string handshake(const std::string& m, const std::string& rest = "") {
  return "d1:md" + m + "e" + rest + "1:v4:teste";
}

TEST(Extensions, HandshakeIdsAndSizeBounds) {
  ExtRig rig(std::string(40, '1'));
  ASSERT_TRUE(rig.t);
  router::TorrentPeerConn& c = rig.add_peer(hash_of(1));
  rig.deliver(c, 0, handshake("7:i2p_dhti256e7:i2p_pexi0e11:ut_metadatai0e", "13:metadata_sizei16777216e"));
  ASSERT_TRUE(c.ext);
  EXPECT_EQ(c.ext->ut_metadata, -1);
  EXPECT_EQ(c.ext->i2p_pex, -1);
  EXPECT_EQ(c.ext->i2p_dht, -1);
  EXPECT_FALSE(c.ext->metadata_size);
  EXPECT_EQ(c.client, "test");
  EXPECT_EQ(rig.torrent->metadata_size, 0);
  EXPECT_TRUE(sent_ext(c.send_buf).empty());

  rig.deliver(c, 0, handshake("7:i2p_dhti9e7:i2p_pexi255e11:ut_metadatai1e", "13:metadata_sizei16777215e"));
  EXPECT_EQ(c.ext->ut_metadata, 1);
  EXPECT_EQ(c.ext->i2p_pex, 255);
  EXPECT_EQ(c.ext->i2p_dht, 9);
  EXPECT_EQ(rig.torrent->metadata_size, 16777215);
  // A peer with an i2p_dht id is told our DHT ports.
  const auto sent = sent_ext(c.send_buf);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].first, 9);
  EXPECT_EQ(sent[0].second, "d4:porti6881e5:rporti6882ee");
  // Our own handshake: keys in order, the size only when known.
  EXPECT_EQ(str(router::bt_ext_handshake_payload(0)),
            "d1:md7:i2p_dhti3e7:i2p_pexi1e11:ut_metadatai2ee4:reqqi64e1:v14:ondrel-i2p/0.1e");
  EXPECT_EQ(str(router::bt_ext_handshake_payload(20000)),
            "d1:md7:i2p_dhti3e7:i2p_pexi1e11:ut_metadatai2ee13:metadata_sizei20000e4:reqqi64e1:v14:ondrel-i2p/0.1e");
}

TEST(Extensions, ServingMetadataPieces) {
  ExtRig rig(std::string(40, '2'));
  ASSERT_TRUE(rig.t);
  router::TorrentPeerConn& c = rig.add_peer(hash_of(2));
  rig.deliver(c, 0, handshake("11:ut_metadatai5e"));
  // Without metainfo every request is rejected.
  rig.deliver(c, 2, "d8:msg_typei0e5:piecei0ee");
  auto sent = sent_ext(c.send_buf);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0], std::make_pair(5, std::string("d8:msg_typei2e5:piecei0ee")));
  c.send_buf.clear();

  Bytes info(20000);
  for (std::size_t i = 0; i < info.size(); ++i) info[i] = static_cast<std::uint8_t>(i * 7);
  rig.torrent->info_bytes = info;
  for (const char* req : {"d8:msg_typei0e5:piecei0ee", "d8:msg_typei0e5:piecei1ee", "d8:msg_typei0e5:piecei2ee",
                          "d8:msg_typei0e5:piecei-1ee", "d8:msg_typei0ee", "not bencode"}) {
    rig.deliver(c, 2, req);
  }
  // A reject for an index too large to address.
  rig.deliver(c, 2, "d8:msg_typei0e5:piecei2147483648ee");
  sent = sent_ext(c.send_buf);
  ASSERT_EQ(sent.size(), 3u);
  const std::string head0 = "d8:msg_typei1e5:piecei0e10:total_sizei20000ee";
  const std::string head1 = "d8:msg_typei1e5:piecei1e10:total_sizei20000ee";
  EXPECT_EQ(sent[0].second, head0 + str(ByteView(info).subspan(0, 16384)));
  EXPECT_EQ(sent[1].second, head1 + str(ByteView(info).subspan(16384, 3616)));
  EXPECT_EQ(sent[2].second, "d8:msg_typei2e5:piecei2147483648ee");
}

// A real info dictionary of several 16 KiB metadata pieces: many files with long names,
// made by mktorrent.
struct BigInfo {
  Bytes torrent_file;
  bittorrent::TorrentMeta meta;
};

BigInfo big_info(TorrentNet& t, std::size_t router_index, const std::string& name) {
  const std::filesystem::path dir = t.folders[router_index] / name;
  std::filesystem::create_directories(dir);
  for (int i = 0; i < 240; ++i) {
    const std::string fname = "file-" + std::to_string(1000 + i) + "-" + std::string(120, 'n');
    bt_test::WriteFile(dir / fname, seeded_bytes(300 + static_cast<std::size_t>(i), static_cast<std::uint32_t>(i)));
  }
  const std::filesystem::path out = t.tmp.path() / (name + ".torrent");
  EXPECT_TRUE(bt_test::Run("mktorrent -l 15 -o " + out.string() + " " + dir.string() + " >/dev/null"));
  BigInfo b;
  b.torrent_file = bt_test::ReadFile(out);
  auto meta = bittorrent::parse_torrent_file(b.torrent_file);
  EXPECT_TRUE(meta);
  if (meta) b.meta = *meta;
  return b;
}

std::string data_msg(std::size_t k, std::size_t total, ByteView bytes) {
  return "d8:msg_typei1e5:piecei" + std::to_string(k) + "e10:total_sizei" + std::to_string(total) + "ee" + str(bytes);
}

TEST(Extensions, LyingMetadataSizeDoesNotStopTheFetchFromAnHonestPeer) {
  auto probe = TorrentNet::create(1);
  ASSERT_TRUE(probe);
  const BigInfo info = big_info(*probe, 0, "many");
  const std::size_t size = info.meta.info_bytes.size();
  ASSERT_GT(size, 2 * router::kMetadataPieceSize);
  ExtRig rig(encoding::hex_encode(info.meta.info_hash));
  ASSERT_TRUE(rig.t);
  router::TorrentPeerConn& liar = rig.add_peer(hash_of(0x11));
  router::TorrentPeerConn& honest = rig.add_peer(hash_of(0x22));
  const std::size_t lie = size + 5000;
  rig.deliver(liar, 0, handshake("11:ut_metadatai2e", "13:metadata_sizei" + std::to_string(lie) + "e"));
  rig.deliver(honest, 0, handshake("11:ut_metadatai2e", "13:metadata_sizei" + std::to_string(size) + "e"));
  EXPECT_EQ(rig.torrent->metadata_size, static_cast<std::int32_t>(lie));

  // The liar's pieces of its size: assembled, they fail the check.
  const Bytes junk = seeded_bytes(lie, 99);
  const std::size_t n_lie = (lie + 16383) / 16384;
  for (std::size_t k = 0; k < n_lie; ++k) {
    const std::size_t len = std::min<std::size_t>(16384, lie - k * 16384);
    rig.deliver(liar, 2, data_msg(k, lie, ByteView(junk).subspan(k * 16384, len)));
  }
  EXPECT_FALSE(rig.torrent->meta);
  EXPECT_TRUE(rig.torrent->metadata_pieces.empty());
  EXPECT_TRUE(router::bt_peer_backed_off(rig.torrent->backoff, liar.peer, ntcp2_net::read_now().mono_ms));
  EXPECT_EQ(rig.torrent->metadata_size, static_cast<std::int32_t>(size)) << "taken again from the honest peer";

  // The next request goes to the honest peer, never to the liar.
  rig.torrent->last_metadata_request_ms = 0;
  EXPECT_FALSE(router::bt_request_metadata(rig.t->net[0], rig.t->engine(0), *rig.t->session(0), rig.stream_of(liar),
                                           *rig.torrent, liar, ntcp2_net::read_now()));
  EXPECT_TRUE(router::bt_request_metadata(rig.t->net[0], rig.t->engine(0), *rig.t->session(0), rig.stream_of(honest),
                                          *rig.torrent, honest, ntcp2_net::read_now()));
  const auto asked = sent_ext(honest.send_buf);
  ASSERT_FALSE(asked.empty());
  EXPECT_EQ(asked.back(), std::make_pair(2, std::string("d8:msg_typei0e5:piecei0ee")));

  // The liar's further pieces are ignored; the honest peer's complete the dictionary, a
  // duplicate keeping its first copy.
  rig.deliver(liar, 2, data_msg(0, lie, ByteView(junk).subspan(0, 16384)));
  EXPECT_EQ(rig.torrent->metadata_size, static_cast<std::int32_t>(size));
  const Bytes& real = info.meta.info_bytes;
  const std::size_t n = (size + 16383) / 16384;
  for (std::size_t k = 0; k < n; ++k) {
    const std::size_t len = std::min<std::size_t>(16384, size - k * 16384);
    if (k == 0) rig.deliver(honest, 2, data_msg(0, size, ByteView(real).subspan(0, 16384)));
    rig.deliver(honest, 2, data_msg(k, size, ByteView(real).subspan(k * 16384, len)));
  }
  ASSERT_TRUE(rig.torrent->meta);
  EXPECT_EQ(rig.torrent->info_bytes, real);
  EXPECT_EQ(rig.torrent->meta->files.size(), 240u);
  EXPECT_TRUE(rig.torrent->metadata_pieces.empty());
  EXPECT_TRUE(rig.torrent->error.empty());
}

TEST(Extensions, WrongDigestStartsAgainAndOversizeIsIgnored) {
  ExtRig rig(std::string(40, '3'));
  ASSERT_TRUE(rig.t);
  router::TorrentPeerConn& c = rig.add_peer(hash_of(3));
  rig.deliver(c, 2, data_msg(0, 8388609, to_bytes("x")));
  EXPECT_EQ(rig.torrent->metadata_size, 0);
  EXPECT_TRUE(rig.torrent->metadata_pieces.empty());
  // One byte of a 1-byte dictionary is complete at once; it does not hash to the info
  // hash, so it is dropped.
  rig.deliver(c, 2, data_msg(0, 1, to_bytes("x")));
  EXPECT_FALSE(rig.torrent->meta);
  EXPECT_TRUE(rig.torrent->metadata_pieces.empty());
}

TEST(Extensions, OneByteDictionaryThatMatchesIsParsed) {
  // "x" is not an info dictionary: the digest matches, parsing fails, the error is set
  // and the piece kept.
  const Bytes x = to_bytes("x");
  ExtRig rig(encoding::hex_encode(crypto::sha1(x)));
  ASSERT_TRUE(rig.t);
  router::TorrentPeerConn& c = rig.add_peer(hash_of(4));
  rig.deliver(c, 2, data_msg(0, 1, x));
  EXPECT_FALSE(rig.torrent->meta);
  EXPECT_TRUE(rig.torrent->error.starts_with("metadata parse failed: ")) << rig.torrent->error;
  EXPECT_EQ(rig.torrent->metadata_pieces.size(), 1u);
}

TEST(Extensions, PeerExchangeAddsNewPeersOnly) {
  ExtRig rig(std::string(40, '5'));
  ASSERT_TRUE(rig.t);
  router::TorrentPeerConn& c = rig.add_peer(hash_of(5));
  const common::Hash known = hash_of(0x40);
  router::bt_add_known_peer(*rig.torrent, known, rig.t->dest(0));
  const common::Hash own_hash = rig.t->dest(0);
  const std::string own(own_hash.bytes.begin(), own_hash.bytes.end());
  const std::string a(32, '\x41');
  const std::string added = a + std::string(known.bytes.begin(), known.bytes.end()) + own + std::string(6, 'z');
  rig.deliver(c, 1, "d5:added" + std::to_string(added.size()) + ":" + added + "e");
  ASSERT_EQ(rig.torrent->known_peers.size(), 2u);
  EXPECT_EQ(rig.torrent->known_peers[1], hash_of(0x41));
  EXPECT_EQ(rig.t->engine(0).dht.peers_discovered, 1u);

  // Sending: every 30 s, the known peers other than the connection's own.
  rig.deliver(c, 0, handshake("7:i2p_pexi7e"));
  c.send_buf.clear();
  rig.torrent->known_peers.push_back(c.peer);
  const ntcp2_net::Now now = ntcp2_net::read_now();
  EXPECT_TRUE(router::bt_send_pex(rig.t->net[0], rig.t->engine(0), *rig.t->session(0), *rig.torrent, now));
  const auto sent = sent_ext(c.send_buf);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].first, 7);
  EXPECT_EQ(sent[0].second, "d5:added64:" + std::string(known.bytes.begin(), known.bytes.end()) + a + "e");
  ntcp2_net::Now soon = now;
  soon.mono_ms += 29'999;
  EXPECT_FALSE(router::bt_send_pex(rig.t->net[0], rig.t->engine(0), *rig.t->session(0), *rig.torrent, soon));
  soon.mono_ms += 1;
  EXPECT_TRUE(router::bt_send_pex(rig.t->net[0], rig.t->engine(0), *rig.t->session(0), *rig.torrent, soon));
}

// --- Across routers ---------------------------------------------------------------------

TEST(ExtensionsNetwork, MagnetFindsTheSeederByDhtFetchesMetadataAndCompletes) {
  auto t = TorrentNet::create(3);
  ASSERT_TRUE(t);
  const BigInfo info = big_info(*t, 2, "album");
  ASSERT_GT(info.meta.info_bytes.size(), 2 * router::kMetadataPieceSize);
  auto hex = t->net[2].add_torrent_bytes(info.torrent_file, "", ntcp2_net::read_now());
  ASSERT_TRUE(hex);
  ASSERT_TRUE(t->engine(2).torrents.front().completed);
  ASSERT_TRUE(t->net[2].enqueue_dht_bootstrap(t->engine(2), t->dest(1), 6881, ntcp2_net::read_now()));
  ASSERT_TRUE(t->net[0].add_torrent_magnet(
      "magnet:?xt=urn:btih:" + *hex + "&dht=" + t->session(1)->b32_address + ":6881", "", ntcp2_net::read_now()));
  router::ActiveTorrent& leech = t->engine(0).torrents.front();
  ASSERT_TRUE(t->run([&] { return leech.completed; }, 120'000))
      << "meta=" << leech.meta.has_value() << " peers=" << leech.known_peers.size() << " error=" << leech.error;
  EXPECT_EQ(leech.info_bytes, info.meta.info_bytes);
  EXPECT_EQ(leech.name, "album");
  for (const char* i : {"1000", "1239"}) {
    const std::string fname = std::string("file-") + i + "-" + std::string(120, 'n');
    EXPECT_EQ(bt_test::ReadFile(t->folders[0] / "album" / fname), bt_test::ReadFile(t->folders[2] / "album" / fname));
  }
}

TEST(ExtensionsNetwork, PeerExchangeSpreadsAThirdPeer) {
  auto t = TorrentNet::create(3);
  ASSERT_TRUE(t);
  const Bytes content = seeded_bytes(200 * 1024, 3);
  const Bytes file = t->make_torrent(0, "pex.bin", content, 15);
  ASSERT_TRUE(t->net[0].add_torrent_bytes(file, "", ntcp2_net::read_now()));
  ASSERT_TRUE(t->net[1].add_torrent_bytes(file, "", ntcp2_net::read_now()));
  ASSERT_TRUE(t->net[2].add_torrent_bytes(file, "", ntcp2_net::read_now()));
  // Router 1 knows the seeder; router 2 knows only router 1.
  router::bt_add_known_peer(t->engine(1).torrents.front(), t->dest(0), t->dest(1));
  router::bt_add_known_peer(t->engine(2).torrents.front(), t->dest(1), t->dest(2));
  const router::ActiveTorrent& third = t->engine(2).torrents.front();
  auto knows_seeder = [&] {
    return std::find(third.known_peers.begin(), third.known_peers.end(), t->dest(0)) != third.known_peers.end();
  };
  // The first list goes out once a connection has its extension handshake: the test
  // passes the 30 s period by moving the last send back.
  ASSERT_TRUE(t->run(knows_seeder, 60'000, [&](std::size_t i, const ntcp2_net::Now& now) {
    router::ActiveTorrent& tor = t->engine(i).torrents.front();
    if (tor.last_pex_ms != 0 && tor.last_pex_ms + 30'000 > now.mono_ms) tor.last_pex_ms = now.mono_ms - 30'000;
  }));
  EXPECT_TRUE(t->run([&] { return t->engine(2).torrents.front().completed; }, 120'000));
}

}  // namespace
}  // namespace torrent_test
