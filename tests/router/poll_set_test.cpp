// The loop's wait: every kind of socket the loop reads is watched, the wait ends when one
// becomes ready, descriptors that wake it idly are left out, and the timers it waits for.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "cmd/router/startup.h"
#include "ntcp2_net/glue.h"
#include "ntcp2_net/poll_set.h"
#include "router/poll_set.h"
#include "router/router.h"
#include "streaming/connection.h"
#include "tests/support/scratch.h"
#include "torrent/engine.h"
#include "torrent/peer_steps.h"
#include "torrent/piece_exchange.h"

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
    {"link", [](Router& r, TcpSocket s) { r.peer_sessions.push_back(link_on(std::move(s))); }, PollKind::Link, true,
     false, true},
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
    ASSERT_TRUE(cmd_router::add_loop_parts(*r));
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
    ASSERT_TRUE(cmd_router::add_loop_parts(*r));
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
  ASSERT_TRUE(cmd_router::add_loop_parts(*r));
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
  ASSERT_TRUE(cmd_router::add_loop_parts(*r));
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
       [](Router& r, const Now& n) { r.pending_sends.push_back(queued_send(common::Hash{}, n.mono_ms - 14800)); }, 201},
      {"message to the router itself",
       [](Router& r, const Now& n) { r.pending_sends.push_back(queued_send(r.router_hash(), n.mono_ms)); }, 0},
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
      {"a LeaseSet2 store's confirmation limit",
       [](Router& r, const Now& n) {
         r.sessions.emplace_back();
         r.sessions.back().publication.stores.push_back(PendingStore{7, common::Hash{}, n.mono_ms - 9700});
       },
       300},
      {"a LeaseSet2's republication",
       [](Router& r, const Now& n) {
         r.sessions.emplace_back();
         r.sessions.back().publication.republish_ms = n.mono_ms + 700;
       },
       700},
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
    ASSERT_TRUE(cmd_router::add_loop_parts(*r));
    c.set_up(*r, now);
    EXPECT_EQ(r->next_wake_ms(now), now.mono_ms + c.want);
    r->close();
  }
}

// One router for a timer of the client services or the torrent engine: a loopback socket
// for the record that holds one, and the records of the case, all at the case's time. The
// wall clock is not on a whole second, so that a wall-clock date may fall due within the
// idle limit.
struct TimerBench {
  explicit TimerBench(Router& router) : r(router) {}

  static common::Hash hash_of(std::uint8_t fill) {
    std::array<std::uint8_t, 32> b{};
    b.fill(fill);
    return common::Hash::from_bytes(b).value();
  }

  HttpProxyConn& proxy_conn(HttpProxyConnState state, std::uint64_t accepted_ms) {
    if (!r.http_proxy_listener) r.http_proxy_listener = std::move(*ntcp2_net::TcpListener::bind("127.0.0.1", 0));
    HttpProxyConn c;
    c.socket = std::move(pair.server);
    c.state = state;
    c.accepted_ms = accepted_ms;
    r.http_proxy_conns.push_back(std::move(c));
    return r.http_proxy_conns.back();
  }

  // A bridge connecting over a stream of the proxy's session, started at started_ms.
  RemoteStreamBridge& bridge(std::uint64_t started_ms) {
    SamSession* session = r.ensure_http_proxy_session(now);
    EXPECT_TRUE(session != nullptr && session->streams);
    const auto stream = session->streams->connect(hash_of(0x42), now.mono_ms, 0, 0);
    EXPECT_TRUE(stream);
    RemoteStreamBridge b;
    b.socket = std::move(pair.server);
    b.session_id = session->id;
    b.peer_hash = hash_of(0x42);
    b.stream_id = (*stream)->local_stream_id;
    b.started_ms = started_ms;
    r.remote_bridges.push_back(std::move(b));
    return r.remote_bridges.back();
  }

  // A stream of the proxy's session to a peer whose LeaseSet2 is not known, its SYN sent at
  // sent_ms; and the first stream of that session.
  streaming::StreamConnection& stream(std::uint64_t sent_ms) {
    SamSession* session = r.ensure_http_proxy_session(now);
    EXPECT_TRUE(session != nullptr && session->streams);
    const auto c = session->streams->connect(hash_of(0x43), sent_ms, 0, 0);
    EXPECT_TRUE(c);
    return **c;
  }
  streaming::StreamConnection& first_stream() { return *r.ensure_http_proxy_session(now)->streams->connections.at(0); }

