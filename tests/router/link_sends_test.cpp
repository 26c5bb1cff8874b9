// Link sends held during a pass: they wait in the link's queue, leave together at the flush,
// and a link whose write fails is closed and ends at its next step.
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "encoding/reader.h"
#include "i2np/message.h"
#include "ntcp2/frame.h"
#include "ntcp2_net/glue.h"
#include "router/router.h"
#include "tests/ntcp2_net/ntcp2_test_util.h"

namespace router {
namespace {

using ntcp2_net::Now;

// A router with one link to a made-up peer over a local stream pair; the far end's
// descriptor is returned for the test to read.
struct LinkedRouter {
  Router r;
  ntcp2_net::Ntcp2Conn far;  // the peer's end of the link
  common::Hash peer{};
  ~LinkedRouter() { r.close(); }
};

void link_up(LinkedRouter& lr) {
  StartOptions o;
  o.sam_port = 0;
  auto started = Router::start(o);
  ASSERT_TRUE(started);
  lr.r = std::move(*started);
  auto [sa, sb] = ntcp2_test::session_pair();
  auto [fa, fb] = ntcp2_test::stream_pair();
  ASSERT_GE(fa, 0);
  (void)ondrel_i2p_net_tcp_set_nonblocking(fa, 1);
  (void)ondrel_i2p_net_tcp_set_nonblocking(fb, 1);
  lr.far = ntcp2_net::make_ntcp2_conn(ntcp2_net::TcpSocket(fb), std::move(sb), common::RouterInfo{});
  lr.peer.bytes.fill(0x77);
  PeerSession session;
  session.peer = lr.peer;
  session.conn = ntcp2_net::make_ntcp2_conn(ntcp2_net::TcpSocket(fa), std::move(sa), common::RouterInfo{});
  lr.r.peer_sessions.push_back(std::move(session));
}

// The I2NP messages of the frames that reached the far end, in order.
std::vector<Bytes> messages_at(ntcp2_net::Ntcp2Conn& far) {
  std::vector<Bytes> out;
  for (;;) {
    auto frame = far.recv_blocks_nb(ntcp2_net::read_now());
    if (!frame || !*frame) return out;
    for (const ntcp2::Ntcp2Block& block : **frame) {
      if (const auto* m = block.get_if<ntcp2::Ntcp2Block::I2np>()) out.push_back(m->data);
    }
  }
}

// Held messages share one frame, which leaves at the flush; each arrives whole, in order.
TEST(HeldLinkSends, ShareAFrameThatLeavesAtTheFlush) {
  LinkedRouter lr;
  link_up(lr);
  const Now now = ntcp2_net::read_now();
  lr.r.hold_link_sends = true;
  for (std::uint8_t i = 0; i < 3; ++i) {
    lr.r.send_i2np_to_peer(lr.peer, i2np::I2npPayload{i2np::I2npPayload::Data{Bytes(100, i)}}, now, 500u + i);
  }
  const ntcp2_net::Ntcp2Conn& conn = lr.r.peer_sessions.at(0).conn;
  EXPECT_TRUE(conn.tx_queue.empty());
  // Gathered: the frame's blocks behind the room for its length.
  EXPECT_EQ(static_cast<std::size_t>(conn.tx_queued), conn.tx_open.size() - ntcp2::kFrameLengthLen);
  EXPECT_TRUE(messages_at(lr.far).empty());

  lr.r.hold_link_sends = false;
  lr.r.flush_link_sends(now);
  EXPECT_FALSE(conn.has_unsent());
  EXPECT_EQ(conn.tx_queued, 0);
  ASSERT_TRUE(ntcp2_test::wait_readable(lr.far.socket.fd));
  const std::vector<Bytes> got = messages_at(lr.far);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(lr.far.session.recv_cipher.n, 1u);  // one frame
  for (std::uint8_t i = 0; i < 3; ++i) {
    encoding::Reader reader(got[i]);
    auto decoded = i2np::decode_short_message(reader);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->first.msg_id, 500u + i);
    EXPECT_EQ(decoded->second, (i2np::I2npPayload{i2np::I2npPayload::Data{Bytes(100, i)}}));
  }

