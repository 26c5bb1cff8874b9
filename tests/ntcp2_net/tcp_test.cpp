#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>

#include <sys/ioctl.h>

#include <gtest/gtest.h>

#include "ntcp2_net/glue.h"
#include "ntcp2_net/tcp_listener.h"
#include "ntcp2_net/tcp_socket.h"
#include "test_util.h"

using ntcp2_net::TcpListener;
using ntcp2_net::TcpSocket;
using ntcp2_net_test::glue_error;
using ntcp2_net_test::len32;
using ntcp2_net_test::u8;

namespace {

const std::string kLoopback = "127.0.0.1";

std::int64_t now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int connect_blocking(int port) { return ondrel_i2p_net_tcp_connect(u8(kLoopback), len32(kLoopback), port); }

// A connected pair over loopback: the client descriptor and the accepted socket.
struct Pair {
  TcpListener listener;
  int client = -1;
  TcpSocket server;

  Pair() {
    auto l = TcpListener::bind(kLoopback, 0);
    if (!l) return;
    listener = std::move(*l);
    client = connect_blocking(listener.port);
    auto s = listener.accept(2000);
    if (s && *s) server = std::move(**s);
  }
  ~Pair() {
    if (client >= 0) close(client);
  }
  bool ok() const { return client >= 0 && server.fd >= 0; }

  void send_from_client(std::string_view data) const {
    ASSERT_EQ(send(client, data.data(), data.size(), MSG_NOSIGNAL), static_cast<ssize_t>(data.size()));
  }
  // Waits (bounded) until the server side has something to read.
  void wait_server_readable() const { ASSERT_EQ(ondrel_i2p_net_tcp_poll_readable(server.fd, 2000), 1); }
};

std::string text(const Bytes& b) { return std::string(b.begin(), b.end()); }

bool has_flag(int fd, int get_cmd, int flag) { return (fcntl(fd, get_cmd) & flag) != 0; }

}  // namespace

// ---- listener -----------------------------------------------------------------------

