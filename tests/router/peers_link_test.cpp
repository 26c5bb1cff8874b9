// NTCP2 links between routers of the in-process test network: dialling on send, the
// handshake, queued messages in order, expiry, handshake limits, frame limits, Termination
// and idle close.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ntcp2_net/clock.h"
#include "router/router.h"
#include "tests/router/peers_test_util.h"
#include "tests/support/test_network.h"

namespace router {
namespace {

using ntcp2_net::read_now;
using peers_test::database_store_of;
using peers_test::hash_of;
using peers_test::kLimitMs;
using peers_test::linked_pair;
using peers_test::make_network;
using peers_test::reference_router_info;
using peers_test::wait_accept_queue;
using peers_test::wait_readable_bytes;
using test_support::TestNetwork;

std::vector<common::Hash> netdb_hashes(const Router& r) {
  std::vector<common::Hash> hashes;
  for (const auto& e : r.netdb.router_infos()) hashes.push_back(e.hash);
  return hashes;
}

// Wire size of a frame holding one I2NP block: length field, block header, short header,
// body and MAC.
std::size_t i2np_frame_size(const i2np::I2npPayload& payload) { return 2 + 3 + 9 + payload.encode_body()->size() + 16; }

TEST(PeerLinks, QueuedStoresGoOutInOrderOnceTheDialledLinkStands) {
  // A third identity whose RouterInfo is only carried, never dialled.
  StartOptions extra_options;
  extra_options.ntcp2_host = "127.0.0.9";
  extra_options.sam_port = 0;
  auto extra = Router::start(extra_options);
  ASSERT_TRUE(extra);
  const std::vector<common::RouterInfo> infos = {reference_router_info("ff-127.0.0.2.dat"),
                                                 reference_router_info("plain-127.0.0.3.dat"), extra->router_info};
  extra->close();

  TestNetwork net;
  ASSERT_NO_FATAL_FAILURE(make_network(net, 2, /*debug=*/true));
  testing::internal::CaptureStdout();
  for (const auto& info : infos) net[0].send_i2np_to_peer(net.hash(1), database_store_of(info), read_now());
  ASSERT_EQ(net[0].pending_sends.size(), 3u);
  ASSERT_EQ(net[0].pending_dials.size(), 1u);  // one dial for all three
  EXPECT_EQ(net[0].pending_dials[0].peer, net.hash(1));
  std::vector<std::uint32_t> ids;
  for (const auto& p : net[0].pending_sends) ids.push_back(p.msg_id);
  EXPECT_EQ(ids[1], ids[0] + 1);
  EXPECT_EQ(ids[2], ids[0] + 2);

  const bool stored = net.run_until([&] { return net[1].netdb.router_infos().size() == 5; }, kLimitMs);
  const std::string out = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(stored);

  std::vector<common::Hash> expected = {net.hash(1), net.hash(0)};
  for (const auto& info : infos) expected.push_back(hash_of(info));
  EXPECT_EQ(netdb_hashes(net[1]), expected);
  EXPECT_TRUE(net[0].pending_sends.empty());
  EXPECT_NE(out.find("[debug] NTCP2 connected to " + net.hash(1).to_b32_address() + " (peers=1)\n"), std::string::npos)
      << out;
  for (const auto& info : infos) {
    EXPECT_NE(out.find("[debug] NetDB DatabaseStore type=0 stored=true key=" + hash_of(info).to_b32_address()),
              std::string::npos);
  }
  // The inbound side knows its peer from the RouterInfo sent in the handshake.
  ASSERT_EQ(net[1].peer_sessions.size(), 1u);
  EXPECT_EQ(net[1].peer_sessions[0].peer, net.hash(0));
  EXPECT_TRUE(net[1].has_connected_peer(net.hash(0)));
  EXPECT_FALSE(net[1].has_connected_peer(net.hash(1)));
}

TEST(PeerLinks, LaterMessagesUseTheLinkDirectly) {
  TestNetwork net;
  ASSERT_NO_FATAL_FAILURE(linked_pair(net));
  const auto info = reference_router_info("plain-127.0.0.3.dat");
  net[1].send_i2np_to_peer(net.hash(0), database_store_of(info), read_now());  // back over the inbound link
  EXPECT_TRUE(net[1].pending_sends.empty());
  EXPECT_TRUE(net[1].pending_dials.empty());
  EXPECT_TRUE(net.run_until([&] { return net[0].netdb.get_router_info(hash_of(info)) != nullptr; }, kLimitMs,
                            TestNetwork::peers_step));
}

TEST(PeerLinks, QueuedMessageLeavesOnAnInboundLinkFromThatPeer) {
  TestNetwork net;
  ASSERT_NO_FATAL_FAILURE(make_network(net, 2));
  // Router 1 does not know router 0: its message waits without a dial.
  net[1].netdb.remove_router_info(net.hash(0));
  const auto info = reference_router_info("plain-127.0.0.3.dat");
  net[1].send_i2np_to_peer(net.hash(0), database_store_of(info), read_now());
  EXPECT_EQ(net[1].pending_sends.size(), 1u);
  EXPECT_TRUE(net[1].pending_dials.empty());
  // Router 0 dials; router 1 learns who called from the handshake's RouterInfo.
  net[0].ensure_peer_dial(net.hash(1), read_now());
  ASSERT_TRUE(net.run_until([&] { return net[0].netdb.get_router_info(hash_of(info)) != nullptr; }, kLimitMs,
                            TestNetwork::peers_step));
  EXPECT_TRUE(net[1].pending_sends.empty());
  EXPECT_NE(net[1].netdb.get_router_info(net.hash(0)), nullptr);
  ASSERT_EQ(net[1].peer_sessions.size(), 1u);
  EXPECT_EQ(net[1].peer_sessions[0].peer, net.hash(0));
}

TEST(PeerLinks, MessageToUnreachablePeerExpiresAfter15Seconds) {
  TestNetwork net;
  ASSERT_NO_FATAL_FAILURE(make_network(net, 1, /*debug=*/true));
  Router& r = net[0];
  const peers_test::RefusingPort refusing("127.0.0.3");
  const auto far = peers_test::signed_router_info("127.0.0.3", std::nullopt, refusing.port());
  const auto unknown = reference_router_info("ff-127.0.0.2.dat");  // not in the NetDB
  ASSERT_TRUE(r.netdb.store_router_info(far));
  const ntcp2_net::Now t0 = read_now();
  testing::internal::CaptureStdout();
  r.send_i2np_to_peer(hash_of(far), database_store_of(far), t0, 7);
  r.send_i2np_to_peer(hash_of(unknown), database_store_of(far), t0, 8);
  ASSERT_EQ(r.pending_sends.size(), 2u);
  EXPECT_EQ(r.pending_sends[0].msg_id, 7u);
  EXPECT_EQ(r.pending_sends[0].expiration_s, t0.wall_s() + 60);
  EXPECT_EQ(r.pending_dials.size(), 1u);  // no RouterInfo, no dial for the unknown peer

  r.step_ntcp2_peers(t0.after(15000));
  EXPECT_EQ(r.pending_sends.size(), 2u);
  r.step_ntcp2_peers(t0.after(15001));
  EXPECT_TRUE(r.pending_sends.empty());
  EXPECT_TRUE(r.pending_dials.empty());  // refused or timed out by now
  const std::string out = testing::internal::GetCapturedStdout();
  // Without public mode failing peers are neither backed off nor reported.
  EXPECT_TRUE(r.peer_backoff.empty());
  EXPECT_EQ(out.find("[debug] NTCP2 dial"), std::string::npos) << out;
}

TEST(PeerLinks, MessageToOwnHashIsHandledOnTheNextPassWhateverItsAge) {
  TestNetwork net;
  ASSERT_NO_FATAL_FAILURE(make_network(net, 1));
  Router& r = net[0];
  const auto info = reference_router_info("ff-127.0.0.2.dat");
  const ntcp2_net::Now t0 = read_now();
  r.send_i2np_to_peer(r.router_hash(), database_store_of(info), t0);
  EXPECT_EQ(r.pending_sends.size(), 1u);
  EXPECT_TRUE(r.pending_dials.empty());
  EXPECT_EQ(r.netdb.get_router_info(hash_of(info)), nullptr);
  EXPECT_TRUE(r.step_ntcp2_peers(t0.after(60000)));
  EXPECT_TRUE(r.pending_sends.empty());
  EXPECT_NE(r.netdb.get_router_info(hash_of(info)), nullptr);
}

TEST(PeerLinks, HandshakesAreSteppedUntilTenSecondsThenDropped) {
  TestNetwork net;
  ASSERT_NO_FATAL_FAILURE(make_network(net, 2, /*debug=*/true));
  auto step_router0 = [&](Router& r, const ntcp2_net::Now& now) {
    if (&r == &net[0]) r.step_ntcp2_peers(now);
  };
  // The limits are measured on the monotonic clock from each record's start.
  auto at = [](std::uint64_t mono_ms) { return ntcp2_net::Now{mono_ms, read_now().wall_ms}; };

  // Router 0 accepts; its handshake waits for a SessionConfirmed that never comes because
  // router 1 is stepped only once.
  net[1].ensure_peer_dial(net.hash(0), read_now());
  net[1].step_ntcp2_peers(read_now());
  ASSERT_TRUE(net.run_until([&] { return !net[0].pending_accepts.empty(); }, kLimitMs, step_router0));
  const std::uint64_t accept_start = net[0].pending_accepts[0].started_ms;
  net[0].step_ntcp2_peers(at(accept_start + 10000));
  EXPECT_EQ(net[0].pending_accepts.size(), 1u);
  net[0].step_ntcp2_peers(at(accept_start + 10001));
  EXPECT_TRUE(net[0].pending_accepts.empty());
  EXPECT_TRUE(net[0].peer_backoff.empty());

  // Router 1 dials again; router 0 is no longer stepped, so the dial cannot finish.
  net[1].pending_dials.clear();
  net[1].ensure_peer_dial(net.hash(0), read_now());
  ASSERT_EQ(net[1].pending_dials.size(), 1u);
  const std::uint64_t dial_start = net[1].pending_dials[0].dial.started_ms;
  net[1].step_ntcp2_peers(at(dial_start + 10000));
  EXPECT_EQ(net[1].pending_dials.size(), 1u);
  testing::internal::CaptureStdout();
  net[1].step_ntcp2_peers(at(dial_start + 10001));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // no line outside public mode
  EXPECT_TRUE(net[1].pending_dials.empty());
  EXPECT_TRUE(net[1].peer_backoff.empty());

  // In public mode a dial timeout backs the peer off and says so.
  net[1].public_mode = true;
  net[1].ensure_peer_dial(net.hash(0), read_now());
  ASSERT_EQ(net[1].pending_dials.size(), 1u);
  const ntcp2_net::Now t = at(net[1].pending_dials[0].dial.started_ms + 10001);
  testing::internal::CaptureStdout();
  net[1].step_ntcp2_peers(t);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "[debug] NTCP2 dial timeout: " + net.hash(0).to_b32_address() + "\n");
  EXPECT_TRUE(net[1].is_peer_backed_off(net.hash(0), t.after(59999)));
  net[1].ensure_peer_dial(net.hash(0), t);  // backed off: no new dial
  EXPECT_TRUE(net[1].pending_dials.empty());
}

TEST(PeerLinks, RefusedDialInPublicModeBacksThePeerOff) {
  TestNetwork net;
  ASSERT_NO_FATAL_FAILURE(make_network(net, 1, /*debug=*/true));
  Router& r = net[0];
  r.public_mode = true;
  const peers_test::RefusingPort refusing("127.0.0.3");
  const auto far = peers_test::signed_router_info("127.0.0.3", std::nullopt, refusing.port());
  ASSERT_TRUE(r.netdb.store_router_info(far));
  r.ensure_peer_dial(hash_of(far), read_now());
  testing::internal::CaptureStdout();
  ASSERT_TRUE(net.run_until([&] { return r.pending_dials.empty(); }, kLimitMs, TestNetwork::peers_step));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "[debug] NTCP2 dial rejected: " + hash_of(far).to_b32_address() + "\n");
  EXPECT_TRUE(r.is_peer_backed_off(hash_of(far), read_now()));
}

