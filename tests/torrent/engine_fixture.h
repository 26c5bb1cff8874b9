#pragma once
// One router with its torrent engine, a torrent whose metainfo is built here over bytes
// written to its folder (piece hashes by OpenSSL), and a stream to a made-up peer: what the
// engine sends on a connection is read back from the stream's packets and the send buffer.
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bittorrent/peer_wire.h"
#include "ntcp2_net/clock.h"
#include "router/router.h"
#include "tests/base/temp_dir.h"
#include "tests/bittorrent/bt_test_support.h"
#include "tests/support/test_network.h"
#include "torrent/engine.h"
#include "services/streams.h"
#include "torrent/peer_steps.h"
#include "torrent/piece_exchange.h"

namespace torrent_test {

using bittorrent::PeerMessage;

inline common::Hash hash_of(std::uint8_t fill) {
  std::array<std::uint8_t, 32> b{};
  b.fill(fill);
  return common::Hash::from_bytes(b).value();
}

inline Bytes frame(const PeerMessage& m) { return bittorrent::encode_peer_message(m); }

class EngineFixture : public ::testing::Test {
 protected:
  static constexpr std::int64_t kPieceLength = 32768;  // two blocks

  void SetUp() override {
    auto net = test_support::TestNetwork::create({.routers = 1});
    ASSERT_TRUE(net) << to_string(net.error());
    net_ = std::make_unique<test_support::TestNetwork>(std::move(*net));
    now = ntcp2_net::read_now();
    folder = tmp.path() / "dl";
    auto enabled = r().enable_torrent_engine(folder.string(), now);
    ASSERT_TRUE(enabled) << to_string(enabled.error());
    session = router::bt_find_session(r().sessions, "__torrent__");
    ASSERT_NE(session, nullptr);
  }

  router::Router& r() { return (*net_)[0]; }
  router::TorrentEngine& engine() { return *r().torrent_engine; }

  // A torrent of total bytes (pieces of 32 KiB) named "t.bin"; the content is kept, and
  // written to the folder when on_disk.
  router::ActiveTorrent& add_torrent(std::int64_t total, bool on_disk) {
    std::mt19937 gen(static_cast<std::uint32_t>(total));
    content.resize(static_cast<std::size_t>(total));
    for (auto& b : content) b = static_cast<std::uint8_t>(gen());
    bittorrent::TorrentMeta meta;
    meta.name = "t.bin";
    meta.piece_length = kPieceLength;
    meta.total_length = total;
    meta.files = {bittorrent::TorrentFile{{"t.bin"}, total}};
    for (std::int64_t off = 0; off < total; off += kPieceLength) {
      bittorrent::PieceHash h{};
      SHA1(content.data() + off, static_cast<std::size_t>(std::min(kPieceLength, total - off)), h.data());
      meta.pieces.push_back(h);
    }
    meta.info_hash.fill(static_cast<std::uint8_t>(engine().torrents.size() + 1));
    if (on_disk) {
      std::filesystem::create_directories(folder);
      bt_test::WriteFile(folder / "t.bin", content);
    }
    router::ActiveTorrent t;
    t.info_hash.assign(meta.info_hash.begin(), meta.info_hash.end());
    t.info_hash_hex = encoding::hex_encode(t.info_hash);
    t.download_dir = folder.string();
    router::bt_init_torrent_metainfo(t, meta);
    engine().torrents.push_back(std::move(t));
    return engine().torrents.back();
  }

  // A Connected connection to a made-up peer over a fresh (unanswered) stream.
  router::TorrentPeerConn connected(std::uint8_t peer_fill) {
    auto s = session->streams->connect(hash_of(peer_fill), now.mono_ms, 0, 0);
    EXPECT_TRUE(s);
    stream = *s;
    router::TorrentPeerConn c;
    c.peer = hash_of(peer_fill);
    router::set_peer_state(c, router::PeerConnState::Connected);
    c.stream_id = stream->local_stream_id;
    c.state_since_ms = c.last_recv_ms = c.last_send_ms = c.last_flush_ms = now.mono_ms;
    c.publish_gen = engine().publish_gen;
    return c;
  }

  // Everything the engine sent on the stream so far and what waits in the send buffer,
  // decoded; the stream's record of it is then cleared.
  std::vector<PeerMessage> sent(router::TorrentPeerConn& c) {
    Bytes all;
    for (const auto& u : stream->unacked) all.insert(all.end(), u.packet.payload.begin(), u.packet.payload.end());
    stream->unacked.clear();
    stream->outbox.clear();
    all.insert(all.end(), c.send_buf.begin(), c.send_buf.end());
    c.send_buf.clear();
    std::vector<PeerMessage> out;
    while (true) {
      auto m = bittorrent::decode_peer_frame(all);
      EXPECT_TRUE(m);
      if (!m || !*m) break;
      out.push_back(std::move(**m));
    }
    EXPECT_TRUE(all.empty()) << "a partial frame was sent";
    return out;
  }

  void process(router::ActiveTorrent& t, router::TorrentPeerConn& c, const std::vector<PeerMessage>& messages) {
    for (const PeerMessage& m : messages) {
      const Bytes f = frame(m);
      c.recv_buf.insert(c.recv_buf.end(), f.begin(), f.end());
    }
    r().bt_process_peer_messages(engine(), *session, *stream, t, c, now);
  }

  TempDir tmp;
  std::filesystem::path folder;
  std::unique_ptr<test_support::TestNetwork> net_;
  ntcp2_net::Now now;
  router::SamSession* session = nullptr;
  streaming::ConnectionPtr stream;
  Bytes content;
};

template <typename T>
std::vector<T> only(const std::vector<PeerMessage>& messages) {
  std::vector<T> out;
  for (const PeerMessage& m : messages) {
    if (const T* v = std::get_if<T>(&m.kind)) out.push_back(*v);
  }
  return out;
}

}  // namespace torrent_test