TEST(TcpListener, PortZeroGivesTheKernelsChoice) {
  auto l = TcpListener::bind(kLoopback, 0);
  ASSERT_TRUE(l.has_value()) << to_string(l.error());
  EXPECT_GT(l->port, 0);
  sockaddr_in addr{};
  socklen_t len = sizeof(addr);
  ASSERT_EQ(getsockname(l->fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  EXPECT_EQ(ntohs(addr.sin_port), l->port);
  EXPECT_EQ(ondrel_i2p_net_tcp_local_port(l->fd), l->port);
  // Non-blocking, so that accept can never stall the loop; close-on-exec for curl.
  EXPECT_TRUE(has_flag(l->fd, F_GETFL, O_NONBLOCK));
  EXPECT_TRUE(has_flag(l->fd, F_GETFD, FD_CLOEXEC));
}

// The listen queue is as deep as the system allows, so a burst of connections is not
// dropped while the loop is busy. A listening socket's TCP_INFO reports its queue limit.
TEST(TcpListener, QueueIsAsDeepAsTheSystemAllows) {
  auto l = ntcp2_net::TcpListener::bind("127.0.0.1", 0);
  ASSERT_TRUE(l.has_value()) << to_string(l.error());
  unsigned long system_limit = SOMAXCONN;
  if (std::ifstream in("/proc/sys/net/core/somaxconn"); in) in >> system_limit;
  tcp_info info{};
  socklen_t len = sizeof info;
  ASSERT_EQ(::getsockopt(l->fd, IPPROTO_TCP, TCP_INFO, &info, &len), 0);
  EXPECT_EQ(info.tcpi_sacked, std::min<unsigned long>(SOMAXCONN, system_limit));
  EXPECT_GT(info.tcpi_sacked, 32u);
}

TEST(TcpListener, AcceptWithoutPendingConnectionGivesNone) {
  auto l = TcpListener::bind(kLoopback, 0);
  ASSERT_TRUE(l.has_value());
  auto a = l->accept(0);
  ASSERT_TRUE(a.has_value());
  EXPECT_FALSE(a->has_value());

  std::int64_t start = now_ms();
  auto b = l->accept(30);
  ASSERT_TRUE(b.has_value());
  EXPECT_FALSE(b->has_value());
  EXPECT_GE(now_ms() - start, 25);
}

TEST(TcpListener, AcceptedSocketIsBlockingAndCloseOnExec) {
  Pair p;
  ASSERT_TRUE(p.ok());
  EXPECT_FALSE(has_flag(p.server.fd, F_GETFL, O_NONBLOCK));
  EXPECT_TRUE(has_flag(p.server.fd, F_GETFD, FD_CLOEXEC));
  EXPECT_EQ(p.server.rx_start, 0u);
  EXPECT_EQ(p.server.rx_end, 0u);
}

TEST(TcpListener, AcceptAfterTheClientVanishedDoesNotWait) {
  auto l = TcpListener::bind(kLoopback, 0);
  ASSERT_TRUE(l.has_value());
  int c = connect_blocking(l->port);
  ASSERT_GE(c, 0);
  // Take the pending connection away behind the listener's back, then ask again.
  int taken = accept(l->fd, nullptr, nullptr);
  ASSERT_GE(taken, 0);
  auto a = l->accept(0);
  ASSERT_TRUE(a.has_value());
  EXPECT_FALSE(a->has_value());
  // A negative time-out waits for the next connection.
  int c2 = connect_blocking(l->port);
  ASSERT_GE(c2, 0);
  int fd = ondrel_i2p_net_tcp_accept(l->fd, -1);
  EXPECT_GE(fd, 0);
  close(fd);
  close(c2);
  close(taken);
  close(c);
}

TEST(TcpListener, BindFailures) {
  auto first = TcpListener::bind(kLoopback, 0);
  ASSERT_TRUE(first.has_value());
  int port = first->port;
  auto again = TcpListener::bind(kLoopback, port);
  ASSERT_FALSE(again.has_value());
  EXPECT_TRUE(again.error().is(NetError::Io));
  EXPECT_EQ(again.error().message(),
            "listen(127.0.0.1:" + std::to_string(port) + ") failed: " + std::strerror(EADDRINUSE));

  auto bad_port = TcpListener::bind(kLoopback, 65536);
  ASSERT_FALSE(bad_port.has_value());
  EXPECT_EQ(bad_port.error().message(), "listen(127.0.0.1:65536) failed: invalid listen host or port");
  auto no_host = TcpListener::bind("", 0);
  ASSERT_FALSE(no_host.has_value());
  EXPECT_EQ(no_host.error().message(), "listen(:0) failed: invalid listen host or port");
  auto long_host = TcpListener::bind(std::string(256, 'h'), 0);
  ASSERT_FALSE(long_host.has_value());
  EXPECT_EQ(ondrel_i2p_net_tcp_listen(u8(kLoopback), len32(kLoopback), -1), -1);
  EXPECT_EQ(glue_error(), "invalid listen host or port");
}

TEST(TcpListener, ClosedListener) {
  auto l = TcpListener::bind(kLoopback, 0);
  ASSERT_TRUE(l.has_value());
  int port = l->port;
  l->close();
  EXPECT_EQ(l->fd, -1);
  l->close();  // harmless twice
  auto a = l->accept(0);
  ASSERT_FALSE(a.has_value());
  EXPECT_TRUE(a.error().is(NetError::Closed));
  // The port is free again.
  auto rebound = TcpListener::bind(kLoopback, port);
  EXPECT_TRUE(rebound.has_value());
}

TEST(TcpListener, MoveTransfersOwnership) {
  auto l = TcpListener::bind(kLoopback, 0);
  ASSERT_TRUE(l.has_value());
  int fd = l->fd;
  TcpListener moved = std::move(*l);
  EXPECT_EQ(l->fd, -1);
  EXPECT_EQ(moved.fd, fd);
  { TcpListener sink = std::move(moved); }
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);  // closed with its last owner
  EXPECT_EQ(errno, EBADF);
}

// ---- connecting ---------------------------------------------------------------------

TEST(TcpConnect, NonBlockingConnectCompletes) {
  auto l = TcpListener::bind(kLoopback, 0);
  ASSERT_TRUE(l.has_value());
  int fd = ondrel_i2p_net_tcp_connect_nb(u8(kLoopback), len32(kLoopback), l->port);
  ASSERT_GE(fd, 0) << glue_error();
  EXPECT_TRUE(has_flag(fd, F_GETFL, O_NONBLOCK));
  EXPECT_TRUE(has_flag(fd, F_GETFD, FD_CLOEXEC));
  int state = 0;
  for (int i = 0; i < 200 && state == 0; ++i) {
    state = ondrel_i2p_net_tcp_check_connected(fd);
    if (state == 0) ondrel_i2p_net_tcp_poll_writable(fd, 10);
  }
  EXPECT_EQ(state, 1);
  auto s = l->accept(1000);
  ASSERT_TRUE(s.has_value() && s->has_value());
  EXPECT_EQ(ondrel_i2p_net_tcp_close(fd), 0);
}

TEST(TcpConnect, RefusedConnection) {
  int port = 0;
  {
    auto l = TcpListener::bind(kLoopback, 0);
    ASSERT_TRUE(l.has_value());
    port = l->port;
  }
  int fd = ondrel_i2p_net_tcp_connect_nb(u8(kLoopback), len32(kLoopback), port);
  if (fd >= 0) {
    int state = 0;
    for (int i = 0; i < 200 && state == 0; ++i) {
      state = ondrel_i2p_net_tcp_check_connected(fd);
      if (state == 0) ondrel_i2p_net_tcp_poll_writable(fd, 10);
    }
    EXPECT_EQ(state, -1);
    close(fd);
  }
  EXPECT_EQ(glue_error(), std::strerror(ECONNREFUSED));

  EXPECT_EQ(connect_blocking(port), -1);
  EXPECT_EQ(glue_error(), std::strerror(ECONNREFUSED));
}

TEST(TcpConnect, ArgumentChecks) {
  struct Case {
    std::string host;
    int port;
  };
  for (const Case& c : {Case{kLoopback, 0}, Case{kLoopback, 65536}, Case{kLoopback, -1}, Case{"", 80},
                        Case{std::string(256, 'a'), 80}, Case{std::string("127.0.0.1\0x", 11), 80}}) {
    EXPECT_EQ(ondrel_i2p_net_tcp_connect_nb(u8(c.host), len32(c.host), c.port), -1);
    EXPECT_EQ(glue_error(), "invalid host or port");
    EXPECT_EQ(ondrel_i2p_net_tcp_connect(u8(c.host), len32(c.host), c.port), -1);
    EXPECT_EQ(glue_error(), "invalid host or port");
  }
}

TEST(TcpConnect, BlockingConnectAndSocketOptions) {
  Pair p;
  ASSERT_TRUE(p.ok());
  EXPECT_FALSE(has_flag(p.client, F_GETFL, O_NONBLOCK));

  int fd = p.server.fd;
  int before = fcntl(fd, F_GETFL);
  ASSERT_EQ(ondrel_i2p_net_tcp_set_nonblocking(fd, 1), 0);
  EXPECT_EQ(fcntl(fd, F_GETFL), before | O_NONBLOCK);
  ASSERT_EQ(ondrel_i2p_net_tcp_set_nonblocking(fd, 0), 0);
  EXPECT_EQ(fcntl(fd, F_GETFL), before);

  ASSERT_EQ(ondrel_i2p_net_tcp_set_peer_timeouts(fd, 15000), 0);
  int keepalive = 0;
  unsigned int user_timeout = 0;
  socklen_t len = sizeof(keepalive);
  ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &keepalive, &len), 0);
  EXPECT_EQ(keepalive, 1);
  len = sizeof(user_timeout);
  ASSERT_EQ(getsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_timeout, &len), 0);
  EXPECT_EQ(user_timeout, 15000u);

  ASSERT_EQ(ondrel_i2p_net_tcp_set_recv_timeout(fd, 1500), 0);
  timeval tv{};
  len = sizeof(tv);
  ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, &len), 0);
  EXPECT_EQ(tv.tv_sec, 1);
  EXPECT_EQ(tv.tv_usec, 500000);

  EXPECT_EQ(ondrel_i2p_net_tcp_set_nonblocking(-1, 1), -1);
  EXPECT_EQ(glue_error(), std::strerror(EBADF));
  EXPECT_EQ(ondrel_i2p_net_tcp_close(-1), -1);
  EXPECT_EQ(glue_error(), std::strerror(EBADF));
}