TEST(PeerLinks, TenWaitingConnectionsAreAcceptedEightPerPass) {
  TestNetwork net;
  ASSERT_NO_FATAL_FAILURE(make_network(net, 2));
  std::vector<PendingPeerDial> dials;
  const auto target = *ntcp2_net::extract_ntcp2_peer(net[0].router_info);
  for (int i = 0; i < 10; ++i) {
    auto dial = ntcp2_net::PendingNtcp2Dial::start(target, net[0].router_info, net[1].static_keypair,
                                                   net[1].router_info, true, read_now());
    ASSERT_TRUE(dial);
    dials.push_back({net.hash(0), std::move(*dial)});
  }
  // The kernel finishes the ten loopback connections on its own time: wait until all ten
  // stand in the listener's accept queue.
  ASSERT_TRUE(wait_accept_queue(net[0].ntcp2_listener.fd, 10));
  EXPECT_TRUE(net[0].step_ntcp2_peers(read_now()));
  EXPECT_EQ(net[0].pending_accepts.size(), 8u);
  net[0].step_ntcp2_peers(read_now());
  EXPECT_EQ(net[0].pending_accepts.size(), 10u);
}

TEST(PeerLinks, ThirtyTwoFramesPerSessionPerPass) {
  TestNetwork net;
  ASSERT_NO_FATAL_FAILURE(linked_pair(net));
  const auto info = reference_router_info("ff-127.0.0.2.dat");
  const i2np::I2npPayload store = database_store_of(info);
  for (int i = 0; i < 40; ++i) net[0].send_i2np_to_peer(net.hash(1), store, read_now());
  ASSERT_EQ(net[0].peer_sessions[0].conn.tx_queued, 0);  // all written to the socket
  const std::uint64_t before = net[1].peer_sessions[0].conn.session.recv_cipher.n;
  ASSERT_TRUE(wait_readable_bytes(net[1].peer_sessions[0].conn.socket.fd, 40 * i2np_frame_size(store)));
  EXPECT_TRUE(net[1].step_ntcp2_peers(read_now()));
  EXPECT_EQ(net[1].peer_sessions[0].conn.session.recv_cipher.n, before + 32);
  EXPECT_TRUE(net[1].step_ntcp2_peers(read_now()));
  EXPECT_EQ(net[1].peer_sessions[0].conn.session.recv_cipher.n, before + 40);
  EXPECT_FALSE(net[1].step_ntcp2_peers(read_now()));
}

