// One engine pass at a time with the time passed in: dialling and its caps, back-offs, the
// accept queue and inbound handshakes, the time-outs of each connection state with their
// close reasons (read from the debug lines) and back-offs, and the LeaseSet2 republication.
#include <gtest/gtest.h>

#include <algorithm>

#include "crypto/ed25519.h"
#include "router/destinations.h"
#include "router/id_counters.h"
#include "tests/torrent/engine_fixture.h"

namespace torrent_test {
namespace {

using router::ActiveTorrent;
using router::PeerConnState;
using router::TorrentPeerConn;

class PeerSteps : public EngineFixture {
 protected:
  // One pass at now + ms, its debug lines returned.
  std::string pass(std::uint64_t ms) {
    r().debug = true;
    testing::internal::CaptureStdout();
    r().step_torrent_engine(now.after(ms));
    r().debug = false;
    return testing::internal::GetCapturedStdout();
  }

  // An accepted stream from the peer, as a SYN leaves one in the manager.
  streaming::ConnectionPtr inbound_stream(std::uint8_t peer_fill, ByteView received) {
    auto c = std::make_shared<streaming::StreamConnection>();
    c->own_destination = session->destination;
    c->signing_key = *session->signing_key;
    c->peer_hash = hash_of(peer_fill);
    c->local_stream_id = session->streams->take_stream_id();
    c->remote_stream_id = 77;
    c->state = streaming::StreamState::Established;
    c->inbound = true;
    c->recv_buf.assign(received.begin(), received.end());
    session->streams->connections.push_back(c);
    session->streams->accept_queue.push_back(c);
    return c;
  }