// ---- reading ------------------------------------------------------------------------

TEST(TcpSocket, ReadSomeHandsOutBufferedBytesFirst) {
  Pair p;
  ASSERT_TRUE(p.ok());
  p.send_from_client("hello world");
  p.wait_server_readable();
  auto poll = p.server.poll_readable();
  ASSERT_TRUE(poll.has_value());
  EXPECT_TRUE(*poll);

  auto a = p.server.read_some(5);
  ASSERT_TRUE(a.has_value());
  EXPECT_EQ(text(*a), "hello");
  EXPECT_EQ(p.server.rx_start, 5u);
  EXPECT_EQ(p.server.rx_end, 11u);
  // Buffered bytes make the socket readable without asking the kernel.
  int fd = p.server.fd;
  p.server.fd = 1 << 20;  // any system call on this would fail
  auto buffered_poll = p.server.poll_readable();
  p.server.fd = fd;
  ASSERT_TRUE(buffered_poll.has_value());
  EXPECT_TRUE(*buffered_poll);

  auto b = p.server.read_some(4096);
  ASSERT_TRUE(b.has_value());
  EXPECT_EQ(text(*b), " world");
}

TEST(TcpSocket, ReadSomeNeverWaitsOnABlockingSocket) {
  Pair p;
  ASSERT_TRUE(p.ok());
  ASSERT_FALSE(has_flag(p.server.fd, F_GETFL, O_NONBLOCK));
  // Should a read wait, this bounds it at 2 s instead of hanging the test.
  ASSERT_EQ(ondrel_i2p_net_tcp_set_recv_timeout(p.server.fd, 2000), 0);
  std::int64_t start = now_ms();
  auto r = p.server.read_some(4096);
  std::int64_t took = now_ms() - start;
  ASSERT_FALSE(r.has_value());
  EXPECT_TRUE(r.error().is(NetError::Timeout));
  EXPECT_LT(took, 1000);
  auto poll = p.server.poll_readable();
  ASSERT_TRUE(poll.has_value());
  EXPECT_FALSE(*poll);
}