TEST(PeerLinks, TerminationClosesTheSessionAfterTheFramesOtherBlocks) {
  TestNetwork net;
  ASSERT_NO_FATAL_FAILURE(linked_pair(net, /*debug=*/true));
  net[1].public_mode = true;
  const auto info = reference_router_info("plain-127.0.0.3.dat");
  auto message = *i2np::encode_short_message(5, 0xFFFFFFFF, database_store_of(info));
  std::vector<ntcp2::Ntcp2Block> blocks;
  blocks.emplace_back(ntcp2::Ntcp2Block::Termination{0, 0, {}});
  blocks.emplace_back(ntcp2::Ntcp2Block::I2np{std::move(message)});
  ASSERT_TRUE(net[0].peer_sessions[0].conn.send_blocks_nb(blocks, read_now()));

  ASSERT_TRUE(wait_readable_bytes(net[1].peer_sessions[0].conn.socket.fd, 1));
  testing::internal::CaptureStdout();
  const ntcp2_net::Now now = read_now();
  net[1].step_ntcp2_peers(now);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(net[1].netdb.get_router_info(hash_of(info)), nullptr);
  EXPECT_TRUE(net[1].peer_sessions.empty());
  EXPECT_TRUE(net[1].is_peer_backed_off(net.hash(0), now.after(59999)));
  EXPECT_NE(out.find("[debug] NTCP2 peer closed/stalled: " + net.hash(0).to_b32_address() + "\n"), std::string::npos)
      << out;
}

