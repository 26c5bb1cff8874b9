// Link sends held during a pass: they wait in the link's queue, leave together at the flush,
// and a link whose write fails is closed and ends at its next step.
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

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
  int far = -1;
  common::Hash peer{};
  ~LinkedRouter() {
    if (far >= 0) ::close(far);
    r.close();
  }
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
  lr.far = fb;
  lr.peer.bytes.fill(0x77);
  PeerSession session;
  session.peer = lr.peer;
  session.conn = ntcp2_net::make_ntcp2_conn(ntcp2_net::TcpSocket(fa), std::move(sa), common::RouterInfo{});
  lr.r.peer_sessions.push_back(std::move(session));
}

std::size_t readable_bytes(int fd) {
  std::size_t total = 0;
  std::uint8_t buf[4096];
  for (;;) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n <= 0) return total;
    total += static_cast<std::size_t>(n);
  }
}

TEST(HeldLinkSends, WaitInTheQueueAndLeaveTogetherAtTheFlush) {
  LinkedRouter lr;
  link_up(lr);
  const i2np::I2npPayload message{i2np::I2npPayload::Data{Bytes(100, 1)}};
  const Now now = ntcp2_net::read_now();
  lr.r.hold_link_sends = true;
  for (int i = 0; i < 3; ++i) lr.r.send_i2np_to_peer(lr.peer, message, now);
  const ntcp2_net::Ntcp2Conn& conn = lr.r.peer_sessions.at(0).conn;
  ASSERT_EQ(conn.tx_queue.size(), 3u);
  std::size_t queued = 0;
  for (const Bytes& frame : conn.tx_queue) queued += frame.size();
  EXPECT_EQ(static_cast<std::size_t>(conn.tx_queued), queued);
  EXPECT_EQ(readable_bytes(lr.far), 0u);

  lr.r.hold_link_sends = false;
  lr.r.flush_link_sends(now);
  EXPECT_TRUE(conn.tx_queue.empty());
  EXPECT_EQ(readable_bytes(lr.far), queued);

  // Without the hold a send leaves at once.
  lr.r.send_i2np_to_peer(lr.peer, message, now);
  EXPECT_TRUE(conn.tx_queue.empty());
  EXPECT_GT(readable_bytes(lr.far), 0u);
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