TEST(TcpSocket, HalfCloseGivesBufferedBytesThenEmptyReads) {
  Pair p;
  ASSERT_TRUE(p.ok());
  p.send_from_client("0123456789");
  ASSERT_EQ(ondrel_i2p_net_tcp_shutdown_write(p.client), 0);
  p.wait_server_readable();

  auto first = p.server.read_some(4);
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(text(*first), "0123");
  auto rest = p.server.read_some(4096);
  ASSERT_TRUE(rest.has_value());
  EXPECT_EQ(text(*rest), "456789");
  for (int i = 0; i < 3; ++i) {
    p.wait_server_readable();
    auto end = p.server.read_some(4096);
    ASSERT_TRUE(end.has_value());
    EXPECT_TRUE(end->empty());
  }
  // The other direction still works after the peer's half close.
  ASSERT_TRUE(p.server.write_all(as_bytes("reply"), 250).has_value());
  char buf[8];
  ASSERT_EQ(recv(p.client, buf, sizeof(buf), 0), 5);
  EXPECT_EQ(std::string(buf, 5), "reply");
}

TEST(TcpSocket, PumpReturnsBufferedBytesThenReportsTheEnd) {
  Pair p;
  ASSERT_TRUE(p.ok());
  p.send_from_client("0123456789");
  ASSERT_EQ(ondrel_i2p_net_tcp_shutdown_write(p.client), 0);
  p.wait_server_readable();

  auto first = p.server.read_some(3);
  ASSERT_TRUE(first.has_value());
  Bytes out = {'>'};
  auto some = p.server.pump_nonblocking(out, 4);
  ASSERT_TRUE(some.has_value());
  EXPECT_EQ(*some, 4u);
  EXPECT_EQ(text(out), ">3456");
  // The end of the stream may arrive a moment after the data.
  p.wait_server_readable();
  auto rest = p.server.pump_nonblocking(out, 100);
  ASSERT_TRUE(rest.has_value());
  EXPECT_EQ(*rest, 3u);
  EXPECT_EQ(text(out), ">3456789");
  auto end = p.server.pump_nonblocking(out, 100);
  ASSERT_FALSE(end.has_value());
  EXPECT_TRUE(end.error().is(NetError::Closed));
  EXPECT_EQ(text(out), ">3456789");
}