TEST(PeerLinks, IdleSessionsCloseAfter180SecondsWithoutPenalty) {
  TestNetwork net;
  ASSERT_NO_FATAL_FAILURE(linked_pair(net));
  net[0].public_mode = true;
  const std::uint64_t last = net[0].peer_sessions[0].last_activity_ms;
  const std::uint64_t wall = read_now().wall_ms;
  EXPECT_FALSE(net[0].step_ntcp2_peers(ntcp2_net::Now{last + 180000, wall}));
  EXPECT_EQ(net[0].peer_sessions.size(), 1u);
  net[0].step_ntcp2_peers(ntcp2_net::Now{last + 180001, wall});
  EXPECT_TRUE(net[0].peer_sessions.empty());
  EXPECT_TRUE(net[0].peer_backoff.empty());
}

TEST(PeerLinks, MessageTooLargeForAFrameIsDroppedAloneQueuedOrNot) {
  TestNetwork net;
  ASSERT_NO_FATAL_FAILURE(make_network(net, 2, /*debug=*/true));
  net[0].public_mode = true;
  const i2np::I2npPayload oversized{i2np::I2npPayload::Data{Bytes(70000, 1)}};
  const auto first = reference_router_info("ff-127.0.0.2.dat");
  const auto second = reference_router_info("plain-127.0.0.3.dat");
  testing::internal::CaptureStdout();
  // Queued before the link: the oversized message must not hold back the next one.
  net[0].send_i2np_to_peer(net.hash(1), oversized, read_now());
  net[0].send_i2np_to_peer(net.hash(1), database_store_of(first), read_now());
  const bool first_arrived = net.run_until([&] { return net[1].netdb.get_router_info(hash_of(first)) != nullptr; },
                                           kLimitMs, TestNetwork::peers_step);
  // On the standing link: dropped, and the link carries the next message.
  net[0].send_i2np_to_peer(net.hash(1), oversized, read_now());
  EXPECT_TRUE(net[0].pending_sends.empty());
  net[0].send_i2np_to_peer(net.hash(1), database_store_of(second), read_now());
  const bool second_arrived = net.run_until([&] { return net[1].netdb.get_router_info(hash_of(second)) != nullptr; },
                                            kLimitMs, TestNetwork::peers_step);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(first_arrived);
  EXPECT_TRUE(second_arrived);
  EXPECT_EQ(net[0].peer_sessions.size(), 1u);
  EXPECT_TRUE(net[0].peer_backoff.empty());
  const std::string line = "[debug] NTCP2 dropped unsendable I2NP message to " + net.hash(1).to_b32_address();
  const auto at = out.find(line);
  ASSERT_NE(at, std::string::npos) << out;
  EXPECT_NE(out.find(line, at + 1), std::string::npos) << out;
}

