// The many-descriptor wait of the platform layer and the poll set over it, on real
// loopback sockets.
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ntcp2_net/glue.h"
#include "ntcp2_net/poll_set.h"
#include "ntcp2_net/tcp_listener.h"
#include "ntcp2_net/tcp_socket.h"
#include "test_util.h"

using ntcp2_net::PollSet;
using ntcp2_net::TcpListener;
using ntcp2_net::TcpSocket;
using ntcp2_net_test::glue_error;
using ntcp2_net_test::len32;
using ntcp2_net_test::u8;

namespace {

const std::string kLoopback = "127.0.0.1";

// A connected loopback pair: the client descriptor and the accepted socket.
struct Pair {
  TcpListener listener;
  int client = -1;
  TcpSocket server;

  Pair() {
    auto l = TcpListener::bind(kLoopback, 0);
    if (!l) return;
    listener = std::move(*l);
    client = ondrel_i2p_net_tcp_connect(u8(kLoopback), len32(kLoopback), listener.port);
    auto s = listener.accept(5000);
    if (s && *s) server = std::move(**s);
  }
  ~Pair() {
    if (client >= 0) ::close(client);
  }
  bool ok() const { return client >= 0 && server.fd >= 0; }
  void send_from_client(std::string_view data) const {
    ASSERT_EQ(::send(client, data.data(), data.size(), 0), static_cast<ssize_t>(data.size()));
  }
};

TEST(PollSet, ReportsWhatEachDescriptorIsReadyFor) {
  struct Case {
    const char* name;
    bool read;  // what the descriptor is watched for
    bool write;
    void (*prepare)(Pair&);
    bool watch_listener;
    bool want_readable;
    bool want_writable;
  };
  const Case cases[] = {
      {"bytes arrived", true, false, [](Pair& p) { p.send_from_client("x"); }, false, true, false},
      {"peer hung up", true, false,
       [](Pair& p) {
         ::close(p.client);
         p.client = -1;
       },
       false, true, false},
      {"room to send", false, true, [](Pair&) {}, false, false, true},
      {"a connection waits on the listener", true, false,
       [](Pair& p) {
         const int extra = ondrel_i2p_net_tcp_connect(u8(kLoopback), len32(kLoopback), p.listener.port);
         ASSERT_GE(extra, 0);
         // The accept queue keeps the connection after its client is gone: the listener
         // stays readable until it is accepted.
         ::close(extra);
       },
       true, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Pair pair;
    ASSERT_TRUE(pair.ok());
    c.prepare(pair);
    // An idle second socket beside it, which must not be reported.
    Pair idle;
    ASSERT_TRUE(idle.ok());
    PollSet set;
    const int fd = c.watch_listener ? pair.listener.fd : pair.server.fd;
    set.add(fd, c.read, c.write, 7);
    set.add(idle.server.fd, true, false, 9);
    auto n = set.wait(30000);
    ASSERT_TRUE(n) << to_string(n.error());
    EXPECT_EQ(*n, 1u);
    EXPECT_EQ(set.readable(0), c.want_readable);
    EXPECT_EQ(set.writable(0), c.want_writable);
    EXPECT_EQ(set.tags[0], 7);
    EXPECT_FALSE(set.reported(1));
  }
}

TEST(PollSet, AddsOnlyDescriptorsThatWaitForSomething) {
  PollSet set;
  set.add(-1, true, true, 1);
  set.add(5, false, false, 2);
  EXPECT_EQ(set.size(), 0u);
  set.add(5, true, false, 3);
  ASSERT_EQ(set.size(), 1u);
  EXPECT_EQ(set.events[0], 1);
  set.clear();
  EXPECT_EQ(set.size(), 0u);
}

// The wait ends when a socket becomes readable while it waits, whichever of several.
TEST(PollSet, WaitEndsWhenOneSocketBecomesReadable) {
  Pair a, b, c;
  ASSERT_TRUE(a.ok() && b.ok() && c.ok());
  PollSet set;
  set.add(a.server.fd, true, false, 0);
  set.add(b.server.fd, true, false, 1);
  set.add(c.server.fd, true, false, 2);
  std::size_t reported = 0;
  {
    std::jthread writer([&] { b.send_from_client("hello"); });
    auto n = set.wait(60000);
    ASSERT_TRUE(n) << to_string(n.error());
    reported = *n;
  }
  EXPECT_EQ(reported, 1u);
  EXPECT_FALSE(set.reported(0));
  EXPECT_TRUE(set.readable(1));
  EXPECT_FALSE(set.reported(2));
}

// Bytes already in a socket's own buffer count as readable, and the wait does not block
// for the others.
TEST(PollSet, BufferedBytesMakeTheWaitOnlyLook) {
  Pair a, b;
  ASSERT_TRUE(a.ok() && b.ok());
  PollSet set;
  set.add(a.server.fd, true, false, 0, /*has_buffered=*/true);
  set.add(b.server.fd, true, false, 1);
  const auto start = std::chrono::steady_clock::now();
  auto n = set.wait(60000);
  ASSERT_TRUE(n) << to_string(n.error());
  // Well within the minute it was given: it did not wait for it.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  EXPECT_EQ(*n, 1u);
  EXPECT_TRUE(set.readable(0));
  EXPECT_FALSE(set.reported(1));
}

TEST(PollMany, RejectsBadArgumentsAndReportsClosedDescriptors) {
  std::int32_t fd = 0, events = 1, revents = 0;
  EXPECT_EQ(ondrel_i2p_net_poll_many(&fd, &events, &revents, -1, 0), -1);
  EXPECT_EQ(glue_error(), "invalid poll arguments");
  EXPECT_EQ(ondrel_i2p_net_poll_many(nullptr, &events, &revents, 1, 0), -1);
  EXPECT_EQ(ondrel_i2p_net_poll_many(&fd, &events, &revents, 65537, 0), -1);
  EXPECT_EQ(ondrel_i2p_net_poll_many(nullptr, nullptr, nullptr, 0, 0), 0);

  // A descriptor number that is not open is reported as such, and counts as readable.
  Pair p;
  ASSERT_TRUE(p.ok());
  const int stale = ::dup(p.server.fd);
  ASSERT_GE(stale, 0);
  ::close(stale);
  PollSet set;
  set.add(stale, true, false, 0);
  auto n = set.wait(1000);
  ASSERT_TRUE(n);
  EXPECT_EQ(*n, 1u);
  EXPECT_EQ(set.revents[0], 8);
  EXPECT_TRUE(set.readable(0));

  // A negative descriptor asks for nothing and reports nothing.
  std::int32_t fds[2] = {-1, p.server.fd};
  std::int32_t ev[2] = {1, 2};
  std::int32_t rev[2] = {5, 5};
  EXPECT_EQ(ondrel_i2p_net_poll_many(fds, ev, rev, 2, 1000), 1);
  EXPECT_EQ(rev[0], 0);
  EXPECT_EQ(rev[1], 2);
}

TEST(PollMany, LargeSetsAreWatchedWhole) {
  // More entries than fit on the glue's stack: the last one is still watched.
  Pair p;
  ASSERT_TRUE(p.ok());
  p.send_from_client("z");
  std::vector<std::int32_t> fds(300, -1), events(300, 1), revents(300, 0);
  fds.back() = p.server.fd;
  EXPECT_EQ(ondrel_i2p_net_poll_many(fds.data(), events.data(), revents.data(), 300, 30000), 1);
  EXPECT_EQ(revents.back(), 1);
}

TEST(SendV, SendsTheBuffersInOrderAndRefusesBadArguments) {
  Pair p;
  ASSERT_TRUE(p.ok());
  const std::string one = "abc", two, three = "defgh";
  const std::uint8_t* parts[3] = {u8(one), u8(two), u8(three)};
  std::int32_t lengths[3] = {3, 0, 5};
  EXPECT_EQ(ondrel_i2p_net_tcp_sendv(p.server.fd, parts, lengths, 3), 8);
  char got[8] = {};
  std::size_t have = 0;
  while (have < sizeof got) {
    const ssize_t n = ::recv(p.client, got + have, sizeof got - have, 0);
    ASSERT_GT(n, 0);
    have += static_cast<std::size_t>(n);
  }
  EXPECT_EQ(std::string(got, sizeof got), "abcdefgh");

  EXPECT_EQ(ondrel_i2p_net_tcp_sendv(p.server.fd, parts, lengths, 65), -1);
  EXPECT_EQ(glue_error(), "invalid sendv arguments");
  EXPECT_EQ(ondrel_i2p_net_tcp_sendv(p.server.fd, nullptr, lengths, 1), -1);
  std::int32_t negative[1] = {-1};
  EXPECT_EQ(ondrel_i2p_net_tcp_sendv(p.server.fd, parts, negative, 1), -1);
  EXPECT_EQ(ondrel_i2p_net_tcp_sendv(-1, parts, lengths, 1), -1);
}

}  // namespace