TEST(TcpSocket, PumpStopsWhenNothingIsWaitingAndHonoursTheCount) {
  Pair p;
  ASSERT_TRUE(p.ok());
  Bytes out;
  auto nothing = p.server.pump_nonblocking(out, 4096);
  ASSERT_TRUE(nothing.has_value());
  EXPECT_EQ(*nothing, 0u);
  auto zero = p.server.pump_nonblocking(out, 0);
  ASSERT_TRUE(zero.has_value());
  EXPECT_EQ(*zero, 0u);
  auto negative = p.server.pump_nonblocking(out, -5);
  ASSERT_TRUE(negative.has_value());
  EXPECT_EQ(*negative, 0u);

  Bytes sent = ntcp2_net_test::pattern_bytes(20000);
  ASSERT_TRUE(TcpSocket(dup(p.client)).write_all(sent, 1000).has_value());
  std::int64_t give_up = now_ms() + 3000;
  while (out.size() < sent.size() && now_ms() < give_up) {
    ondrel_i2p_net_tcp_poll_readable(p.server.fd, 100);
    auto got = p.server.pump_nonblocking(out, 7000);
    ASSERT_TRUE(got.has_value());
    EXPECT_LE(*got, 7000u);
  }
  EXPECT_EQ(out, sent);
}

// last_read_short tells whether the kernel held less than the last receive asked for: true
// when it would block or gave less, false when it filled the request (more may wait).
TEST(TcpSocket, PumpNotesWhetherItsLastReceiveTookLessThanItAsked) {
  Pair p;
  ASSERT_TRUE(p.ok());
  Bytes out;
  p.server.last_read_short = false;
  ASSERT_TRUE(p.server.pump_nonblocking(out, 100));
  EXPECT_TRUE(p.server.last_read_short);  // nothing there: it would block

  // 10,000 bytes waiting: a direct read of 8,000 is full, the next one (through the
  // socket's buffer, which asks 4,096) takes the 2,000 left and is short.
  const Bytes sent = ntcp2_net_test::pattern_bytes(10000);
  ASSERT_TRUE(TcpSocket(dup(p.client)).write_all(sent, 1000).has_value());
  // All of it is in the server's receive queue before the first read.
  const std::int64_t give_up = now_ms() + 3000;
  int waiting = 0;
  while (waiting < 10000 && now_ms() < give_up) ASSERT_EQ(ioctl(p.server.fd, FIONREAD, &waiting), 0);
  ASSERT_EQ(waiting, 10000);
  ASSERT_TRUE(p.server.pump_nonblocking(out, 8000));
  EXPECT_EQ(out.size(), 8000u);
  EXPECT_FALSE(p.server.last_read_short);
  ASSERT_TRUE(p.server.pump_nonblocking(out, 100));
  EXPECT_TRUE(p.server.last_read_short);
  EXPECT_EQ(p.server.rx_end - p.server.rx_start, 2000u - 100u);
  // Bytes still buffered are handed out without a receive, which leaves the note as it is.
  ASSERT_TRUE(p.server.pump_nonblocking(out, 1900));
  EXPECT_TRUE(p.server.last_read_short);
  EXPECT_EQ(out, sent);
}