TEST(PeerLinks, FullSendQueueDropsTheMessageAndKeepsTheLink) {
  TestNetwork net;
  ASSERT_NO_FATAL_FAILURE(linked_pair(net, /*debug=*/true));
  net[0].public_mode = true;
  PeerSession& session = net[0].peer_sessions[0];
  // Router 1 is not stepped, so the socket buffers fill and frames pile up in the queue.
  i2np::I2npPayload big{i2np::I2npPayload::Data{Bytes(60000, 0x5A)}};
  testing::internal::CaptureStdout();
  for (int i = 0; i < 200 && session.conn.tx_queued <= ntcp2_net::kMaxQueuedBytes; ++i) {
    net[0].send_i2np_to_peer(net.hash(1), big, read_now());
  }
  ASSERT_GT(session.conn.tx_queued, ntcp2_net::kMaxQueuedBytes);
  const std::int32_t queued = session.conn.tx_queued;
  net[0].send_i2np_to_peer(net.hash(1), big, read_now());
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_GE(net[0].peer_sessions[0].conn.socket.fd, 0);
  EXPECT_EQ(net[0].peer_sessions[0].conn.tx_queued, queued);
  EXPECT_TRUE(net[0].pending_sends.empty());
  EXPECT_TRUE(net[0].pending_dials.empty());
  EXPECT_TRUE(net[0].peer_backoff.empty());
  EXPECT_NE(out.find("[debug] NTCP2 send queue full, dropped I2NP message to " + net.hash(1).to_b32_address()),
            std::string::npos)
      << out;
  // Once the peer reads, everything queued arrives and the link stays usable.
  EXPECT_TRUE(
      net.run_until([&] { return net[0].peer_sessions[0].conn.tx_queued == 0; }, kLimitMs, TestNetwork::peers_step));
  EXPECT_EQ(net[0].peer_sessions.size(), 1u);
}

}  // namespace
}  // namespace router