  // Such a stream, established, that took the peer's first `packets` data packets in order
  // at at_ms; the first acknowledgement of them also retired the SYN.
  void stream_with_data(std::uint32_t packets, std::uint64_t at_ms) {
    streaming::StreamConnection& c = stream(now.mono_ms);
    c.state = streaming::StreamState::Established;
    c.peer_known = true;
    c.next_expected = 1;
    c.remote_stream_id = 7;
    for (std::uint32_t seq = 1; seq <= packets; ++seq) {
      streaming::StreamingPacket data;
      data.send_stream_id = c.local_stream_id;
      data.receive_stream_id = 7;
      data.seq = seq;
      data.payload = Bytes(10, 1);
      EXPECT_TRUE(c.receive(data, at_ms));
    }
    EXPECT_TRUE(c.unacked.empty());
  }

  TorrentEngine& engine() {
    if (!r.torrent_engine) {
      EXPECT_TRUE(r.enable_torrent_engine(dir.path().string(), now));
    }
    return *r.torrent_engine;
  }
  SamSession& torrent_session() {
    engine();
    return *bt_find_session(r.sessions, kTorrentSessionId);
  }

  // The one torrent of the case, from a magnet (no metainfo) unless with_meta: then one
  // piece of one block, not on disk.
  ActiveTorrent& torrent(bool with_meta = false) {
    TorrentEngine& e = engine();
    if (e.torrents.empty()) {
      ActiveTorrent t;
      t.info_hash = Bytes(20, 0x11);
      t.info_hash_hex = std::string(40, '1');
      t.download_dir = dir.path().string();
      if (with_meta) {
        bittorrent::TorrentMeta meta;
        meta.name = "t.bin";
        meta.piece_length = kBlockSize;
        meta.total_length = kBlockSize;
        meta.files = {bittorrent::TorrentFile{{"t.bin"}, kBlockSize}};
        meta.pieces.push_back(bittorrent::PieceHash{});
        EXPECT_FALSE(bt_init_torrent_metainfo(t, meta));
      }
      e.torrents.push_back(std::move(t));
    }
    return e.torrents.back();
  }

  std::uint32_t stream_to(const common::Hash& peer) {
    const auto stream = torrent_session().streams->connect(peer, now.mono_ms, 0, 0);
    EXPECT_TRUE(stream);
    return stream ? (*stream)->local_stream_id : 0;
  }

  // A connection of the torrent in the state, over a fresh stream, every time of it now.
  TorrentPeerConn& peer(PeerConnState state, bool with_meta = false, common::Hash who = hash_of(0x50)) {
    ActiveTorrent& t = torrent(with_meta);
    TorrentPeerConn c;
    c.peer = who;
    set_peer_state(c, state);
    c.stream_id = stream_to(who);
    c.state_since_ms = c.last_recv_ms = c.last_send_ms = c.last_flush_ms = c.last_lookup_ms = now.mono_ms;
    c.publish_gen = engine().publish_gen;
    t.peers.push_back(std::move(c));
    return t.peers.back();
  }

  bittorrent::DhtNode& dht_node() {
    const common::Hash h = hash_of(0x60);
    const std::array<std::uint8_t, 14> free{};
    const bittorrent::DhtNodeId id = bittorrent::make_dht_node_id(h, bittorrent::kDhtQueryPort, free);
    engine().dht.nodes.push_back(
        bittorrent::DhtNode{Bytes(id.begin(), id.end()), h, bittorrent::kDhtQueryPort, now.wall_ms});
    return engine().dht.nodes.back();
  }

  Router& r;
  Pair pair;
  test_support::ScratchDir dir{"downloads"};
  const Now now{.mono_ms = 5'000'000, .wall_ms = 1'700'000'000'400};
};

