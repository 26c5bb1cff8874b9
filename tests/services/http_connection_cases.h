#pragma once
// The limits of the HTTP connection machine, as one table run with the limits of each server
// that uses it (the HTTP proxy's and the torrent API's tests run it with their own): a head
// in pieces, a head complete after the client shut its sending side, a client gone before
// its head, the head time limit, the head size limit, an answer the client does not take, a
// client lingering after its answer and one that hangs up. Time is passed in; the only
// waits are for a loopback socket to become readable.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "ntcp2_net/glue.h"
#include "ntcp2_net/tcp_listener.h"
#include "services/http_connection.h"

namespace router::http_connection_test {

// A connected loopback pair: the client descriptor, and the accepted socket in a connection
// accepted at kStart.
struct Link {
  static constexpr std::uint64_t kStart = 1'000'000;
  int client = -1;
  HttpConnection conn;

  Link() {
    auto listener = ntcp2_net::TcpListener::bind("127.0.0.1", 0);
    if (!listener) return;
    const std::string host = "127.0.0.1";
    client = ondrel_i2p_net_tcp_connect(reinterpret_cast<const std::uint8_t*>(host.data()),
                                        static_cast<std::int32_t>(host.size()), listener->port);
    auto accepted = listener->accept(5000);
    if (accepted && *accepted) conn.socket = std::move(**accepted);
    conn.accepted_ms = kStart;
  }
  ~Link() {
    if (client >= 0) ::close(client);
  }
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  bool ok() const { return client >= 0 && conn.socket.fd >= 0; }
  void send(const std::string& bytes) const {
    std::size_t at = 0;
    while (at < bytes.size()) {
      const ssize_t n = ::send(client, bytes.data() + at, bytes.size() - at, 0);
      ASSERT_GT(n, 0);
      at += static_cast<std::size_t>(n);
    }
  }
  // Waits (at most 5 s) until the server side has something to read.
  void await_server_readable() const {
    if (conn.socket.rx_start < conn.socket.rx_end) return;
    pollfd p{conn.socket.fd, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
  }
  // Reads heads at `at` until one that is not Waiting, with up to `passes` reads, each once
  // the socket is readable.
  HttpHeadRead read_head(const HttpConnLimits& limits, std::uint64_t at, int passes = 200) {
    HttpHeadRead read;
    for (int i = 0; i < passes; ++i) {
      await_server_readable();
      read = read_http_head(conn, limits, at);
      if (read.status != HttpHeadStatus::Waiting) break;
    }
    return read;
  }
  // What the client received until the server's end of stream (at most 5 s of waiting).
  std::string receive_all() const {
    std::string out;
    char buf[4096];
    for (;;) {
      pollfd p{client, POLLIN, 0};
      if (::poll(&p, 1, 5000) != 1) return out + "<no end>";
      const ssize_t n = ::recv(client, buf, sizeof buf, 0);
      if (n <= 0) return out;
      out.append(buf, static_cast<std::size_t>(n));
    }
  }
};

struct ConnectionCase {
  const char* name;
  std::function<void(Link&, const HttpConnLimits&)> run;
};

inline std::vector<ConnectionCase> connection_cases() {
  using S = HttpHeadStatus;
  const std::uint64_t t0 = Link::kStart;
  return {
      {"a head in pieces is complete when its end arrives",
       [t0](Link& l, const HttpConnLimits& limits) {
         l.send("GET / HTTP/1.1\r\nA: b\r\n");
         l.await_server_readable();
         HttpHeadRead read = read_http_head(l.conn, limits, t0);
         EXPECT_EQ(read.status, S::Waiting);
         EXPECT_EQ(read.input.got, 22u);
         l.send("\r\nbody");
         read = l.read_head(limits, t0);
         ASSERT_EQ(read.status, S::Complete);
         EXPECT_EQ(read.end, (HttpHeaderEnd{20, 4}));
         EXPECT_EQ(std::string(l.conn.inbuf.begin(), l.conn.inbuf.end()), "GET / HTTP/1.1\r\nA: b\r\n\r\nbody");
       }},
      {"a head the client sent before shutting its sending side is complete",
       [t0](Link& l, const HttpConnLimits& limits) {
         l.send("GET / HTTP/1.1\n\n");
         ASSERT_EQ(::shutdown(l.client, SHUT_WR), 0);
         const HttpHeadRead read = l.read_head(limits, t0);
         EXPECT_EQ(read.status, S::Complete);
         EXPECT_EQ(read.end, (HttpHeaderEnd{14, 2}));
       }},
      {"a client gone before its head ends is gone",
       [t0](Link& l, const HttpConnLimits& limits) {
         l.send("GET / HTTP/1.1\r\n");
         ASSERT_EQ(::shutdown(l.client, SHUT_WR), 0);
         EXPECT_EQ(l.read_head(limits, t0).status, S::Gone);
       }},
      {"the head limit counts from the accept, before reading",
       [t0](Link& l, const HttpConnLimits& limits) {
         EXPECT_EQ(http_conn_due_ms(l.conn, limits), t0 + limits.head_timeout_ms + 1);
         EXPECT_EQ(read_http_head(l.conn, limits, t0 + limits.head_timeout_ms).status, S::Waiting);
         l.send("GET / HTTP/1.1\r\n\r\n");
         l.await_server_readable();
         const HttpHeadRead late = read_http_head(l.conn, limits, t0 + limits.head_timeout_ms + 1);
         EXPECT_EQ(late.status, S::TimedOut);
         EXPECT_EQ(late.input.got, 0u);
       }},
      {"more than the head limit buffered is too large, even with its end in it",
       [t0](Link& l, const HttpConnLimits& limits) {
         l.send("GET / HTTP/1.1\r\nX-Long: " + std::string(limits.max_head_bytes, 'a') + "\r\n\r\n");
         const HttpHeadRead read = l.read_head(limits, t0, 1000);
         EXPECT_EQ(read.status, S::TooLarge);
         EXPECT_LE(l.conn.inbuf.size(), limits.max_head_bytes + limits.read_per_pass);
       }},
      {"a head of exactly the size limit is complete",
       [t0](Link& l, const HttpConnLimits& limits) {
         const std::string line = "GET / HTTP/1.1\r\nX-Long: ";
         l.send(line + std::string(limits.max_head_bytes - line.size() - 4, 'a') + "\r\n\r\n");
         EXPECT_EQ(l.read_head(limits, t0, 1000).status, S::Complete);
       }},
      {"an answer the client does not take is closed after its limit",
       [t0](Link& l, const HttpConnLimits& limits) {
         int small = 4096;
         ::setsockopt(l.client, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
         const std::uint64_t t1 = t0 + 100;
         queue_http_answer(l.conn, std::string(32 << 20, 'x'), 0, t1);
         EXPECT_TRUE(step_http_answer(l.conn, limits, t1));
         EXPECT_EQ(l.conn.phase, HttpConnPhase::Writing);
         EXPECT_GT(l.conn.answer_sent, 0u);
         EXPECT_EQ(http_conn_wants(l.conn, true).write, true);
         EXPECT_EQ(http_conn_wants(l.conn, true).read, false);
         EXPECT_EQ(http_conn_due_ms(l.conn, limits), t1 + limits.answer_timeout_ms + 1);
         step_http_answer(l.conn, limits, t1 + limits.answer_timeout_ms);
         EXPECT_FALSE(l.conn.closed);
         step_http_answer(l.conn, limits, t1 + limits.answer_timeout_ms + 1);
         EXPECT_TRUE(l.conn.closed);
         EXPECT_LT(l.conn.socket.fd, 0);
       }},
      {"a client that stays after its answer is closed after the drain limit",
       [t0](Link& l, const HttpConnLimits& limits) {
         const std::uint64_t t1 = t0 + 100;
         // Room in front of the answer is skipped.
         queue_http_answer(l.conn, "....HTTP/1.1 200 OK\r\n\r\nhi", 4, t1);
         EXPECT_TRUE(step_http_answer(l.conn, limits, t1));
         ASSERT_EQ(l.conn.phase, HttpConnPhase::Draining);
         // The answer, then the end of the stream: the write side was shut down.
         EXPECT_EQ(l.receive_all(), "HTTP/1.1 200 OK\r\n\r\nhi");
         EXPECT_EQ(http_conn_wants(l.conn, false).read, true);
         EXPECT_EQ(http_conn_due_ms(l.conn, limits), t1 + limits.drain_timeout_ms + 1);
         // What the client still sends is dropped.
         l.send(std::string(3000, 'z'));
         l.await_server_readable();
         step_http_answer(l.conn, limits, t1 + limits.drain_timeout_ms);
         EXPECT_FALSE(l.conn.closed);
         EXPECT_TRUE(l.conn.inbuf.empty());
         step_http_answer(l.conn, limits, t1 + limits.drain_timeout_ms + 1);
         EXPECT_TRUE(l.conn.closed);
         EXPECT_EQ(http_conn_wants(l.conn, true).read, false);
       }},
      {"a client that hangs up after its answer is closed at once",
       [t0](Link& l, const HttpConnLimits& limits) {
         queue_http_answer(l.conn, "answer", 0, t0);
         step_http_answer(l.conn, limits, t0);
         EXPECT_EQ(l.receive_all(), "answer");
         ::close(l.client);
         l.client = -1;
         for (int i = 0; i < 100 && !l.conn.closed; ++i) {
           l.await_server_readable();
           step_http_answer(l.conn, limits, t0);
         }
         EXPECT_TRUE(l.conn.closed);
       }},
  };
}

inline void run_connection_table(const HttpConnLimits& limits) {
  for (const ConnectionCase& c : connection_cases()) {
    SCOPED_TRACE(c.name);
    Link link;
    ASSERT_TRUE(link.ok());
    c.run(link, limits);
  }
}

}  // namespace router::http_connection_test