namespace router {
namespace {

// Every interval of peer management runs on the monotonic clock: the wall clock jumping a
// day forward or back (NTP, suspend, a user changing the date) neither fires a timer early
// nor holds one back.
TEST(PeerTimers, FollowTheMonotonicClockWhateverTheWallClockDoes) {
  constexpr std::uint64_t kDay = 86'400'000;
  TestNetwork net;
  ASSERT_NO_FATAL_FAILURE(linked_pair(net));
  Router& r = net[0];
  r.public_mode = true;
  const ntcp2_net::Now t0 = read_now();
  auto at = [&](std::uint64_t mono_later, std::int64_t wall_shift) {
    return ntcp2_net::Now{t0.mono_ms + mono_later,
                          static_cast<std::uint64_t>(static_cast<std::int64_t>(t0.wall_ms) + wall_shift)};
  };

  // A queued message to a peer without a link lives 15,000 ms.
  const auto unknown = reference_router_info("ff-127.0.0.2.dat");
  r.send_i2np_to_peer(hash_of(unknown), database_store_of(unknown), t0, 9);
  r.step_ntcp2_peers(at(1000, static_cast<std::int64_t>(kDay)));
  EXPECT_EQ(r.pending_sends.size(), 1u) << "a wall clock a day ahead expired the queue";
  r.step_ntcp2_peers(at(15001, -static_cast<std::int64_t>(kDay)));
  EXPECT_TRUE(r.pending_sends.empty()) << "a wall clock a day behind held the queue";

  // A back-off lasts its 60,000 ms.
  r.mark_peer_failed(hash_of(unknown), 60000, t0);
  EXPECT_TRUE(r.is_peer_backed_off(hash_of(unknown), at(59999, static_cast<std::int64_t>(kDay))));
  EXPECT_FALSE(r.is_peer_backed_off(hash_of(unknown), at(60000, -static_cast<std::int64_t>(kDay))));

  // The maintenance runs at most every 1,500 ms.
  r.step_public_bootstrap(at(0, 0));
  EXPECT_EQ(r.last_maintenance_ms, t0.mono_ms);
  r.step_public_bootstrap(at(1499, static_cast<std::int64_t>(kDay)));
  EXPECT_EQ(r.last_maintenance_ms, t0.mono_ms);
  r.step_public_bootstrap(at(1500, -static_cast<std::int64_t>(kDay)));
  EXPECT_EQ(r.last_maintenance_ms, t0.mono_ms + 1500);

  // An idle session closes 180,000 ms after its last activity.
  const std::uint64_t last = r.peer_sessions[0].last_activity_ms;
  r.step_ntcp2_peers(ntcp2_net::Now{last + 1000, t0.wall_ms + kDay});
  EXPECT_EQ(r.peer_sessions.size(), 1u) << "a wall clock a day ahead closed an active session";
  r.step_ntcp2_peers(ntcp2_net::Now{last + 180001, t0.wall_ms - kDay});
  EXPECT_TRUE(r.peer_sessions.empty()) << "a wall clock a day behind kept an idle session";
}

// At most 16 dials are in progress: peers choose the addresses they publish, and must not
// be able to make this router open connections wherever they like. A message to a further
// peer is dropped.
TEST(PeerDials, AtMostSixteenInProgressAndMessagesBeyondAreDropped) {
  TestNetwork net;
  ASSERT_NO_FATAL_FAILURE(make_network(net, 1, /*debug=*/true));
  Router& r = net[0];
  // A port that takes connections but never answers: every dial stays in progress.
  auto silent = ntcp2_net::TcpListener::bind("127.0.0.9", 0);
  ASSERT_TRUE(silent);
  std::vector<common::RouterInfo> peers;
  for (int i = 0; i < 20; ++i) {
    peers.push_back(
        peers_test::signed_router_info("127.0.0.9", std::nullopt, static_cast<std::uint16_t>(silent->port)));
    ASSERT_TRUE(r.netdb.store_router_info(peers.back()));
  }
  const auto info = reference_router_info("ff-127.0.0.2.dat");
  testing::internal::CaptureStdout();
  for (const auto& p : peers) r.send_i2np_to_peer(hash_of(p), database_store_of(info), read_now());
  // A peer already being dialled still gets its messages queued.
  r.send_i2np_to_peer(hash_of(peers[0]), database_store_of(info), read_now());
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(r.pending_dials.size(), 16u);
  EXPECT_EQ(r.pending_sends.size(), 17u);
  for (int i = 16; i < 20; ++i) {
    EXPECT_NE(out.find("[debug] NTCP2 dial limit reached, dropped I2NP message to " +
                       hash_of(peers[static_cast<std::size_t>(i)]).to_b32_address()),
              std::string::npos)
        << i;
  }
  r.ensure_peer_dial(hash_of(peers[19]), read_now());
  EXPECT_EQ(r.pending_dials.size(), 16u);
}

}  // namespace
}  // namespace router
