// The loop's wait: every kind of socket the loop reads is watched, the wait ends when one
// becomes ready, descriptors that wake it idly are left out, and the timers it waits for.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "ntcp2_net/glue.h"
#include "ntcp2_net/poll_set.h"
#include "router/poll_set.h"
#include "router/router.h"

namespace router {
namespace {

using ntcp2_net::Now;
using ntcp2_net::PollSet;
using ntcp2_net::TcpSocket;

StartOptions loopback_options() {
  StartOptions o;
  o.sam_port = 0;
  return o;
}

int connect_to(int port) {
  const std::string host = "127.0.0.1";
  return ondrel_i2p_net_tcp_connect(reinterpret_cast<const std::uint8_t*>(host.data()),
                                    static_cast<std::int32_t>(host.size()), port);
}

// A connected loopback pair: the client descriptor (closed with the pair) and the
// accepted socket, which goes to a record of the router.
struct Pair {
  int client = -1;
  TcpSocket server;
  Pair() {
    auto listener = ntcp2_net::TcpListener::bind("127.0.0.1", 0);
    if (!listener) return;
    client = connect_to(listener->port);
    auto accepted = listener->accept(5000);
    if (accepted && *accepted) server = std::move(**accepted);
  }
  ~Pair() {
    if (client >= 0) ::close(client);
  }
  bool ok() const { return client >= 0 && server.fd >= 0; }
  void send_byte() const { ASSERT_EQ(::send(client, "x", 1, 0), 1); }
};

// The entry of fd in the set, or -1.
int entry_of(const PollSet& set, int fd) {
  for (std::size_t i = 0; i < set.size(); ++i) {
    if (set.fds[i] == fd) return static_cast<int>(i);
  }
  return -1;
}

bool woke_on(const Router& r, int fd) {
  return std::find(r.last_wake_fds.begin(), r.last_wake_fds.end(), fd) != r.last_wake_fds.end();
}

void wait_once(Router& r, const Now& now, std::uint64_t wake_by_ms = kNoWakeDeadline) {
  Router* const one = &r;
  wait_for_events(std::span<Router* const>(&one, 1), now, wake_by_ms);
}

// Records built field by field, so that fields other parts add later keep their defaults.
PeerSession link_on(TcpSocket s) {
  PeerSession session;
  session.conn.socket = std::move(s);
  // Active now: an idle link's close would be a timer due at once.
  session.last_activity_ms = ntcp2_net::read_now().mono_ms;
  return session;
}

template <typename Record>
Record with_socket(TcpSocket s) {
  Record record;
  record.socket = std::move(s);
  return record;
}

struct RecordCase {
  const char* name;
  void (*install)(Router&, TcpSocket);
  PollKind kind;
  bool read;
  bool write;
  bool watched;
};

const RecordCase kRecordCases[] = {
    {"link", [](Router& r, TcpSocket s) { r.peer_sessions.push_back(link_on(std::move(s))); },
     PollKind::Link, true, false, true},
    {"link with bytes to send",
     [](Router& r, TcpSocket s) {
       PeerSession session = link_on(std::move(s));
       session.conn.tx_queue.push_back(Bytes(10, 0));
       session.conn.tx_queued = 10;
       r.peer_sessions.push_back(std::move(session));
     },
     PollKind::Link, true, true, true},
    {"inbound handshake",
     [](Router& r, TcpSocket s) {
       ntcp2_net::PendingNtcp2Accept a;
       a.socket = std::move(s);
       r.pending_accepts.push_back(std::move(a));
     },
     PollKind::Accept, true, false, true},
    {"dial connecting",
     [](Router& r, TcpSocket s) {
       PendingPeerDial d;
       d.dial.socket = std::move(s);
       r.pending_dials.push_back(std::move(d));
     },
     PollKind::Dial, false, true, true},
    {"dial awaiting the responder",
     [](Router& r, TcpSocket s) {
       PendingPeerDial d;
       d.dial.socket = std::move(s);
       d.dial.phase = ntcp2_net::DialPhase::CreatedHead;
       r.pending_dials.push_back(std::move(d));
     },
     PollKind::Dial, true, false, true},
    {"SAM client",
     [](Router& r, TcpSocket s) {
       SamClientConn c;
       c.socket = std::move(s);
       r.sam_clients.push_back(std::move(c));
     },
     PollKind::SamClient, true, false, true},
    {"SAM client waiting in STREAM ACCEPT",
     [](Router& r, TcpSocket s) {
       SamClientConn c;
       c.socket = std::move(s);
       c.state = SamClientState::Accepting;
       r.sam_clients.push_back(std::move(c));
     },
     PollKind::SamClient, false, false, false},
    {"closed SAM client",
     [](Router& r, TcpSocket s) {
       SamClientConn c;
       c.socket = std::move(s);
       c.closed = true;
       r.sam_clients.push_back(std::move(c));
     },
     PollKind::SamClient, false, false, false},
    {"HTTP proxy connection",
     [](Router& r, TcpSocket s) { r.http_proxy_conns.push_back(with_socket<HttpProxyConn>(std::move(s))); },
     PollKind::HttpProxyConn, true, false, true},
    {"closed HTTP proxy connection",
     [](Router& r, TcpSocket s) {
       r.http_proxy_conns.push_back(with_socket<HttpProxyConn>(std::move(s)));
       r.http_proxy_conns.back().closed = true;
     },
     PollKind::HttpProxyConn, false, false, false},
    {"torrent API connection",
     [](Router& r, TcpSocket s) { r.torrent_api_conns.push_back(with_socket<TorrentApiConn>(std::move(s))); },
     PollKind::TorrentApiConn, true, false, true},
    {"local bridge, first side",
     [](Router& r, TcpSocket s) {
       r.bridges.emplace_back();
       r.bridges.back().socket_a = std::move(s);
     },
     PollKind::Bridge, true, false, true},
    {"local bridge, second side",
     [](Router& r, TcpSocket s) {
       r.bridges.emplace_back();
       r.bridges.back().socket_b = std::move(s);
     },
     PollKind::Bridge, true, false, true},
    {"established remote bridge",
     [](Router& r, TcpSocket s) {
       r.remote_bridges.push_back(with_socket<RemoteStreamBridge>(std::move(s)));
       r.remote_bridges.back().state = RemoteBridgeState::Established;
     },
     PollKind::RemoteBridge, true, false, true},
    {"remote bridge still connecting",
     [](Router& r, TcpSocket s) { r.remote_bridges.push_back(with_socket<RemoteStreamBridge>(std::move(s))); },
     PollKind::RemoteBridge, false, false, false},
    {"removed remote bridge",
     [](Router& r, TcpSocket s) {
       r.remote_bridges.push_back(with_socket<RemoteStreamBridge>(std::move(s)));
       r.remote_bridges.back().removed = true;
     },
     PollKind::RemoteBridge, false, false, false},
};

// Each record's socket is watched for what the loop does with it, and a byte arriving on a
// watched socket ends the wait on it; a socket the loop does not read is not watched.
TEST(LoopWait, WatchesTheSocketOfEveryRecordTheLoopReads) {
  for (const RecordCase& c : kRecordCases) {
    SCOPED_TRACE(c.name);
    auto r = Router::start(loopback_options());
    ASSERT_TRUE(r);
    Pair pair;
    ASSERT_TRUE(pair.ok());
    const int fd = pair.server.fd;
    c.install(*r, std::move(pair.server));

    PollSet set;
    r->collect_poll_fds(set);
    const int at = entry_of(set, fd);
    ASSERT_EQ(at >= 0, c.watched);
    pair.send_byte();
    const Now now = ntcp2_net::read_now();
    if (!c.watched) {
      wait_once(*r, now, now.mono_ms + 1);
      EXPECT_FALSE(woke_on(*r, fd));
      r->close();
      continue;
    }
    const auto i = static_cast<std::size_t>(at);
    EXPECT_EQ(set.tags[i], static_cast<std::uint8_t>(c.kind));
    EXPECT_EQ(set.events[i], (c.read ? 1 : 0) | (c.write ? 2 : 0));
    wait_once(*r, now);
    EXPECT_TRUE(woke_on(*r, fd));
    r->close();
  }
}

// A connection waiting on any listener ends the wait; one on the SAM listener is a client
// at the next pass.
TEST(LoopWait, AConnectionOnAnyListenerEndsTheWait) {
  struct Case {
    const char* name;
    PollKind kind;
    ntcp2_net::TcpListener& (*listener)(Router&);
  };
  const Case cases[] = {
      {"NTCP2", PollKind::Ntcp2Listener, [](Router& r) -> ntcp2_net::TcpListener& { return r.ntcp2_listener; }},
      {"SAM", PollKind::SamListener, [](Router& r) -> ntcp2_net::TcpListener& { return r.sam_listener; }},
      {"HTTP proxy", PollKind::HttpProxyListener,
       [](Router& r) -> ntcp2_net::TcpListener& {
         r.http_proxy_listener = std::move(*ntcp2_net::TcpListener::bind("127.0.0.1", 0));
         return *r.http_proxy_listener;
       }},
      {"torrent API", PollKind::TorrentApiListener,
       [](Router& r) -> ntcp2_net::TcpListener& {
         r.torrent_api_listener = std::move(*ntcp2_net::TcpListener::bind("127.0.0.1", 0));
         return *r.torrent_api_listener;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = Router::start(loopback_options());
    ASSERT_TRUE(r);
    ntcp2_net::TcpListener& listener = c.listener(*r);
    ASSERT_GE(listener.fd, 0);
    PollSet set;
    r->collect_poll_fds(set);
    const int at = entry_of(set, listener.fd);
    ASSERT_GE(at, 0);
    EXPECT_EQ(set.tags[static_cast<std::size_t>(at)], static_cast<std::uint8_t>(c.kind));
    const int client = connect_to(listener.port);
    ASSERT_GE(client, 0);
    wait_once(*r, ntcp2_net::read_now());
    EXPECT_TRUE(woke_on(*r, listener.fd));
    if (c.kind == PollKind::SamListener) {
      EXPECT_TRUE(r->step_pass(ntcp2_net::read_now()));
      EXPECT_EQ(r->sam_clients.size(), 1u);
    }
    ::close(client);
    r->close();
  }
}

// The wait ends on the socket that becomes readable while it waits.
TEST(LoopWait, EndsWhenALinkBecomesReadableDuringTheWait) {
  auto r = Router::start(loopback_options());
  ASSERT_TRUE(r);
  Pair a, b;
  ASSERT_TRUE(a.ok() && b.ok());
  const int fd_a = a.server.fd, fd_b = b.server.fd;
  r->peer_sessions.push_back(link_on(std::move(a.server)));
  r->peer_sessions.push_back(link_on(std::move(b.server)));
  {
    std::jthread writer([&] { b.send_byte(); });
    // Each wait ends on the byte or, on a machine too busy to write it in time, at the idle
    // limit with nothing reported; then it waits again.
    for (int i = 0; i < 30 && r->last_wake_fds.empty(); ++i) wait_once(*r, ntcp2_net::read_now());
  }
  EXPECT_TRUE(woke_on(*r, fd_b));
  EXPECT_FALSE(woke_on(*r, fd_a));
  r->close();
}

// A socket that woke a wait after which the pass found nothing to do is left out of the
// next waits, which end by their short limit; a pass that does work takes it back.
TEST(LoopWait, ADescriptorThatWokeItIdlyIsLeftOutUntilAPassWorks) {
  auto r = Router::start(loopback_options());
  ASSERT_TRUE(r);
  Pair pair;
  ASSERT_TRUE(pair.ok());
  const int fd = pair.server.fd;
  SamClientConn client;
  client.socket = std::move(pair.server);
  r->sam_clients.push_back(std::move(client));
  pair.send_byte();

  // As if the last wait had ended on it and the pass after it had done nothing.
  r->last_wake_fds = {fd};
  wait_once(*r, ntcp2_net::read_now());
  EXPECT_EQ(r->quiet_fds, std::vector<int>{fd});
  EXPECT_TRUE(r->last_wake_fds.empty());  // left out, though its byte waits

  // The pass reads the client's byte: work, and everything is watched again.
  EXPECT_TRUE(r->step_pass(ntcp2_net::read_now()));
  EXPECT_TRUE(r->quiet_fds.empty());
  EXPECT_EQ(r->sam_clients.at(0).inbuf.size(), 1u);
  r->close();
}

PendingPeerSend queued_send(const common::Hash& peer, std::uint64_t queued_ms) {
  return PendingPeerSend{peer, 1, 0, i2np::I2npPayload{i2np::I2npPayload::Data{Bytes(4, 0)}}, queued_ms, 64};
}

// The instant each timer of the loop falls due, with time passed in.
TEST(LoopWait, WakesForTheEarliestTimer) {
  const Now now{.mono_ms = 5'000'000, .wall_ms = 1'700'000'000'000};
  struct Case {
    const char* name;
    void (*set_up)(Router&, const Now&);
    std::uint64_t want;  // ms after now
  };
  const Case cases[] = {
      {"nothing pending: the idle limit", [](Router&, const Now&) {}, 1000},
      {"handshake limit",
       [](Router& r, const Now& n) {
         r.pending_accepts.emplace_back();
         r.pending_accepts.back().started_ms = n.mono_ms - 9700;
       },
       301},
      {"dial limit",
       [](Router& r, const Now& n) {
         r.pending_dials.emplace_back();
         r.pending_dials.back().dial.started_ms = n.mono_ms - 9900;
       },
       101},
      {"queued message's life",
       [](Router& r, const Now& n) {
         r.pending_sends.push_back(queued_send(common::Hash{}, n.mono_ms - 14800));
       },
       201},
      {"message to the router itself",
       [](Router& r, const Now& n) {
         r.pending_sends.push_back(queued_send(r.router_hash(), n.mono_ms));
       },
       0},
      {"idle link",
       [](Router& r, const Now& n) {
         r.peer_sessions.emplace_back();
         r.peer_sessions.back().last_activity_ms = n.mono_ms - 179950;
       },
       51},
      {"stalled send",
       [](Router& r, const Now& n) {
         r.peer_sessions.emplace_back();
         r.peer_sessions.back().last_activity_ms = n.mono_ms;
         r.peer_sessions.back().conn.stall_since_ms = n.mono_ms - 9990;
       },
       11},
      {"incomplete frame",
       [](Router& r, const Now& n) {
         r.peer_sessions.emplace_back();
         r.peer_sessions.back().last_activity_ms = n.mono_ms;
         r.peer_sessions.back().conn.rx_started_ms = n.mono_ms - 9500;
       },
       501},
      {"background lookup time-out",
       [](Router& r, const Now& n) {
         r.pending_lookups.emplace_back();
         r.pending_lookups.back().started_ms = n.mono_ms - 14600;
         r.pending_lookups.back().last_query_ms = n.mono_ms;
       },
       401},
      {"background lookup re-query",
       [](Router& r, const Now& n) {
         r.pending_lookups.emplace_back();
         r.pending_lookups.back().started_ms = n.mono_ms;
         r.pending_lookups.back().last_query_ms = n.mono_ms - 2800;
         r.pending_lookups.back().candidates.push_back(common::Hash{});
       },
       201},
      {"client lookup time-out",
       [](Router& r, const Now& n) {
         r.pending_lookups.emplace_back();
         r.pending_lookups.back().purpose = kLookupForNaming;
         r.pending_lookups.back().started_ms = n.mono_ms - 7700;
         r.pending_lookups.back().last_query_ms = n.mono_ms;
       },
       301},
      {"tunnel build time-out",
       [](Router& r, const Now& n) {
         r.pending_builds.emplace_back();
         r.pending_builds.back().started_ms = n.mono_ms - 9800;
       },
       201},
      {"own tunnel's end (unix seconds)",
       [](Router& r, const Now& n) {
         r.tunnels.inbound.emplace_back();
         r.tunnels.inbound.back().expires_s = static_cast<std::uint32_t>(n.wall_s() + 1);
       },
       1000},  // now.wall_ms is a whole second
      {"transit tunnel's end",
       [](Router& r, const Now& n) {
         r.tunnels.transit.emplace_back();
         r.tunnels.transit.back().expires_s = static_cast<std::uint32_t>(n.wall_s());
       },
       0},
      {"public maintenance, first",
       [](Router& r, const Now&) {
         r.public_mode = true;
         r.last_maintenance_ms = 0;
       },
       0},
      {"public maintenance, next",
       [](Router& r, const Now& n) {
         r.public_mode = true;
         r.last_maintenance_ms = n.mono_ms - 1000;
       },
       500},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = Router::start(loopback_options());
    ASSERT_TRUE(r);
    c.set_up(*r, now);
    EXPECT_EQ(r->next_wake_ms(now), now.mono_ms + c.want);
    r->close();
  }
}

}  // namespace
}  // namespace router
