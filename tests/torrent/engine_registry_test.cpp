// The engine record and its registry: creation with the session "__torrent__", adds from
// .torrent files (made by mktorrent and libtorrent) and magnets, re-verification of what is
// on disk, lookups, pause and remove, the bounds, and the small helpers' tables.
#include <gtest/gtest.h>

#include <filesystem>

#include "bittorrent/dht_table.h"
#include "tests/torrent/engine_fixture.h"

namespace torrent_test {
namespace {

namespace fs = std::filesystem;
using router::ActiveTorrent;

class Registry : public EngineFixture {
 protected:
  // mktorrent's torrent over a 3-file folder "set" (100,000 bytes in 32 KiB pieces) under
  // the engine's folder, and the bytes of its files in order.
  Bytes mktorrent_over_files() {
    fs::create_directories(folder / "set" / "sub");
    const std::pair<const char*, std::size_t> files[] = {
        {"a.bin", 40'000}, {"sub/b.bin", 10'000}, {"sub/c.bin", 50'000}};
    std::uint8_t v = 1;
    for (const auto& [name, size] : files) {
      Bytes data(size);
      for (auto& b : data) b = v++;
      bt_test::WriteFile(folder / "set" / name, data);
      whole.insert(whole.end(), data.begin(), data.end());
    }
    const fs::path out = tmp.path() / "set.torrent";
    EXPECT_TRUE(bt_test::Run("mktorrent -l 15 -a http://tracker.i2p/a -o " + out.string() + " " +
                             (folder / "set").string() + " >/dev/null"));
    return bt_test::ReadFile(out);
  }
  Bytes whole;
};

TEST_F(Registry, EngineAndItsSession) {
  const router::TorrentEngine& e = engine();
  EXPECT_EQ(e.session_id, "__torrent__");
  EXPECT_EQ(std::string(e.peer_id.begin(), e.peer_id.begin() + 8), "-OI0100-");
  EXPECT_EQ(e.download_dir, folder.string());
  EXPECT_TRUE(fs::is_directory(folder));
  EXPECT_EQ(e.publish_gen, 1);
  EXPECT_EQ(e.last_publish_ms, now.mono_ms);
  EXPECT_TRUE(bittorrent::dht_node_id_follows_rule(e.dht.node_id, session->dest_hash, 6881));
  EXPECT_EQ(e.dht.own_hash, session->dest_hash);
  EXPECT_TRUE(session->streams.has_value());
  EXPECT_TRUE(session->ratchet.has_value());
  EXPECT_EQ(router::torrent_b32_address(r().sessions), session->dest_hash.to_b32_address());
  const std::size_t sessions = r().sessions.size();

  // Again with no folder: nothing changes; with one between blanks and ending in "/", it
  // becomes the default, created.
  ASSERT_TRUE(r().enable_torrent_engine("", now));
  EXPECT_EQ(engine().download_dir, folder.string());
  const fs::path other = tmp.path() / "other";
  ASSERT_TRUE(r().enable_torrent_engine(" \t" + other.string() + "/ \n", now));
  EXPECT_EQ(engine().download_dir, other.string());
  EXPECT_TRUE(fs::is_directory(other));
  EXPECT_EQ(r().sessions.size(), sessions) << "one session, whatever the calls";

  // A folder that cannot be made fails with the platform's error.
  bt_test::WriteFile(tmp.path() / "file", Bytes{1});
  auto bad = r().enable_torrent_engine((tmp.path() / "file" / "sub").string(), now);
  ASSERT_FALSE(bad);
  EXPECT_TRUE(bad.error().is(RouterError::Net));
}

TEST_F(Registry, AddFromFilesOnDiskAndAgain) {
  const Bytes file = mktorrent_over_files();
  auto hex = r().add_torrent_bytes(file, "", now);
  ASSERT_TRUE(hex) << to_string(hex.error());
  ASSERT_EQ(engine().torrents.size(), 1u);
  ActiveTorrent& t = engine().torrents[0];
  EXPECT_EQ(*hex, t.info_hash_hex);
  EXPECT_EQ(t.name, "set");
  EXPECT_TRUE(t.completed) << "the files were already there";
  EXPECT_EQ(t.downloaded, whole.size());
  EXPECT_EQ(t.have, Bytes(4, 1));
  EXPECT_EQ(t.have.count(), 4u);
  EXPECT_EQ(t.trackers.size(), 1u);
  EXPECT_EQ(t.metadata_size, static_cast<std::int32_t>(t.info_bytes.size()));
  EXPECT_EQ(engine().dht.live_peers(t.info_hash, now.wall_ms), std::vector<common::Hash>{session->dest_hash});

  // Added again: same key, one torrent, resumed, not verified again.
  t.paused = true;
  t.downloaded = 12345;
  auto again = r().add_torrent_bytes(file, (tmp.path() / "elsewhere").string(), now);
  ASSERT_TRUE(again);
  EXPECT_EQ(*again, *hex);
  ASSERT_EQ(engine().torrents.size(), 1u);
  EXPECT_FALSE(engine().torrents[0].paused);
  EXPECT_EQ(engine().torrents[0].downloaded, 12345u);
  EXPECT_EQ(engine().torrents[0].download_dir, folder.string());

  // A damaged piece on disk is found missing at the next verification.
  whole[40'000 + 5] ^= 0xFF;
  Bytes b = bt_test::ReadFile(folder / "set" / "sub" / "b.bin");
  b[5] ^= 0xFF;
  bt_test::WriteFile(folder / "set" / "sub" / "b.bin", b);
  ActiveTorrent fresh;
  fresh.download_dir = folder.string();
  EXPECT_FALSE(router::bt_init_torrent_metainfo(fresh, *engine().torrents[0].meta));
  EXPECT_EQ(fresh.have, (Bytes{1, 0, 1, 1}));  // byte 40,005 lies in piece 1
  EXPECT_EQ(fresh.have.count(), 3u);
  EXPECT_EQ(fresh.downloaded, whole.size() - 32768);
}

TEST_F(Registry, MagnetThenTorrentInstallsTheMetainfo) {
  const Bytes file = mktorrent_over_files();
  auto meta = bittorrent::parse_torrent_file(file);
  ASSERT_TRUE(meta);
  const std::string hex = encoding::hex_encode(meta->info_hash);
  std::string upper = hex;
  for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  auto added =
      r().add_torrent_magnet("magnet:?xt=urn:btih:" + upper + "&dn=early+name&tr=http://tr.i2p/announce", "", now);
  ASSERT_TRUE(added) << to_string(added.error());
  EXPECT_EQ(*added, hex);
  ActiveTorrent& t = engine().torrents.at(0);
  EXPECT_EQ(t.name, "early name");
  EXPECT_FALSE(t.meta.has_value());
  EXPECT_TRUE(t.have.empty());
  EXPECT_EQ(t.have.count(), 0u);
  EXPECT_EQ(t.trackers.size(), 1u);

  ASSERT_TRUE(r().add_torrent_bytes(file, (tmp.path() / "later").string(), now));
  ASSERT_EQ(engine().torrents.size(), 1u);
  EXPECT_EQ(t.name, "set");
  EXPECT_TRUE(t.completed);
  EXPECT_EQ(t.download_dir, folder.string()) << "the first folder stays";
  EXPECT_EQ(t.trackers.size(), 2u);
}

TEST_F(Registry, RefusedAdds) {
  struct Case {
    const char* name;
    bool magnet;
    std::string input;
    std::string message_prefix;
  };
  const Case cases[] = {
      {"not bencode", false, "hello", "invalid .torrent metainfo: invalid bencode: "},
      {"no info", false, "d8:announce3:urle", "invalid .torrent metainfo: "},
      {"not a magnet", true, "http://x.i2p/", "invalid magnet URI: invalid magnet: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto added =
        c.magnet ? r().add_torrent_magnet(c.input, "", now) : r().add_torrent_bytes(to_bytes(c.input), "", now);
    ASSERT_FALSE(added);
    EXPECT_TRUE(added.error().is(RouterError::Message));
    EXPECT_TRUE(std::string(added.error().message()).starts_with(c.message_prefix)) << added.error().message();
  }
  EXPECT_TRUE(engine().torrents.empty()) << "a failure leaves no torrent behind";
}

// Two files that land on one name would overwrite each other: refused when added, naming
// both. The torrent is libtorrent's (no file system can hold its files for mktorrent).
TEST_F(Registry, CollidingNamesAreRefusedAtAdd) {
  const auto torrent = bt_test::CollidingTorrent(tmp.path());
  ASSERT_TRUE(torrent.has_value());
  auto added = r().add_torrent_bytes(*torrent, "", now);
  ASSERT_FALSE(added);
  EXPECT_EQ(bt_test::Message(added.error()),
            "conflicting file paths in torrent: \"t/a:b\" and \"t/a|b\" are both written as \"t/a_b\"");
  EXPECT_TRUE(engine().torrents.empty());
}

TEST_F(Registry, AtMost256Torrents) {
  for (int i = 0; i < 256; ++i) {
    ActiveTorrent t;
    t.info_hash.assign(20, static_cast<std::uint8_t>(i));
    t.info_hash[1] = 0xAB;
    engine().torrents.push_back(std::move(t));
  }
  auto added = r().add_torrent_bytes(mktorrent_over_files(), "", now);
  ASSERT_FALSE(added);
  EXPECT_EQ(added.error().message(), "too many torrents (256)");
  EXPECT_EQ(engine().torrents.size(), 256u);
}

TEST_F(Registry, FindPauseRemove) {
  ActiveTorrent& t = add_torrent(2 * kPieceLength, false);
  t.have[1] = 1;
  t.downloaded = 5;
  t.active_pieces.push_back(router::bt_new_active_piece(0, kPieceLength));
  t.peers.push_back(connected(0x40));
  const std::string hex = t.info_hash_hex;
  std::string upper = " \t" + hex + "\r\n";
  for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  EXPECT_EQ(router::bt_find_torrent_by_hex(engine(), upper), &t);
  EXPECT_EQ(router::bt_find_torrent_by_hex(engine(), hex.substr(0, 39)), nullptr);
  EXPECT_EQ(router::bt_find_torrent_by_ih(engine().torrents, t.info_hash), &t);
  EXPECT_EQ(router::bt_find_torrent_by_ih(engine().torrents, ByteView(t.info_hash).first(19)), nullptr);

  const std::uint32_t sid = t.peers[0].stream_id;
  EXPECT_TRUE(r().pause_torrent(upper, now));
  EXPECT_TRUE(t.paused);
  EXPECT_TRUE(t.peers.empty());
  EXPECT_EQ(t.have, (Bytes{0, 1}));
  EXPECT_EQ(t.downloaded, 5u);
  EXPECT_EQ(t.active_pieces.size(), 1u);
  EXPECT_EQ(router::find_stream_by_id(session->streams->connections, sid), nullptr);
  EXPECT_FALSE(r().pause_torrent("00", now));

  EXPECT_TRUE(r().remove_torrent(hex, now));
  EXPECT_TRUE(engine().torrents.empty());
  EXPECT_FALSE(r().remove_torrent(hex, now));
}

TEST(RegistryHelpers, ErrorTexts) {
  struct Case {
    Error error;
    const char* text;
  };
  const Case cases[] = {
      {Error(BittorrentError::Encoding, Error(EncodingError::Truncated, "x")), "encoding error"},
      {Error(BittorrentError::Krpc, "bad"), "KRPC error: bad"},
      {Error(BittorrentError::Wire, "bad"), "wire error: bad"},
      {Error(BittorrentError::Magnet, "bad"), "invalid magnet: bad"},
      {Error(BittorrentError::Metainfo, "bad"), "invalid metainfo: bad"},
      {Error(BittorrentError::Bencode, "bad"), "invalid bencode: bad"},
      {Error(BittorrentError::Common, Error(CommonError::Invalid, "x")), "I2P structure error"},
      {Error(RouterError::Message, "x"), "I2P structure error"},
  };
  for (const Case& c : cases) EXPECT_EQ(router::bt_err_msg(c.error), c.text);
}

TEST(RegistryHelpers, BitfieldsAndFrontRemoval) {
  EXPECT_EQ(router::bt_decode_bitfield(Bytes{0xA0}, 3), (Bytes{1, 0, 1}));
  EXPECT_EQ(router::bt_decode_bitfield(Bytes{0xA0}, 10), (Bytes{1, 0, 1, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(router::bt_decode_bitfield(Bytes{0xFF, 0xFF}, 9), Bytes(9, 1));
  EXPECT_TRUE(router::bt_decode_bitfield(Bytes{0xFF}, 0).empty());
  EXPECT_EQ(router::bt_encode_bitfield(Bytes{1, 0, 1, 0, 0, 0, 0, 0, 1}), (Bytes{0xA0, 0x80}));
  Bytes b{1, 2, 3};
  router::bt_pop_front_bytes(b, 0);
  EXPECT_EQ(b, (Bytes{1, 2, 3}));
  router::bt_pop_front_bytes(b, -1);
  EXPECT_EQ(b, (Bytes{1, 2, 3}));
  router::bt_pop_front_bytes(b, 1);
  EXPECT_EQ(b, (Bytes{2, 3}));
  router::bt_pop_front_bytes(b, 9);
  EXPECT_TRUE(b.empty());
}

TEST(RegistryHelpers, TrackerUrls) {
  ActiveTorrent t;
  for (const char* url :
       {"http://tracker.i2p/announce", "http://Tracker.I2P:8080/a?b=c", "https://x.i2p/a", "udp://x.i2p:80",
        "http://example.com/announce", "http://.i2p/", "http://x.i2p:0/", "http://tracker.i2p/announce"}) {
    router::bt_add_tracker_url(t, url);
  }
  ASSERT_EQ(t.trackers.size(), 2u);
  EXPECT_EQ(t.trackers[0].host, "tracker.i2p");
  EXPECT_EQ(t.trackers[0].port, 80u);
  EXPECT_EQ(t.trackers[0].path, "/announce");
  EXPECT_EQ(t.trackers[1].host, "tracker.i2p");
  EXPECT_EQ(t.trackers[1].port, 8080u);
  EXPECT_EQ(t.trackers[1].path, "/a?b=c");
  EXPECT_EQ(t.trackers[1].url, "http://Tracker.I2P:8080/a?b=c");
}

}  // namespace
}  // namespace torrent_test