  bool in_manager(const streaming::ConnectionPtr& s) {
    const auto& all = session->streams->connections;
    return std::find(all.begin(), all.end(), s) != all.end();
  }
};

TEST_F(PeerSteps, LookupTimeoutBackOffAndDialAgain) {
  ActiveTorrent& t = add_torrent(2 * kPieceLength, false);
  const common::Hash peer = hash_of(0x50);
  ASSERT_TRUE(router::bt_add_known_peer(t, peer, session->dest_hash));
  pass(0);
  ASSERT_EQ(t.peers.size(), 1u);
  EXPECT_EQ(router::peer_state(t.peers[0]), PeerConnState::LookingUp);
  pass(30'000);
  ASSERT_EQ(t.peers.size(), 1u) << "no LeaseSet2 for 30 s: still waiting";
  const std::string closed = pass(30'001);
  EXPECT_TRUE(t.peers.empty());
  EXPECT_NE(closed.find(" closed (ls2 lookup timeout (30s))"), std::string::npos) << closed;
  pass(40'000);
  EXPECT_TRUE(t.peers.empty()) << "backed off for 10 s";
  pass(40'001);
  EXPECT_EQ(t.peers.size(), 1u) << "dialled again after the back-off";
  EXPECT_TRUE(t.backoff.empty()) << "expired back-offs are dropped";
}

TEST_F(PeerSteps, DialCapAndCompleteTorrents) {
  ActiveTorrent& t = add_torrent(2 * kPieceLength, false);
  for (std::uint8_t i = 1; i <= 20; ++i) router::bt_add_known_peer(t, hash_of(i), session->dest_hash);
  router::bt_add_known_peer(t, session->dest_hash, hash_of(0xFF));  // the own hash slips in
  pass(0);
  EXPECT_EQ(t.peers.size(), 16u);
  EXPECT_TRUE(std::none_of(t.peers.begin(), t.peers.end(),
                           [&](const TorrentPeerConn& c) { return c.peer == session->dest_hash; }));

  ActiveTorrent& done = add_torrent(kPieceLength, true);
  ASSERT_TRUE(done.completed);
  router::bt_add_known_peer(done, hash_of(0x60), session->dest_hash);
  pass(1);
  EXPECT_TRUE(engine().torrents.back().peers.empty()) << "a complete torrent dials nobody";
}

TEST_F(PeerSteps, KnownPeersAndBackOffsAreBounded) {
  ActiveTorrent& t = add_torrent(kPieceLength, false);
  const common::Hash own = session->dest_hash;
  for (std::size_t i = 0; i < router::kMaxKnownPeers + 5; ++i) {
    std::array<std::uint8_t, 32> b{};
    b[0] = static_cast<std::uint8_t>(i);
    b[1] = static_cast<std::uint8_t>(i >> 8);
    b[2] = 1;
    router::bt_add_known_peer(t, common::Hash::from_bytes(b).value(), own);
  }
  EXPECT_EQ(t.known_peers.size(), router::kMaxKnownPeers);
  std::vector<router::TorrentBackoff> backoff;
  for (std::size_t i = 0; i < router::kMaxBackoffEntries + 5; ++i) {
    std::array<std::uint8_t, 32> b{};
    b[0] = static_cast<std::uint8_t>(i);
    b[1] = static_cast<std::uint8_t>(i >> 8);
    router::bt_set_peer_backoff(backoff, common::Hash::from_bytes(b).value(), 1000 + i, 0);
  }
  EXPECT_EQ(backoff.size(), router::kMaxBackoffEntries);
  // A new deadline replaces the old; deadlines that passed go on the next call.
  router::bt_set_peer_backoff(backoff, hash_of(0x01), 5000, 0);
  router::bt_set_peer_backoff(backoff, hash_of(0x01), 7000, 0);
  EXPECT_EQ(std::count_if(backoff.begin(), backoff.end(), [](const auto& e) { return e.peer == hash_of(0x01); }), 1);
  router::bt_set_peer_backoff(backoff, hash_of(0x02), 9000, 6000);
  EXPECT_EQ(backoff.size(), 2u);
  EXPECT_TRUE(router::bt_peer_backed_off(backoff, hash_of(0x01), 6999));
  EXPECT_FALSE(router::bt_peer_backed_off(backoff, hash_of(0x01), 7000));
}

TEST_F(PeerSteps, AcceptQueueEightPerPass) {
  add_torrent(kPieceLength, false);
  for (std::uint8_t i = 0; i < 9; ++i) inbound_stream(static_cast<std::uint8_t>(0x70 + i), {});
  pass(0);
  EXPECT_EQ(engine().inbound.size(), 8u);
  EXPECT_EQ(session->streams->accept_queue.size(), 1u);
  pass(1);
  EXPECT_EQ(engine().inbound.size(), 9u);
  EXPECT_TRUE(session->streams->accept_queue.empty());
}

TEST_F(PeerSteps, InboundHandshakes) {
  ActiveTorrent& t = add_torrent(2 * kPieceLength, false);
  const Bytes peer_id(20, 0x5A);
  Bytes good = bittorrent::encode_handshake(t.info_hash, peer_id).value();
  const Bytes unknown = bittorrent::encode_handshake(Bytes(20, 0xEE), peer_id).value();
  const Bytes bf = frame(PeerMessage{PeerMessage::Bitfield{Bytes{0x40}}});
  Bytes good_then_bitfield = good;
  good_then_bitfield.insert(good_then_bitfield.end(), bf.begin(), bf.end());

  auto quiet = inbound_stream(0x81, ByteView(good).first(67));
  auto stranger = inbound_stream(0x82, unknown);
  auto friendly = inbound_stream(0x83, good_then_bitfield);
  pass(0);
  EXPECT_FALSE(in_manager(stranger)) << "a handshake for an unknown torrent is closed at once";
  ASSERT_EQ(t.peers.size(), 1u);
  const TorrentPeerConn& c = t.peers[0];
  EXPECT_EQ(c.peer, hash_of(0x83));
  EXPECT_EQ(router::peer_state(c), PeerConnState::Connected);
  EXPECT_EQ(c.peer_bitfield, (Bytes{0, 1})) << "bytes after the handshake are handled at once";
  EXPECT_EQ(std::count(t.known_peers.begin(), t.known_peers.end(), hash_of(0x83)), 1);
  // Our handshake went first: our info hash and peer id.
  Bytes out;
  for (const auto& u : friendly->unacked) out.insert(out.end(), u.packet.payload.begin(), u.packet.payload.end());
  auto ours = bittorrent::decode_handshake(out);
  ASSERT_TRUE(ours);
  EXPECT_TRUE(std::equal(ours->info_hash.begin(), ours->info_hash.end(), t.info_hash.begin()));
  EXPECT_EQ(std::string(ours->peer_id.begin(), ours->peer_id.begin() + 8), "-OI0100-");
  EXPECT_EQ(ours->peer_id, engine().peer_id);

  pass(25'000);
  EXPECT_TRUE(in_manager(quiet)) << "67 bytes: waiting up to 25 s";
  pass(25'001);
  EXPECT_FALSE(in_manager(quiet));
  EXPECT_TRUE(engine().inbound.empty());

  // A paused torrent refuses inbound peers.
  t.paused = true;
  auto late = inbound_stream(0x84, good);
  pass(25'002);
  EXPECT_FALSE(in_manager(late));
}

TEST_F(PeerSteps, HandshakeAndIdleTimeOuts) {
  struct Case {
    const char* name;
    PeerConnState state;
    bool public_mode;
    bool complete;
    std::uint64_t limit;  // still there at limit, gone at limit + 1
    const char* reason;
    std::uint64_t backoff;
  };
  const Case cases[] = {
      {"handshake, local", PeerConnState::HandshakeSent, false, false, 20'000, "bt handshake timeout (20s)", 10'000},
      {"handshake, public", PeerConnState::HandshakeSent, true, false, 30'000, "bt handshake timeout (30s)", 25'000},
      {"connected and idle", PeerConnState::Connected, false, false, 90'000, "idle 90s timeout", 15'000},
      {"connecting", PeerConnState::Connecting, false, false, 30'000, "stream connect timeout (30s)", 5'000},
      {"connecting, public", PeerConnState::Connecting, true, false, 30'000, "stream connect timeout (30s)", 20'000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    engine().torrents.clear();
    r().public_mode = c.public_mode;
    ActiveTorrent& t = add_torrent(kPieceLength, c.complete);
    TorrentPeerConn conn = connected(0x90);
    router::set_peer_state(conn, c.state);
    t.peers.push_back(conn);
    // Keep-alives and the peer's silence are the only traffic; the engine republishes
    // meanwhile, which changes nothing here.
    pass(c.limit);
    ASSERT_EQ(t.peers.size(), 1u);
    const std::string out = pass(c.limit + 1);
    EXPECT_TRUE(t.peers.empty());
    EXPECT_NE(out.find(std::string(" closed (") + c.reason + ")"), std::string::npos) << out;
    EXPECT_TRUE(router::bt_peer_backed_off(t.backoff, hash_of(0x90), now.mono_ms + c.limit + c.backoff));
    EXPECT_FALSE(router::bt_peer_backed_off(t.backoff, hash_of(0x90), now.mono_ms + c.limit + 1 + c.backoff));
  }
  r().public_mode = false;
}

TEST_F(PeerSteps, CompleteTorrentsKeepIdlePeers) {
  ActiveTorrent& t = add_torrent(kPieceLength, true);
  ASSERT_TRUE(t.completed);
  TorrentPeerConn conn = connected(0x91);
  t.peers.push_back(conn);
  pass(200'000);
  ASSERT_EQ(t.peers.size(), 1u);
  EXPECT_EQ(router::peer_state(t.peers[0]), PeerConnState::Connected);
}

TEST_F(PeerSteps, HandshakeMismatchCloses) {
  ActiveTorrent& t = add_torrent(kPieceLength, false);
  TorrentPeerConn conn = connected(0x92);
  router::set_peer_state(conn, PeerConnState::HandshakeSent);
  t.peers.push_back(conn);
  stream->recv_buf = bittorrent::encode_handshake(Bytes(20, 0xEE), Bytes(20, 0x02)).value();
  const std::string out = pass(10);
  EXPECT_TRUE(t.peers.empty());
  EXPECT_NE(out.find(" closed (bt handshake mismatch)"), std::string::npos) << out;
  EXPECT_TRUE(router::bt_peer_backed_off(t.backoff, hash_of(0x92), now.mono_ms + 10 + 14'999));
}

TEST_F(PeerSteps, RepublicationEvery120Seconds) {
  const std::int32_t gen = engine().publish_gen;
  pass(119'999);
  EXPECT_EQ(engine().publish_gen, gen);
  pass(120'000);
  EXPECT_EQ(engine().publish_gen, gen + 1);
  EXPECT_EQ(engine().last_publish_ms, now.mono_ms + 120'000);
}

}  // namespace
}  // namespace torrent_test

namespace torrent_test {
namespace {

// The router core's call does nothing without an engine, or without its session's streams.
TEST(EngineAbsent, StepDoesNoWork) {
  auto net = test_support::TestNetwork::create({.routers = 1});
  ASSERT_TRUE(net) << to_string(net.error());
  router::Router& r = (*net)[0];
  const ntcp2_net::Now now = ntcp2_net::read_now();
  EXPECT_FALSE(r.step_torrent_engine(now));
  EXPECT_EQ(router::torrent_b32_address(r.sessions), "");
  TempDir tmp;
  ASSERT_TRUE(r.enable_torrent_engine(tmp.path().string(), now));
  router::bt_find_session(r.sessions, "__torrent__")->streams.reset();
  EXPECT_FALSE(r.step_torrent_engine(now.after(200'000)));
  EXPECT_EQ(r.torrent_engine->publish_gen, 1) << "nothing ran, not even the republication";
}

}  // namespace
}  // namespace torrent_test

namespace torrent_test {
namespace {

class PeerLease : public PeerSteps {
 protected:
  // Another destination on this router whose LeaseSet2 stands in the NetDB as a peer's.
  common::Hash peer_with_lease_set() {
    r().sessions.push_back(stream_session_of(r(), "other"));
    session = router::bt_find_session(r().sessions, "__torrent__");  // the list may have moved
    router::SamSession& other = r().sessions.back();
    auto ls = r().build_session_leaseset2(other, now);
    EXPECT_TRUE(ls);
    if (ls) {
      EXPECT_TRUE(r().netdb.store_lease_set2(*ls, now.wall_s()));
    }
    return other.dest_hash;
  }

  static router::SamSession stream_session_of(router::Router& router_ref, const std::string& id) {
    auto t = router::generate_transient_destination();
    EXPECT_TRUE(t);
    router::SamSession s;
    s.id = id;
    s.destination = t->destination;
    s.dest_hash = t->destination.keys_and_cert.hash();
    s.tunnel_id = static_cast<std::int32_t>(router::take_id(router_ref.next_tunnel_id));
    s.x25519_public = t->encryption_keypair.public_key;
    s.signing_key = crypto::ed25519_signing_key(t->signing_key).value();
    s.ratchet = ratchet::RatchetSessionManager::create(t->encryption_keypair);
    return s;
  }
};

TEST_F(PeerLease, SilentPeerLosesItsLeaseSetUnlessConnectedElsewhere) {
  constexpr router::RatchetMarking kIdleMarking{.quiet_s = 15, .remove_lease_set = true, .throttle = false};
  const common::Hash peer = peer_with_lease_set();
  ASSERT_TRUE(r().netdb.get_lease_set2(peer, now.wall_s()));
  ActiveTorrent& a = add_torrent(kPieceLength, false);
  add_torrent(2 * kPieceLength, false);
  ActiveTorrent& b = engine().torrents.back();
  TorrentPeerConn silent;
  silent.peer = peer;
  TorrentPeerConn busy;
  busy.peer = peer;
  router::set_peer_state(busy, PeerConnState::Connected);
  b.peers.push_back(busy);
  r().bt_mark_peer_ratchet_stale(engine(), *session, silent, kIdleMarking, "idle 90s timeout", now);
  EXPECT_TRUE(r().netdb.get_lease_set2(peer, now.wall_s())) << "connected in another torrent: kept";
  b.peers.clear();
  (void)a;
  r().bt_mark_peer_ratchet_stale(engine(), *session, silent, kIdleMarking, "idle 90s timeout", now);
  EXPECT_FALSE(r().netdb.get_lease_set2(peer, now.wall_s()));
}

TEST_F(PeerLease, LeaseSetAttachedAfterRepublicationAndEvery180Seconds) {
  const common::Hash peer = peer_with_lease_set();
  add_torrent(kPieceLength, false);
  TorrentPeerConn conn = connected(0x99);
  conn.peer = peer;  // the flush refreshes key and gateway from the peer's LeaseSet2
  conn.last_lookup_ms = now.mono_ms;
  auto send = [&](std::uint64_t at) {
    return r().bt_send_peer_wire(engine(), *session, *stream, conn, frame(PeerMessage{PeerMessage::KeepAlive{}}),
                                 now.after(at));
  };
  ASSERT_TRUE(send(10));
  EXPECT_EQ(conn.remote_x25519.size(), 32u);
  ASSERT_TRUE(conn.lease_gateway.has_value());
  EXPECT_EQ(conn.last_flush_ms, now.mono_ms) << "nothing new to attach";
  engine().publish_gen += 1;
  ASSERT_TRUE(send(20));
  EXPECT_EQ(conn.publish_gen, engine().publish_gen);
  EXPECT_EQ(conn.last_flush_ms, now.mono_ms + 20);
  ASSERT_TRUE(send(180'019));
  EXPECT_EQ(conn.last_flush_ms, now.mono_ms + 20);
  ASSERT_TRUE(send(180'020));
  EXPECT_EQ(conn.last_flush_ms, now.mono_ms + 180'020);
}

TEST_F(PeerSteps, InboundPeersBeyondSixteenAreAccepted) {
  ActiveTorrent& t = add_torrent(kPieceLength, false);
  for (std::uint8_t i = 1; i <= 16; ++i) router::bt_add_known_peer(t, hash_of(i), session->dest_hash);
  pass(0);
  ASSERT_EQ(t.peers.size(), 16u);
  inbound_stream(0xA1, bittorrent::encode_handshake(t.info_hash, Bytes(20, 1)).value());
  pass(1);
  EXPECT_EQ(t.peers.size(), 17u);
}

}  // namespace
}  // namespace torrent_test

namespace torrent_test {
namespace {

// A peer that asks faster than its stream takes our answers: requests wait in the receive
// buffer once the send buffer nears 1 MiB; a receive buffer of 2 MiB stops reading.
TEST_F(PeerSteps, BuffersAreBounded) {
  ActiveTorrent& t = add_torrent(4 * kPieceLength, true);
  ASSERT_TRUE(t.completed);
  TorrentPeerConn conn = connected(0xB1);
  for (int i = 0; i < 200; ++i) {
    const Bytes f = frame(PeerMessage{PeerMessage::Request{static_cast<std::uint32_t>(i % 4), 0, 16384}});
    conn.recv_buf.insert(conn.recv_buf.end(), f.begin(), f.end());
  }
  for (int call = 0; call < 5; ++call) r().bt_process_peer_messages(engine(), *session, *stream, t, conn, now);
  EXPECT_LE(conn.send_buf.size(), router::kPeerSendBufMax);
  EXPECT_GT(conn.send_buf.size(), router::kPeerSendBufMax - 2 * 16397);
  EXPECT_FALSE(conn.recv_buf.empty()) << "the rest of the requests wait";
  EXPECT_EQ(router::peer_state(conn), PeerConnState::Connected);

  TorrentPeerConn full = connected(0xB2);
  for (std::size_t i = 0; i < router::kPeerRecvBufMax / 4; ++i) {
    const Bytes f = frame(PeerMessage{PeerMessage::KeepAlive{}});
    full.recv_buf.insert(full.recv_buf.end(), f.begin(), f.end());
  }
  stream->recv_buf = Bytes(100, 7);
  t.peers.push_back(std::move(full));
  pass(1);
  EXPECT_EQ(stream->recv_buf.size(), 100u) << "not read while the receive buffer is full";
  EXPECT_EQ(t.peers.back().recv_buf.size(), router::kPeerRecvBufMax - 64 * 4);
}

}  // namespace
}  // namespace torrent_test