// Reads of any size, long ones straight into the caller's buffer and short ones through the
// socket's own: what was in the buffer stays, nothing is lost or doubled, and the buffer
// holds only what came, however much was asked for.
TEST(TcpSocket, PumpOfEverySizeKeepsTheStreamWhole) {
  for (const std::int64_t want : {std::int64_t{1}, std::int64_t{4095}, std::int64_t{4096}, std::int64_t{5000},
                                  std::int64_t{70000}, std::int64_t{1} << 40}) {
    SCOPED_TRACE(want);
    Pair p;
    ASSERT_TRUE(p.ok());
    const Bytes sent = ntcp2_net_test::pattern_bytes(50000, static_cast<std::uint32_t>(want & 0xffff));
    ASSERT_TRUE(TcpSocket(dup(p.client)).write_all(sent, 2000).has_value());
    Bytes out = {0xAA, 0xBB};
    const std::int64_t give_up = now_ms() + 5000;
    while (out.size() < sent.size() + 2 && now_ms() < give_up) {
      const std::size_t before = out.size();
      auto got = p.server.pump_nonblocking(out, want);
      ASSERT_TRUE(got.has_value());
      EXPECT_LE(static_cast<std::int64_t>(*got), want);
      EXPECT_EQ(out.size(), before + *got);
      if (*got == 0) ondrel_i2p_net_tcp_poll_readable(p.server.fd, 100);
    }
    ASSERT_EQ(out.size(), sent.size() + 2);
    EXPECT_EQ(out[0], 0xAA);
    EXPECT_EQ(out[1], 0xBB);
    EXPECT_TRUE(std::equal(sent.begin(), sent.end(), out.begin() + 2));
  }
}

TEST(TcpSocket, ResetByPeerIsAnIoError) {
  Pair p;
  ASSERT_TRUE(p.ok());
  linger lg{1, 0};
  ASSERT_EQ(setsockopt(p.client, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg)), 0);
  close(p.client);
  p.client = -1;
  p.wait_server_readable();
  auto r = p.server.read_some(4096);
  ASSERT_FALSE(r.has_value());
  EXPECT_TRUE(r.error().is(NetError::Io));
  EXPECT_EQ(r.error().message(), std::string("recv failed: ") + std::strerror(ECONNRESET));
}

// ---- writing ------------------------------------------------------------------------

TEST(TcpSocket, WriteAllDeliversEverything) {
  Pair p;
  ASSERT_TRUE(p.ok());
  Bytes data = ntcp2_net_test::pattern_bytes(5000);
  ASSERT_TRUE(p.server.write_all(data, 250).has_value());
  Bytes got(data.size());
  std::size_t have = 0;
  while (have < got.size()) {
    ssize_t n = recv(p.client, got.data() + have, got.size() - have, 0);
    ASSERT_GT(n, 0);
    have += static_cast<std::size_t>(n);
  }
  EXPECT_EQ(got, data);
}

TEST(TcpSocket, WriteAllToAPeerThatDoesNotReadTimesOutNearItsDeadline) {
  Pair p;
  ASSERT_TRUE(p.ok());
  int small = 4096;
  ASSERT_EQ(setsockopt(p.server.fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small)), 0);
  ASSERT_EQ(setsockopt(p.client, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small)), 0);
  Bytes data(8 << 20, 0x5a);
  std::int64_t start = now_ms();
  auto r = p.server.write_all(data, 200);
  std::int64_t took = now_ms() - start;
  ASSERT_FALSE(r.has_value());
  EXPECT_TRUE(r.error().is(NetError::Timeout));
  EXPECT_GE(took, 195);
  EXPECT_LT(took, 1500);
  // What was sent before the time-out stays sent.
  char buf[1024];
  EXPECT_GT(recv(p.client, buf, sizeof(buf), MSG_DONTWAIT), 0);
}

