// Messages on a connected peer: what follows the handshakes, every received message, block
// choice and its limits, piece assembly with SHA-1 (the hashes are OpenSSL's), failed pieces
// and serving from disk.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/torrent/engine_fixture.h"
#include "torrent/piece_exchange.h"
#include "torrent/piece_storage.h"

namespace torrent_test {
namespace {

using router::ActiveTorrent;
using router::PeerConnState;
using router::TorrentPeerConn;

using PieceExchange = EngineFixture;

TEST_F(PieceExchange, AfterTheHandshakes) {
  struct Case {
    const char* name;
    bool have_first_piece;
    bool peer_ext;
    bool expect_ext, expect_bitfield, expect_interested;
  };
  const Case cases[] = {
      {"nothing yet, no extensions", false, false, false, false, true},
      {"one piece, extensions", true, true, true, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    engine().torrents.clear();
    ActiveTorrent& t = add_torrent(3 * kPieceLength, false);
    if (c.have_first_piece) t.have[0] = 1;
    TorrentPeerConn conn = connected(0x21);
    conn.peer_supports_ext = c.peer_ext;
    r().bt_send_post_handshake(engine(), *session, *stream, t, conn, now);
    const auto msgs = sent(conn);
    EXPECT_TRUE(conn.post_handshake_sent);
    EXPECT_EQ(only<PeerMessage::Extended>(msgs).size(), c.expect_ext ? 1u : 0u);
    const auto bf = only<PeerMessage::Bitfield>(msgs);
    ASSERT_EQ(bf.size(), c.expect_bitfield ? 1u : 0u);
    if (c.expect_bitfield) {
      EXPECT_EQ(bf[0].bits, Bytes{0x80});  // 3 pieces, spare bits 0
    }
    EXPECT_TRUE(only<PeerMessage::HaveNone>(msgs).empty());
    EXPECT_TRUE(only<PeerMessage::HaveAll>(msgs).empty());
    EXPECT_EQ(only<PeerMessage::Unchoke>(msgs).size(), 1u);
    EXPECT_EQ(only<PeerMessage::Interested>(msgs).size(), c.expect_interested ? 1u : 0u);
    EXPECT_FALSE(conn.am_choking);
  }
}

TEST_F(PieceExchange, ExtensionHandshakeDictionary) {
  // Keys sorted, metadata_size only when known.
  EXPECT_EQ(router::bt_ext_handshake_payload(0),
            bt_test::B("d1:md7:i2p_dhti3e7:i2p_pexi1e11:ut_metadatai2ee4:reqqi64e1:v14:ondrel-i2p/0.1e"));
  EXPECT_EQ(router::bt_ext_handshake_payload(1234),
            bt_test::B("d1:md7:i2p_dhti3e7:i2p_pexi1e11:ut_metadatai2ee13:metadata_sizei1234e4:reqqi64e1:v14:"
                       "ondrel-i2p/0.1e"));
}

TEST_F(PieceExchange, PieceInformationFromThePeer) {
  ActiveTorrent& t = add_torrent(4 * kPieceLength, false);
  struct Case {
    const char* name;
    std::vector<PeerMessage> messages;
    Bytes flags;  // peer_bitfield afterwards
    bool closed;
  };
  const Case cases[] = {
      {"Have 10 of 4 pieces is ignored", {PeerMessage{PeerMessage::Have{10}}}, {}, false},
      {"Have of a huge index is ignored", {PeerMessage{PeerMessage::Have{0x7FFFFFFF}}}, {}, false},
      {"negative Have is ignored", {PeerMessage{PeerMessage::Have{0xFFFFFFFF}}}, {}, false},
      {"Have 2 fills to the piece count", {PeerMessage{PeerMessage::Have{2}}}, {0, 0, 1, 0}, false},
      {"bit field", {PeerMessage{PeerMessage::Bitfield{Bytes{0xA0}}}}, {1, 0, 1, 0}, false},
      {"bits past the piece count are ignored", {PeerMessage{PeerMessage::Bitfield{Bytes{0xFF}}}}, {1, 1, 1, 1}, false},
      {"a bit field one byte long too many closes", {PeerMessage{PeerMessage::Bitfield{Bytes{0xF0, 0}}}}, {}, true},
      {"an empty bit field closes", {PeerMessage{PeerMessage::Bitfield{Bytes{}}}}, {}, true},
      {"HaveAll", {PeerMessage{PeerMessage::HaveAll{}}}, {1, 1, 1, 1}, false},
      {"Bitfield after HaveAll replaces it",
       {PeerMessage{PeerMessage::HaveAll{}}, PeerMessage{PeerMessage::Bitfield{Bytes{0x40}}}},
       {0, 1, 0, 0},
       false},
      {"HaveNone", {PeerMessage{PeerMessage::HaveNone{}}}, {0, 0, 0, 0}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TorrentPeerConn conn = connected(0x22);
    process(t, conn, c.messages);
    EXPECT_EQ(router::peer_state(conn) == PeerConnState::Closed, c.closed) << conn.close_reason;
    if (c.closed) {
      EXPECT_EQ(conn.close_reason, "bitfield length mismatch");
    } else {
      EXPECT_EQ(conn.peer_bitfield, c.flags);
      EXPECT_EQ(conn.peer_bitfield.count(), static_cast<std::size_t>(std::count(c.flags.begin(), c.flags.end(), 1)));
    }
  }
}

TEST_F(PieceExchange, HaveAllBeforeTheMetainfoFillsTheFlagsOnceKnown) {
  ActiveTorrent& t = add_torrent(4 * kPieceLength, false);
  const bittorrent::TorrentMeta meta = *t.meta;
  t.meta.reset();
  t.have.clear();
  TorrentPeerConn conn = connected(0x23);
  process(t, conn, {PeerMessage{PeerMessage::HaveAll{}}, PeerMessage{PeerMessage::Unchoke{}}});
  EXPECT_TRUE(conn.peer_has_all);
  EXPECT_TRUE(conn.peer_bitfield.empty());
  router::bt_init_torrent_metainfo(t, meta);
  r().bt_schedule_piece_requests(engine(), *session, *stream, t, conn, now);
  EXPECT_EQ(conn.peer_bitfield, Bytes(4, 1));
  EXPECT_EQ(conn.peer_bitfield.count(), 4u);
  EXPECT_EQ(conn.inflight.size(), 8u);
}

TEST_F(PieceExchange, ServingRequests) {
  ActiveTorrent& t = add_torrent(3 * kPieceLength - 100, true);  // last piece short
  ASSERT_TRUE(t.completed);
  struct Case {
    const char* name;
    PeerMessage::Request request;
    bool served;
  };
  const Case cases[] = {
      {"a block", {1, 16384, 16384}, true},
      {"32,768 bytes", {0, 0, 32768}, true},
      {"32,769 bytes", {0, 0, 32769}, false},
      {"length 0", {0, 0, 0}, false},
      {"past the end of the last piece", {2, 32768 - 100 - 10, 20}, false},
      {"the end of the last piece", {2, 32768 - 100 - 10, 10}, true},
      {"beyond the piece count", {3, 0, 16}, false},
      {"a negative index", {0xFFFFFFFF, 0, 16}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TorrentPeerConn conn = connected(0x24);
    const std::uint64_t before = t.uploaded;
    process(t, conn, {PeerMessage{c.request}});
    const auto pieces = only<PeerMessage::Piece>(sent(conn));
    EXPECT_TRUE(only<PeerMessage::RejectRequest>(sent(conn)).empty());
    ASSERT_EQ(pieces.size(), c.served ? 1u : 0u);
    if (!c.served) {
      EXPECT_EQ(t.uploaded, before);
      continue;
    }
    const std::size_t at = static_cast<std::size_t>(c.request.index) * kPieceLength + c.request.begin;
    EXPECT_EQ(pieces[0].block, Bytes(content.begin() + static_cast<std::ptrdiff_t>(at),
                                     content.begin() + static_cast<std::ptrdiff_t>(at + c.request.length)));
    EXPECT_EQ(t.uploaded, before + c.request.length);
  }
  // Nothing is served for a piece we lack.
  t.have[1] = 0;
  TorrentPeerConn conn = connected(0x24);
  process(t, conn, {PeerMessage{PeerMessage::Request{1, 0, 16384}}});
  EXPECT_TRUE(only<PeerMessage::Piece>(sent(conn)).empty());
}

TEST_F(PieceExchange, BlockChoiceTable) {
  struct Case {
    const char* name;
    std::vector<int> have;                                 // pieces we have
    std::vector<int> peer;                                 // pieces the peer has
    std::vector<int> active;                               // active pieces, no block received
    std::vector<std::pair<int, std::uint32_t>> requested;  // by another connection
    std::optional<std::pair<int, std::uint32_t>> expected;
  };
  const Case cases[] = {
      {"lowest missing piece first", {}, {0, 1, 2, 3}, {}, {}, {{0, 0}}},
      {"skips what we have", {0}, {0, 1, 2, 3}, {}, {}, {{1, 0}}},
      {"skips what the peer lacks", {}, {2, 3}, {}, {}, {{2, 0}}},
      {"active pieces first", {}, {0, 1, 2, 3}, {3}, {}, {{3, 0}}},
      {"a block asked of another connection is left", {}, {0, 1, 2, 3}, {3}, {{3, 0}}, {{3, 16384}}},
      {"an active piece the peer lacks is passed", {}, {0}, {3}, {}, {{0, 0}}},
      {"four active pieces fully asked: nothing",
       {},
       {0, 1, 2, 3},
       {0, 1, 2, 3},
       {{0, 0}, {0, 16384}, {1, 0}, {1, 16384}, {2, 0}, {2, 16384}, {3, 0}, {3, 16384}},
       std::nullopt},
      {"the peer has nothing we lack", {0, 1}, {0, 1}, {}, {}, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    engine().torrents.clear();
    ActiveTorrent& t = add_torrent(5 * kPieceLength, false);
    for (int i : c.have) t.have[static_cast<std::size_t>(i)] = 1;
    for (int i : c.active) t.active_pieces.push_back(router::bt_new_active_piece(i, kPieceLength));
    TorrentPeerConn other = connected(0x30);
    for (auto [p, b] : c.requested) other.inflight.push_back({p, b, 16384, now.mono_ms});
    t.peers.push_back(other);
    TorrentPeerConn conn = connected(0x31);
    conn.peer_bitfield.assign(5, 0);
    for (int i : c.peer) conn.peer_bitfield[static_cast<std::size_t>(i)] = 1;
    const auto pick = router::bt_pick_block(t, conn, now.mono_ms);
    ASSERT_EQ(pick.has_value(), c.expected.has_value());
    if (pick) {
      EXPECT_EQ(pick->piece, c.expected->first);
      EXPECT_EQ(pick->begin, c.expected->second);
      EXPECT_EQ(pick->length, 16384u);
    }
  }
}

TEST_F(PieceExchange, LastShortPieceEndsWithAShortBlock) {
  ActiveTorrent& t = add_torrent(kPieceLength + 16384 + 100, false);
  TorrentPeerConn conn = connected(0x32);
  conn.peer_bitfield.assign(2, 1);
  t.have[0] = 1;
  auto first = router::bt_pick_block(t, conn, now.mono_ms);
  ASSERT_TRUE(first);
  conn.inflight.push_back(*first);
  auto second = router::bt_pick_block(t, conn, now.mono_ms);
  ASSERT_TRUE(second);
  EXPECT_EQ(first->piece, 1);
  EXPECT_EQ(second->begin, 16384u);
  EXPECT_EQ(second->length, 100u);
  EXPECT_EQ(t.active_pieces.front().data.size(), 16484u);
}

TEST_F(PieceExchange, PieceBuffersStayWithin64MiB) {
  ActiveTorrent& t = add_torrent(kPieceLength, false);
  // A metainfo of three 32 MiB pieces: only two buffers fit.
  t.meta->piece_length = 32 * 1024 * 1024;
  t.meta->total_length = 3 * t.meta->piece_length;
  t.meta->pieces.resize(3);
  t.have.assign(3, 0);
  TorrentPeerConn conn = connected(0x33);
  conn.peer_bitfield.assign(3, 1);
  // Each new piece's blocks are marked received at once, so every pick wants a new piece.
  int picks = 0;
  while (auto pick = router::bt_pick_block(t, conn, now.mono_ms)) {
    ASSERT_LT(++picks, 5);
    std::fill(t.active_pieces.back().received.begin(), t.active_pieces.back().received.end(), 1);
  }
  EXPECT_EQ(picks, 2);
  EXPECT_EQ(t.active_pieces.size(), 2u);
}

TEST_F(PieceExchange, RequestLimitsChokeAndTimeouts) {
  ActiveTorrent& t = add_torrent(5 * kPieceLength, false);  // 10 blocks
  TorrentPeerConn conn = connected(0x34);
  conn.peer_choking = false;
  // The peer has all 5 pieces: more blocks are eligible than may be outstanding.
  process(t, conn, {PeerMessage{PeerMessage::Bitfield{Bytes{0xF8}}}});
  r().bt_schedule_piece_requests(engine(), *session, *stream, t, conn, now);
  auto requests = only<PeerMessage::Request>(sent(conn));
  EXPECT_EQ(requests.size(), 8u);
  EXPECT_EQ(conn.inflight.size(), 8u);
  EXPECT_LE(t.active_pieces.size(), 4u);

  // Choke empties inflight; nothing is requested while choked.
  process(t, conn, {PeerMessage{PeerMessage::Choke{}}});
  EXPECT_TRUE(conn.inflight.empty());
  r().bt_schedule_piece_requests(engine(), *session, *stream, t, conn, now);
  EXPECT_TRUE(only<PeerMessage::Request>(sent(conn)).empty());

  // After Unchoke the same blocks are asked again.
  process(t, conn, {PeerMessage{PeerMessage::Unchoke{}}});
  r().bt_schedule_piece_requests(engine(), *session, *stream, t, conn, now);
  auto again = only<PeerMessage::Request>(sent(conn));
  ASSERT_EQ(again.size(), 8u);
  EXPECT_EQ(again.front().index, requests.front().index);
  EXPECT_EQ(again.front().begin, requests.front().begin);

  // A request is dropped 12,000 ms after it was sent (local mode), not before.
  struct Case {
    bool public_mode;
    std::uint64_t age;
    bool dropped;
  };
  for (const Case c :
       {Case{false, 12000, false}, Case{false, 12001, true}, Case{true, 30000, false}, Case{true, 30001, true}}) {
    SCOPED_TRACE(testing::Message() << "public " << c.public_mode << " age " << c.age);
    r().public_mode = c.public_mode;
    conn.inflight.assign(1, router::InflightRequest{0, 0, 16384, now.mono_ms});
    r().bt_schedule_piece_requests(engine(), *session, *stream, t, conn, now.after(c.age));
    const bool still = std::any_of(conn.inflight.begin(), conn.inflight.end(), [&](const router::InflightRequest& q) {
      return q.piece == 0 && q.begin == 0 && q.sent_ms == now.mono_ms;
    });
    EXPECT_EQ(still, !c.dropped);
    sent(conn);
  }
  r().public_mode = false;

  // A RejectRequest frees its entry.
  conn.inflight.assign(1, router::InflightRequest{2, 16384, 16384, now.mono_ms});
  process(t, conn, {PeerMessage{PeerMessage::RejectRequest{2, 16384, 16384}}});
  EXPECT_TRUE(conn.inflight.empty());
}

Bytes block_of(const Bytes& content, std::size_t piece, std::size_t begin, std::size_t length) {
  const std::size_t at = piece * 32768 + begin;
  return Bytes(content.begin() + static_cast<std::ptrdiff_t>(at),
               content.begin() + static_cast<std::ptrdiff_t>(at + length));
}

TEST_F(PieceExchange, VerifiedPieceIsWrittenAndAnnouncedAndTheLastCompletes) {
  ActiveTorrent& t = add_torrent(2 * kPieceLength, false);
  t.have[0] = 1;  // pretend: piece 0 is already here
  TorrentPeerConn conn = connected(0x35);
  t.active_pieces.push_back(router::bt_new_active_piece(1, kPieceLength));
  conn.inflight.push_back({1, 0, 16384, now.mono_ms});
  conn.inflight.push_back({1, 16384, 16384, now.mono_ms});
  // A block at an unaligned offset and one for an inactive piece change nothing.
  process(t, conn,
          {PeerMessage{PeerMessage::Piece{1, 100, Bytes(16, 1)}}, PeerMessage{PeerMessage::Piece{0, 0, Bytes(16, 1)}}});
  EXPECT_EQ(t.active_pieces.front().received, (Bytes{0, 0}));
  process(t, conn,
          {PeerMessage{PeerMessage::Piece{1, 0, block_of(content, 1, 0, 16384)}},
           PeerMessage{PeerMessage::Piece{1, 16384, block_of(content, 1, 16384, 16384)}}});
  EXPECT_TRUE(conn.inflight.empty());
  EXPECT_TRUE(t.active_pieces.empty());
  EXPECT_EQ(t.have, (Bytes{1, 1}));
  EXPECT_EQ(t.have.count(), 2u);
  EXPECT_EQ(t.downloaded, static_cast<std::uint64_t>(kPieceLength));
  EXPECT_TRUE(t.completed);
  const auto haves = only<PeerMessage::Have>(sent(conn));
  ASSERT_EQ(haves.size(), 1u);
  EXPECT_EQ(haves[0].index, 1u);
  const Bytes on_disk = bt_test::ReadFile(folder / "t.bin");
  ASSERT_EQ(on_disk.size(), 2u * kPieceLength);
  EXPECT_EQ(Bytes(on_disk.begin() + kPieceLength, on_disk.end()), block_of(content, 1, 0, kPieceLength));
  // Complete: nothing more is asked.
  conn.peer_bitfield.assign(2, 1);
  conn.peer_has_pieces = true;
  conn.peer_choking = false;
  r().bt_schedule_piece_requests(engine(), *session, *stream, t, conn, now);
  EXPECT_TRUE(conn.inflight.empty());
}

TEST_F(PieceExchange, FailedPiecesAreFetchedAgainAndThreeFromOnePeerCloseIt) {
  ActiveTorrent& t = add_torrent(4 * kPieceLength, false);
  TorrentPeerConn liar = connected(0x36);
  liar.peer_bitfield.assign(4, 1);
  liar.peer_has_pieces = true;
  liar.peer_choking = false;
  for (std::uint32_t round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    const auto index = static_cast<std::int32_t>(round);
    t.active_pieces.push_back(router::bt_new_active_piece(index, kPieceLength));
    process(t, liar,
            {PeerMessage{PeerMessage::Piece{round, 0, Bytes(16384, 0xEE)}},
             PeerMessage{PeerMessage::Piece{round, 16384, Bytes(16384, 0xEE)}}});
    EXPECT_EQ(t.downloaded, 0u);
    EXPECT_EQ(t.have[round], 0);
    EXPECT_EQ(t.have.count(), 0u);
    EXPECT_EQ(liar.failed_pieces, round + 1);
    // The piece stays, emptied, to be asked again from its first block by one peer.
    const auto p = std::find_if(t.active_pieces.begin(), t.active_pieces.end(),
                                [&](const router::ActivePieceBuf& b) { return b.index == index; });
    ASSERT_NE(p, t.active_pieces.end());
    EXPECT_EQ(p->received, (Bytes{0, 0}));
    EXPECT_TRUE(p->retry);
    t.active_pieces.erase(p);
  }
  EXPECT_EQ(router::peer_state(liar), PeerConnState::Closed);
  EXPECT_EQ(liar.close_reason, "too many failed pieces");
  EXPECT_TRUE(router::bt_peer_backed_off(t.backoff, liar.peer, now.mono_ms + 500'000));

  // A piece that two peers filled counts against neither; its retry goes to one peer.
  TorrentPeerConn a = connected(0x37);
  TorrentPeerConn b = connected(0x38);
  for (TorrentPeerConn* c : {&a, &b}) {
    c->peer_bitfield.assign(4, 1);
    c->peer_choking = false;
    router::set_peer_state(*c, PeerConnState::Connected);
  }
  t.active_pieces.assign(1, router::bt_new_active_piece(3, kPieceLength));
  process(t, a, {PeerMessage{PeerMessage::Piece{3, 0, Bytes(16384, 1)}}});
  process(t, b, {PeerMessage{PeerMessage::Piece{3, 16384, Bytes(16384, 1)}}});
  EXPECT_EQ(a.failed_pieces + b.failed_pieces, 0u);
  t.peers = {a, b};
  auto first = router::bt_pick_block(t, t.peers[0], now.mono_ms);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->piece, 3);
  t.peers[0].inflight.push_back(*first);
  const auto second = router::bt_pick_block(t, t.peers[1], now.mono_ms);
  ASSERT_TRUE(second);
  EXPECT_NE(second->piece, 3) << "the retried piece belongs to the peer that took it";
  // Once that peer chokes us or is gone, anyone may finish it.
  t.peers[0].peer_choking = true;
  t.active_pieces.resize(1);
  const auto third = router::bt_pick_block(t, t.peers[1], now.mono_ms);
  ASSERT_TRUE(third);
  EXPECT_EQ(third->piece, 3);
  EXPECT_EQ(third->begin, 16384u);
}

TEST_F(PieceExchange, UndecodableFrameCloses) {
  ActiveTorrent& t = add_torrent(kPieceLength, false);
  TorrentPeerConn conn = connected(0x39);
  const Bytes huge{0x00, 0x20, 0x00, 0x01, 7};  // a frame above 2 MiB
  conn.recv_buf = huge;
  r().bt_process_peer_messages(engine(), *session, *stream, t, conn, now);
  EXPECT_EQ(router::peer_state(conn), PeerConnState::Closed);
  EXPECT_TRUE(conn.close_reason.starts_with("wire decode error: wire error: ")) << conn.close_reason;
}

TEST_F(PieceExchange, AtMost64MessagesPerCall) {
  ActiveTorrent& t = add_torrent(kPieceLength, false);
  TorrentPeerConn conn = connected(0x3A);
  for (int i = 0; i < 70; ++i) {
    const Bytes f = frame(PeerMessage{PeerMessage::KeepAlive{}});
    conn.recv_buf.insert(conn.recv_buf.end(), f.begin(), f.end());
  }
  r().bt_process_peer_messages(engine(), *session, *stream, t, conn, now);
  EXPECT_EQ(conn.recv_buf.size(), 6u * 4u);
}

}  // namespace
}  // namespace torrent_test