  // Without the hold a send leaves at once, in a frame of its own.
  lr.r.send_i2np_to_peer(lr.peer, i2np::I2npPayload{i2np::I2npPayload::Data{Bytes(10, 9)}}, now);
  EXPECT_FALSE(conn.has_unsent());
  ASSERT_TRUE(ntcp2_test::wait_readable(lr.far.socket.fd));
  EXPECT_EQ(messages_at(lr.far).size(), 1u);
  EXPECT_EQ(lr.far.session.recv_cipher.n, 2u);
}

// A frame held open goes out before any frame queued after it, so messages keep their order.
TEST(HeldLinkSends, AFrameQueuedLaterGoesAfterTheHeldOnes) {
  LinkedRouter lr;
  link_up(lr);
  const Now now = ntcp2_net::read_now();
  lr.r.hold_link_sends = true;
  lr.r.send_i2np_to_peer(lr.peer, i2np::I2npPayload{i2np::I2npPayload::Data{Bytes(10, 1)}}, now, 1u);
  PeerSession& session = lr.r.peer_sessions.at(0);
  ASSERT_TRUE(session.conn.queue_i2np_nb(2, 0, i2np::I2npPayload{i2np::I2npPayload::Data{Bytes(10, 2)}}));
  lr.r.hold_link_sends = false;
  lr.r.flush_link_sends(now);
  ASSERT_TRUE(ntcp2_test::wait_readable(lr.far.socket.fd));
  const std::vector<Bytes> got = messages_at(lr.far);
  ASSERT_EQ(got.size(), 2u);
  for (std::uint32_t i = 0; i < 2; ++i) {
    encoding::Reader reader(got[i]);
    auto decoded = i2np::decode_short_message(reader);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->first.msg_id, i + 1);
  }
}

// holding_link_sends: what the step sends leaves when it returns, in one frame; inside a
// hold further out nothing leaves until that one ends; the step's value is returned.
TEST(HeldLinkSends, AHoldingStepWritesOnceAtItsEndUnlessAnOuterOneHolds) {
  LinkedRouter lr;
  link_up(lr);
  const Now now = ntcp2_net::read_now();
  const ntcp2_net::Ntcp2Conn& conn = lr.r.peer_sessions.at(0).conn;
  auto send = [&](std::uint8_t i) {
    lr.r.send_i2np_to_peer(lr.peer, i2np::I2npPayload{i2np::I2npPayload::Data{Bytes(50, i)}}, now);
  };
  const int value = lr.r.holding_link_sends(now, [&] {
    send(1);
    send(2);
    EXPECT_TRUE(conn.has_unsent());
    return 7;
  });
  EXPECT_EQ(value, 7);
  EXPECT_FALSE(lr.r.hold_link_sends);
  EXPECT_FALSE(conn.has_unsent());
  ASSERT_TRUE(ntcp2_test::wait_readable(lr.far.socket.fd));
  EXPECT_EQ(messages_at(lr.far).size(), 2u);
  EXPECT_EQ(lr.far.session.recv_cipher.n, 1u);

  lr.r.holding_link_sends(now, [&] {
    lr.r.holding_link_sends(now, [&] { send(3); });
    EXPECT_TRUE(lr.r.hold_link_sends);
    EXPECT_TRUE(conn.has_unsent());  // the inner step left it to the outer one
    send(4);
  });
  EXPECT_FALSE(conn.has_unsent());
  ASSERT_TRUE(ntcp2_test::wait_readable(lr.far.socket.fd));
  EXPECT_EQ(messages_at(lr.far).size(), 2u);
  EXPECT_EQ(lr.far.session.recv_cipher.n, 2u);
}

TEST(HeldLinkSends, ALinkWhoseWriteFailsIsClosedAndEnds) {
  LinkedRouter lr;
  link_up(lr);
  ASSERT_EQ(::shutdown(lr.r.peer_sessions.at(0).conn.socket.fd, SHUT_WR), 0);
  const Now now = ntcp2_net::read_now();
  lr.r.hold_link_sends = true;
  lr.r.send_i2np_to_peer(lr.peer, i2np::I2npPayload{i2np::I2npPayload::Data{Bytes(10, 2)}}, now);
  lr.r.hold_link_sends = false;
  lr.r.flush_link_sends(now);
  EXPECT_EQ(lr.r.peer_sessions.at(0).conn.socket.fd, -1);
  lr.r.step_ntcp2_peers(now);
  EXPECT_TRUE(lr.r.peer_sessions.empty());
}

}  // namespace
}  // namespace router