TEST(TcpSocket, WriteAllToAClosedPeerIsAnIoError) {
  Pair p;
  ASSERT_TRUE(p.ok());
  close(p.client);
  p.client = -1;
  Bytes chunk(1000, 1);
  std::optional<Error> failure;
  for (int i = 0; i < 200 && !failure; ++i) {
    auto r = p.server.write_all(chunk, 50);
    if (!r) failure = r.error();
    ondrel_i2p_net_tcp_poll_readable(p.server.fd, 5);
  }
  ASSERT_TRUE(failure.has_value());
  EXPECT_TRUE(failure->is(NetError::Io));
  std::string m(failure->message());
  EXPECT_TRUE(m == std::string("send failed: ") + std::strerror(EPIPE) ||
              m == std::string("send failed: ") + std::strerror(ECONNRESET))
      << m;
}

TEST(TcpSocket, EmptyWriteAndClosedSocket) {
  Pair p;
  ASSERT_TRUE(p.ok());
  int fd = p.server.fd;
  p.server.fd = 1 << 20;  // not a descriptor: an empty write must not touch it
  EXPECT_TRUE(p.server.write_all({}, 250).has_value());
  p.server.fd = fd;

  p.server.close();
  EXPECT_EQ(p.server.fd, -1);
  p.server.close();
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);

  auto empty = p.server.write_all({}, 250);
  ASSERT_FALSE(empty.has_value());
  EXPECT_TRUE(empty.error().is(NetError::Closed));
  auto some = p.server.write_all(as_bytes("x"), 250);
  ASSERT_FALSE(some.has_value());
  EXPECT_TRUE(some.error().is(NetError::Closed));
  auto read = p.server.read_some(4096);
  ASSERT_FALSE(read.has_value());
  EXPECT_TRUE(read.error().is(NetError::Closed));
  Bytes out;
  auto pump = p.server.pump_nonblocking(out, 10);
  ASSERT_FALSE(pump.has_value());
  EXPECT_TRUE(pump.error().is(NetError::Closed));
  auto poll = p.server.poll_readable();
  ASSERT_FALSE(poll.has_value());
  EXPECT_TRUE(poll.error().is(NetError::Closed));

  TcpSocket fresh;
  EXPECT_EQ(fresh.fd, -1);
  EXPECT_TRUE(fresh.read_some(4096).error().is(NetError::Closed));
}

TEST(TcpSocket, BufferedBytesOutliveTheDescriptor) {
  Pair p;
  ASSERT_TRUE(p.ok());
  p.send_from_client("abcdef");
  p.wait_server_readable();
  ASSERT_EQ(text(*p.server.read_some(2)), "ab");
  p.server.close();
  auto rest = p.server.read_some(4096);
  ASSERT_TRUE(rest.has_value());
  EXPECT_EQ(text(*rest), "cdef");
  EXPECT_TRUE(p.server.read_some(4096).error().is(NetError::Closed));
}

TEST(TcpSocket, MoveKeepsBufferedBytes) {
  Pair p;
  ASSERT_TRUE(p.ok());
  p.send_from_client("abcdef");
  p.wait_server_readable();
  ASSERT_EQ(text(*p.server.read_some(2)), "ab");
  int fd = p.server.fd;
  TcpSocket moved = std::move(p.server);
  EXPECT_EQ(p.server.fd, -1);
  EXPECT_EQ(p.server.rx_start, p.server.rx_end);
  EXPECT_EQ(moved.fd, fd);
  EXPECT_EQ(text(*moved.read_some(4096)), "cdef");
  moved = TcpSocket();
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);  // the assigned-over socket was closed
}