// Each timer of the client services and the torrent engine ends the loop's wait at the very
// instant its step acts: a step one millisecond earlier leaves the record as it is, a step at
// that instant acts on it, and the wait after that step is not due at once.
TEST(LoopWait, WakesForEachServiceAndTorrentTimerAtTheInstantItsStepActs) {
  using Bench = TimerBench;
  struct Case {
    const char* name;
    void (*set_up)(Bench&);
    std::uint64_t want;  // ms after now
    bool (Router::*step)(const Now&);
    bool (*acted)(Bench&);
  };
  const auto torrent = &Router::step_torrent_engine;
  const Case cases[] = {
      // The HTTP proxy.
      {"proxy: request head limit",
       [](Bench& b) { b.proxy_conn(HttpProxyConnState::ReadingHead, b.now.mono_ms - 14'700); }, 301,
       &Router::step_http_proxy,
       [](Bench& b) { return b.r.http_proxy_conns.at(0).state == HttpProxyConnState::Answering; }},
      {"proxy: LeaseSet2 limit",
       [](Bench& b) {
         HttpProxyConn& c = b.proxy_conn(HttpProxyConnState::AwaitingLeaseSet, b.now.mono_ms - 9'800);
         c.lookup_hash = Bench::hash_of(0x31);
         b.r.pending_lookups.emplace_back();
         b.r.pending_lookups.back().key = *c.lookup_hash;
         b.r.pending_lookups.back().lookup_type = LookupKind::LeaseSet;
         b.r.pending_lookups.back().started_ms = b.r.pending_lookups.back().last_query_ms = b.now.mono_ms;
       },
       201, &Router::step_http_proxy,
       [](Bench& b) { return b.r.http_proxy_conns.at(0).state == HttpProxyConnState::Answering; }},
      {"proxy: the LeaseSet2 lookup ended without it",
       [](Bench& b) {
         b.proxy_conn(HttpProxyConnState::AwaitingLeaseSet, b.now.mono_ms).lookup_hash = Bench::hash_of(0x31);
       },
       0, &Router::step_http_proxy,
       [](Bench& b) { return b.r.http_proxy_conns.at(0).state == HttpProxyConnState::Answering; }},
      {"proxy: answer's linger",
       [](Bench& b) {
         HttpProxyConn& c = b.proxy_conn(HttpProxyConnState::Answering, b.now.mono_ms - 5'000);
         c.phase = HttpConnPhase::Draining;
         c.drained_ms = b.now.mono_ms - 1'900;
       },
       101, &Router::step_http_proxy, [](Bench& b) { return b.r.http_proxy_conns.empty(); }},
      // Remote bridges.
      {"bridge: stalled SYN", [](Bench& b) { b.bridge(b.now.mono_ms - 6'900); }, 101, &Router::step_remote_bridges,
       [](Bench& b) { return b.r.remote_bridges.at(0).syn_stall_checked; }},
      {"bridge: connect limit", [](Bench& b) { b.bridge(b.now.mono_ms - 11'950).syn_stall_checked = true; }, 51,
       &Router::step_remote_bridges, [](Bench& b) { return b.r.remote_bridges.at(0).finishing; }},
      {"bridge: failed connect's linger",
       [](Bench& b) {
         RemoteStreamBridge& r = b.bridge(b.now.mono_ms - 20'000);
         r.finishing = true;
         r.finish_shut = true;
         r.finishing_ms = b.now.mono_ms - 1'990;
       },
       11, &Router::step_remote_bridges, [](Bench& b) { return b.r.remote_bridges.empty(); }},
      // Streams.
      {"stream: timed resend", [](Bench& b) { b.stream(b.now.mono_ms - 1'400); }, 100, &Router::step_stream_connections,
       [](Bench& b) { return b.first_stream().unacked.at(0).resends == 1; }},
      // One data packet of the peer, in order, 5 ms ago: its acknowledgement waits a little
      // for the next one. Then the ACK follows the SYN, which waits for the peer's LeaseSet2.
      {"stream: delayed acknowledgement", [](Bench& b) { b.stream_with_data(1, b.now.mono_ms - 5); },
       streaming::kAckDelayMs - 5, &Router::step_stream_connections,
       [](Bench& b) { return !b.first_stream().ack_due_ms() && b.first_stream().outbox.size() == 2; }},
      // The second in-order packet makes the acknowledgement due at once, to be made by the
      // stream step: the wait after the pass that took them must not sleep past it.
      {"stream: acknowledgement due at once at the second packet",
       [](Bench& b) { b.stream_with_data(streaming::kAckEveryPackets, b.now.mono_ms); }, 0,
       &Router::step_stream_connections,
       [](Bench& b) { return !b.first_stream().ack_due_ms() && b.first_stream().outbox.size() == 2; }},
      // The torrent engine's LeaseSet2 publication.
      {"torrent: LeaseSet2 republication", [](Bench& b) { b.engine().last_publish_ms = b.now.mono_ms - 119'800; }, 200,
       torrent, [](Bench& b) { return b.engine().publish_gen == 2; }},
      {"torrent: publication once inbound tunnels appear",
       [](Bench& b) {
         b.engine();
         b.r.tunnels.inbound.emplace_back();
         b.r.tunnels.inbound.back().expires_s = b.now.wall_s() + 600;
       },
       0, torrent, [](Bench& b) { return b.engine().publish_gen == 2; }},
      // Trackers.
      {"tracker: next announce",
       [](Bench& b) {
         bt_add_tracker_url(b.torrent(), "http://tracker.i2p/announce");
         b.torrent().trackers.at(0).next_announce_ms = b.now.mono_ms + 400;
       },
       400, torrent, [](Bench& b) { return b.torrent().trackers.at(0).next_announce_ms != b.now.mono_ms + 400; }},
      {"tracker: LeaseSet2 wait",
       [](Bench& b) {
         bt_add_tracker_url(b.torrent(), "http://tracker.i2p/announce");
         TorrentTrackerConn& t = b.torrent().trackers.at(0);
         t.state = static_cast<std::int32_t>(TrackerConnState::LookingUp);
         t.dest = Bench::hash_of(0x70);
         t.state_since_ms = b.now.mono_ms - 24'900;
       },
       101, torrent,
       [](Bench& b) { return b.torrent().trackers.at(0).state == static_cast<std::int32_t>(TrackerConnState::Idle); }},
      {"tracker: reply wait",
       [](Bench& b) {
         bt_add_tracker_url(b.torrent(), "http://tracker.i2p/announce");
         TorrentTrackerConn& t = b.torrent().trackers.at(0);
         t.state = static_cast<std::int32_t>(TrackerConnState::Requesting);
         t.dest = Bench::hash_of(0x70);
         t.stream_id = b.stream_to(*t.dest);
         t.state_since_ms = b.now.mono_ms - 24'950;
       },
       51, torrent,
       [](Bench& b) { return b.torrent().trackers.at(0).state == static_cast<std::int32_t>(TrackerConnState::Idle); }},
      // The DHT.
      {"DHT: a query's expiry (unix ms)",
       [](Bench& b) {
         b.engine().dht.pending.push_back(bittorrent::DhtPendingTx{Bytes{1, 2, 3, 4}, "ping", std::nullopt,
                                                                   Bench::hash_of(0x60), bittorrent::kDhtQueryPort,
                                                                   b.now.wall_ms - 29'850});
       },
       151, torrent, [](Bench& b) { return b.engine().dht.pending.empty(); }},
      {"DHT: a bootstrap node's life",
       [](Bench& b) {
         b.engine().dht_bootstrap.push_back(
             DhtBootstrapEntry{Bench::hash_of(0x61), bittorrent::kDhtQueryPort, b.now.mono_ms - 29'990});
       },
       11, torrent, [](Bench& b) { return b.engine().dht_bootstrap.empty(); }},
      {"DHT: table refresh",
       [](Bench& b) {
         b.dht_node();
         b.engine().last_dht_refresh_ms = b.now.mono_ms - 24'600;
       },
       400, torrent, [](Bench& b) { return b.engine().last_dht_refresh_ms != b.now.mono_ms - 24'600; }},
      {"DHT: a torrent's get_peers sweep",
       [](Bench& b) {
         b.dht_node();
         b.engine().last_dht_refresh_ms = b.now.mono_ms;
         b.torrent().last_get_peers_ms = b.now.mono_ms - 500;  // no peers known: every 800 ms
       },
       300, torrent, [](Bench& b) { return b.torrent().last_get_peers_ms != b.now.mono_ms - 500; }},
      // Peer connections.
      {"inbound handshake limit",
       [](Bench& b) {
         TorrentInboundConn in;
         in.peer = Bench::hash_of(0x51);
         in.stream_id = b.stream_to(in.peer);
         in.accepted_ms = b.now.mono_ms - 24'990;
         b.engine().inbound.push_back(std::move(in));
       },
       11, torrent, [](Bench& b) { return b.engine().inbound.empty(); }},
      {"a back-off's end",
       [](Bench& b) {
         b.torrent().backoff.push_back(TorrentBackoff{Bench::hash_of(0x52), b.now.mono_ms + 600});
       },
       600, torrent, [](Bench& b) { return b.torrent().backoff.empty(); }},
      {"peer: LeaseSet2 wait",
       [](Bench& b) { b.peer(PeerConnState::LookingUp).state_since_ms = b.now.mono_ms - 29'990; }, 11, torrent,
       [](Bench& b) { return b.torrent().peers.empty(); }},
      {"peer: connect limit",
       [](Bench& b) {
         TorrentPeerConn& c = b.peer(PeerConnState::Connecting);
         c.state_since_ms = b.now.mono_ms - 29'900;
         c.stalled_syn_noted = true;
       },
       101, torrent, [](Bench& b) { return b.torrent().peers.empty(); }},
      {"peer: stalled SYN", [](Bench& b) { b.peer(PeerConnState::Connecting).state_since_ms = b.now.mono_ms - 9'950; },
       51, torrent, [](Bench& b) { return b.torrent().peers.at(0).stalled_syn_noted; }},
      {"peer: handshake limit",
       [](Bench& b) { b.peer(PeerConnState::HandshakeSent).last_recv_ms = b.now.mono_ms - 19'990; }, 11, torrent,
       [](Bench& b) { return b.torrent().peers.empty(); }},
      {"peer: keep-alive", [](Bench& b) { b.peer(PeerConnState::Connected).last_send_ms = b.now.mono_ms - 44'900; },
       100, torrent, [](Bench& b) { return b.torrent().peers.at(0).last_send_ms != b.now.mono_ms - 44'900; }},
      {"peer: idle limit", [](Bench& b) { b.peer(PeerConnState::Connected).last_recv_ms = b.now.mono_ms - 89'990; }, 11,
       torrent, [](Bench& b) { return b.torrent().peers.empty(); }},
      {"peer: LeaseSet2 lookup while none is held",
       [](Bench& b) { b.peer(PeerConnState::Connected).last_lookup_ms = b.now.mono_ms - 19'800; }, 200, torrent,
       [](Bench& b) { return b.torrent().peers.at(0).last_lookup_ms != b.now.mono_ms - 19'800; }},
      {"peer: LeaseSet2 lookup in the last minute of the one held (unix seconds)",
       [](Bench& b) {
         // A destination of this router whose LeaseSet2 (600 s) was published so that its
         // last minute begins at the next whole second, 600 ms from now.
         const std::uint64_t published_s = b.now.wall_ms / 1000 + 61 - 600;
         const SamSession* s = b.r.ensure_http_proxy_session(Now{b.now.mono_ms, published_s * 1000});
         ASSERT_NE(s, nullptr);
         const common::Hash dest = s->dest_hash;
         ASSERT_TRUE(b.r.netdb.get_lease_set2(dest, b.now.wall_s()));
         b.peer(PeerConnState::Connected, false, dest).last_lookup_ms = b.now.mono_ms - 19'500;
       },
       600, torrent, [](Bench& b) { return b.torrent().peers.at(0).last_lookup_ms != b.now.mono_ms - 19'500; }},
      {"peer: block request limit",
       [](Bench& b) {
         TorrentPeerConn& c = b.peer(PeerConnState::Connected, true);
         c.peer_choking = false;
         c.peer_has_pieces = true;
         c.peer_bitfield.assign(1, 1);
         // The only block is asked for: nothing else to ask until the request is dropped.
         b.torrent().active_pieces.push_back(bt_new_active_piece(0, kBlockSize));
         c.inflight.push_back(InflightRequest{0, 0, kBlockSize, b.now.mono_ms - 11'900});
       },
       101, torrent,
       [](Bench& b) {
         const std::vector<InflightRequest>& q = b.torrent().peers.at(0).inflight;
         return q.size() == 1 && q[0].sent_ms != b.now.mono_ms - 11'900;
       }},
      // Extensions.
      {"metadata request",
       [](Bench& b) {
         b.torrent().metadata_size = 100;
         b.torrent().last_metadata_request_ms = b.now.mono_ms - 2'200;
         PeerExtHandshake ext;
         ext.ut_metadata = 2;
         b.peer(PeerConnState::Connected).ext = ext;
       },
       300, torrent, [](Bench& b) { return b.torrent().last_metadata_request_ms != b.now.mono_ms - 2'200; }},
      {"peer exchange",
       [](Bench& b) {
         const TorrentPeerConn& c = b.peer(PeerConnState::Connected);
         bt_add_known_peer(b.torrent(), c.peer, b.torrent_session().dest_hash);
         b.torrent().last_pex_ms = b.now.mono_ms - 29'500;
       },
       500, torrent, [](Bench& b) { return b.torrent().last_pex_ms != b.now.mono_ms - 29'500; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = Router::start(loopback_options());
    ASSERT_TRUE(r);
    ASSERT_TRUE(cmd_router::add_loop_parts(*r));
    {
      Bench b(*r);
      ASSERT_TRUE(b.pair.ok());
      c.set_up(b);
      if (testing::Test::HasFatalFailure()) return;
      EXPECT_EQ(r->next_wake_ms(b.now), b.now.mono_ms + c.want);
      const Now due = b.now.after(c.want);
      if (c.want > 0) {
        (r.value().*c.step)(Now{due.mono_ms - 1, due.wall_ms - 1});
        EXPECT_FALSE(c.acted(b)) << "acted a millisecond early";
      }
      (r.value().*c.step)(due);
      EXPECT_TRUE(c.acted(b)) << "did not act when due";
      EXPECT_GT(r->next_wake_ms(due), due.mono_ms) << "still due after acting";
    }
    r->close();
  }
}

}  // namespace
}  // namespace router
