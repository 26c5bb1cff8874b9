// Remote stream bridges between two routers of the in-process test network: SAM clients on
// real loopback sockets into router 0 connect to a session accepting on router 1, and the
// bytes pass whole both ways, survive a client that closes right after sending, and a
// client that does not read holds up nobody but itself.
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <memory>
#include <set>

#include "services/socket_wants.h"
#include "services/streams.h"
#include "tests/services/bridge_network_util.h"
#include "tests/services/sam_test_util.h"

namespace router::bridge_test {
namespace {

constexpr std::size_t kMiB = 1024 * 1024;
constexpr int kLimitMs = 120000;

struct SamNetwork {
  explicit SamNetwork(std::vector<std::size_t> floodfills = {}) : net(two_routers(std::move(floodfills))) {}

  test_support::TestNetwork net;
  std::unique_ptr<Sock> ctl_a, ctl_b;
  std::string alice_pub, bob_pub;
  std::vector<Sock*> socks;  // pumped before every router pass
  std::size_t slow_read = SIZE_MAX;
  Sock* slow = nullptr;

  bool run(const std::function<bool()>& condition, int limit_ms = kLimitMs,
           const std::function<void()>& each_round = nullptr) {
    return net.run_until(condition, limit_ms, [&](Router& r, const ntcp2_net::Now& now) {
      for (Sock* s : socks) s->pump(s == slow ? slow_read : SIZE_MAX);
      if (each_round) each_round();
      test_support::TestNetwork::full_step(r, now);
    });
  }

  std::optional<std::string> line(Sock& s) {
    std::optional<std::string> got;
    run([&] { return (got = s.take_line()).has_value() || s.eof; });
    return got;
  }

  Sock& add(std::unique_ptr<Sock>& owner, std::size_t router, int receive_buffer = 0) {
    owner = std::make_unique<Sock>(net[router].sam_listener.port, receive_buffer);
    owner->hello();
    socks.push_back(owner.get());
    return *owner;
  }

  void create_sessions(bool tell_router_0 = true) {
    add(ctl_a, 0).queue("SESSION CREATE ID=alice DESTINATION=TRANSIENT\n");
    add(ctl_b, 1).queue("SESSION CREATE ID=bob DESTINATION=TRANSIENT\n");
    EXPECT_TRUE(line(*ctl_a).value_or("").starts_with("SESSION STATUS RESULT=OK DESTINATION="));
    EXPECT_TRUE(line(*ctl_b).value_or("").starts_with("SESSION STATUS RESULT=OK DESTINATION="));
    SamSession* alice = Router::find_session_by_id(net[0].sessions, "alice");
    SamSession* bob = Router::find_session_by_id(net[1].sessions, "bob");
    ASSERT_TRUE(alice && bob);
    ASSERT_TRUE(alice->streams && bob->streams);
    alice_pub = alice->public_b64;
    bob_pub = bob->public_b64;
    if (!tell_router_0) return;
    // Router 0 knows bob's LeaseSet2, as a lookup would leave it.
    const ntcp2_net::Now now = ntcp2_net::read_now();
    auto ls = net[1].build_session_leaseset2(*bob, now);
    ASSERT_TRUE(ls);
    ASSERT_TRUE(net[0].netdb.store_lease_set2(*ls, now.wall_s()));
  }

  // An acceptor on bob and a connector from alice, past their status and destination
  // lines. first_bytes go behind the CONNECT line in the same write.
  void open_stream(std::unique_ptr<Sock>& connector, std::unique_ptr<Sock>& acceptor, int connector_rcvbuf = 0,
                   std::string_view first_bytes = "") {
    add(acceptor, 1).queue("STREAM ACCEPT ID=bob\n");
    EXPECT_EQ(line(*acceptor), "STREAM STATUS RESULT=OK");
    add(connector, 0, connector_rcvbuf)
        .queue("STREAM CONNECT ID=alice DESTINATION=" + bob_pub + "\n" + std::string(first_bytes));
    EXPECT_EQ(line(*connector), "STREAM STATUS RESULT=OK");
    // OK came only once the stream stood: bob's router has taken the SYN.
    EXPECT_FALSE(Router::find_session_by_id(net[1].sessions, "bob")->streams->connections.empty());
    EXPECT_EQ(line(*acceptor), alice_pub);
  }

  bool all_gone() {
    for (std::size_t i : {0u, 1u}) {
      if (!net[i].remote_bridges.empty()) return false;
      for (const SamSession& s : net[i].sessions) {
        if (s.streams && !s.streams->connections.empty()) return false;
      }
    }
    return true;
  }
};

TEST(RemoteBridge, OneMebibyteEachWayBetweenSamClientsOnTwoRouters) {
  SamNetwork t;
  ASSERT_NO_FATAL_FAILURE(t.create_sessions());
  std::unique_ptr<Sock> con, acc;
  ASSERT_NO_FATAL_FAILURE(t.open_stream(con, acc));
  const std::string up = random_text(kMiB), down = random_text(kMiB);
  con->queue(up);
  acc->queue(down);
  ASSERT_TRUE(t.run([&] { return con->received.size() >= kMiB && acc->received.size() >= kMiB; }))
      << "connector got " << con->received.size() << ", acceptor got " << acc->received.size();
  EXPECT_TRUE(con->received == down);
  EXPECT_TRUE(acc->received == up);

  // Both hang up: both bridges and both streams end.
  con->close();
  ASSERT_TRUE(t.run([&] { return acc->eof; }));
  acc->close();
  EXPECT_TRUE(t.run([&] { return t.all_gone(); }));
}

// The same exchange driven by an independent SAM client (python3, written from the
// protocol description): HELLO, STREAM ACCEPT on router 1, STREAM CONNECT on router 0, the
// acceptor's destination line, then 1 MiB each way with half-closes.
TEST(RemoteBridge, AnIndependentSamClientExchangesOneMebibyteEachWay) {
  SamNetwork t;
  ASSERT_NO_FATAL_FAILURE(t.create_sessions());
  sam_test::Script client({std::string(ONDREL_SOURCE_DIR) + "/tests/services/sam_remote_client.py",
                           std::to_string(t.net[0].sam_listener.port), std::to_string(t.net[1].sam_listener.port),
                           "alice", "bob", t.bob_pub, t.alice_pub});
  ASSERT_TRUE(client.started());
  ASSERT_TRUE(t.run([&] { return client.finished(); })) << client.output;
  EXPECT_EQ(client.exit_status, 0) << client.output;
  EXPECT_NE(client.output.find("ok upload arrives whole"), std::string::npos) << client.output;
  EXPECT_NE(client.output.find("ok download arrives whole"), std::string::npos) << client.output;
  EXPECT_TRUE(t.run([&] { return t.all_gone(); }));
}

// A destination whose LeaseSet2 router 0 does not have: the connect waits for the lookup
// (answered by the floodfill, router 1) and then goes on as a remote stream.
TEST(RemoteBridge, AConnectWaitsForItsLookupAndThenStreams) {
  SamNetwork t({1});
  ASSERT_NO_FATAL_FAILURE(t.create_sessions(/*tell_router_0=*/false));
  const common::Hash bob = Router::find_session_by_id(t.net[1].sessions, "bob")->dest_hash;
  ASSERT_FALSE(t.net[0].netdb.get_lease_set2(bob, ntcp2_net::read_now().wall_s()));
  std::unique_ptr<Sock> con, acc;
  ASSERT_NO_FATAL_FAILURE(t.open_stream(con, acc));
  EXPECT_TRUE(t.net[0].pending_lookups.empty());
  con->queue("ping");
  acc->queue("pong");
  ASSERT_TRUE(t.run([&] { return con->received == "pong" && acc->received == "ping"; }));
}

// STREAM CONNECT by what libraries pass instead of a full Destination: a host name (a b32
// alias, or an address-book Destination), a b32 address, a Destination without its "="
// padding. Router 0 holds no LeaseSet2 for bob: each connect looks it up through the
// floodfill (router 1) and then streams, driven by the independent SAM client.
TEST(RemoteBridge, AnIndependentSamClientConnectsByNameAndByB32) {
  struct Case {
    std::string name;
    std::function<std::string(Router&, const SamSession& bob)> value;
  };
  const std::vector<Case> cases = {
      {"b32 alias",
       [](Router& r, const SamSession& bob) {
         r.register_alias("bob.i2p", bob.b32_address);
         return std::string("bob.i2p");
       }},
      {"address-book Destination",
       [](Router& r, const SamSession& bob) {
         r.register_alias("Bob-Dest.i2p", bob.public_b64);
         return std::string("bob-dest.I2P");
       }},
      {"b32 address in capitals",
       [](Router&, const SamSession& bob) {
         std::string upper = bob.b32_address;
         for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
         return upper;
       }},
      {"unpadded Destination",
       [](Router&, const SamSession& bob) { return bob.public_b64.substr(0, bob.public_b64.find('=')); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SamNetwork t({1});
    ASSERT_NO_FATAL_FAILURE(t.create_sessions(/*tell_router_0=*/false));
    const SamSession& bob = *Router::find_session_by_id(t.net[1].sessions, "bob");
    const std::string value = c.value(t.net[0], bob);
    ASSERT_FALSE(t.net[0].netdb.get_lease_set2(bob.dest_hash, ntcp2_net::read_now().wall_s()));
    sam_test::Script client({std::string(ONDREL_SOURCE_DIR) + "/tests/services/sam_remote_client.py",
                             std::to_string(t.net[0].sam_listener.port), std::to_string(t.net[1].sam_listener.port),
                             "alice", "bob", value, t.alice_pub});
    ASSERT_TRUE(client.started());
    ASSERT_TRUE(t.run([&] { return client.finished(); })) << client.output;
    EXPECT_EQ(client.exit_status, 0) << client.output;
    EXPECT_NE(client.output.find("ok upload arrives whole"), std::string::npos) << client.output;
    EXPECT_NE(client.output.find("ok download arrives whole"), std::string::npos) << client.output;
    // The connect went through a lookup: router 0 holds bob's LeaseSet2 now.
    EXPECT_TRUE(t.net[0].netdb.get_lease_set2(bob.dest_hash, ntcp2_net::read_now().wall_s()));
    EXPECT_TRUE(t.run([&] { return t.all_gone(); }));
  }
}

// A client that hangs up while its connect by b32 waits for the lookup: the lookup ends
// when the LeaseSet2 arrives, and no stream is opened for nobody.
TEST(RemoteBridge, AClientGoneDuringItsConnectsLookupOpensNothing) {
  SamNetwork t({1});
  ASSERT_NO_FATAL_FAILURE(t.create_sessions(/*tell_router_0=*/false));
  const SamSession& bob = *Router::find_session_by_id(t.net[1].sessions, "bob");
  std::unique_ptr<Sock> acc, con;
  t.add(acc, 1).queue("STREAM ACCEPT ID=bob\n");
  EXPECT_EQ(t.line(*acc), "STREAM STATUS RESULT=OK");
  t.add(con, 0).queue("STREAM CONNECT ID=alice DESTINATION=" + bob.b32_address + "\n");
  ASSERT_TRUE(t.run([&] { return !t.net[0].pending_lookups.empty(); }));
  EXPECT_EQ(t.net[0].pending_lookups[0].purpose, kLookupForStreamConnect);
  EXPECT_EQ(t.net[0].pending_lookups[0].key, bob.dest_hash);
  con->close();
  ASSERT_TRUE(t.run([&] {
    return t.net[0].pending_lookups.empty() &&
           t.net[0].netdb.get_lease_set2(bob.dest_hash, ntcp2_net::read_now().wall_s()) != nullptr;
  }));
  EXPECT_TRUE(t.net[0].remote_bridges.empty());
  EXPECT_TRUE(t.all_gone());
  EXPECT_FALSE(acc->eof);
  EXPECT_EQ(acc->received, "");
}

// The mended close: everything a client sent before it hung up reaches the peer before the
// end of the stream, also beyond what the stream's window takes at once; bytes written
// behind the CONNECT line come first.
TEST(RemoteBridge, AClientThatSendsAndClosesAtOnceLosesNothing) {
  SamNetwork t;
  ASSERT_NO_FATAL_FAILURE(t.create_sessions());
  const std::string head = "first bytes behind the command line|";
  const std::string data = random_text(kMiB);
  std::unique_ptr<Sock> con, acc;
  ASSERT_NO_FATAL_FAILURE(t.open_stream(con, acc, 0, head));
  con->queue(data);
  ASSERT_TRUE(t.run([&] { return con->all_sent(); }));
  con->close();
  ASSERT_TRUE(t.run([&] { return acc->eof; })) << "acceptor got " << acc->received.size();
  EXPECT_EQ(acc->received.size(), head.size() + data.size());
  EXPECT_TRUE(acc->received == head + data);
  acc->close();
  EXPECT_TRUE(t.run([&] { return t.all_gone(); }));
}

// A client that reads nothing: its bridge keeps at most 256 KiB queued for it and leaves
// the rest in the stream, while another bridge of the same routers carries 1 MiB; the
// sender's bridge holds at most 256 KiB the stream has not taken. Then the client reads and
// gets every byte.
TEST(RemoteBridge, ASlowReaderGetsEverythingWhileAnotherBridgeFlows) {
  SamNetwork t;
  ASSERT_NO_FATAL_FAILURE(t.create_sessions());
  std::unique_ptr<Sock> slow, slow_peer, fast, fast_peer;
  ASSERT_NO_FATAL_FAILURE(t.open_stream(slow, slow_peer, 4096));
  ASSERT_NO_FATAL_FAILURE(t.open_stream(fast, fast_peer));
  ASSERT_EQ(t.net[0].remote_bridges.size(), 2u);
  // The router's side of the slow client takes little into the kernel, so that the
  // bridge's own queue is what holds the data back.
  const int small = 4096;
  ASSERT_EQ(::setsockopt(t.net[0].remote_bridges[0].socket.fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);

  // More than the slow side's stream, queue and kernel hold: the sending side's stream
  // stalls too, and its bridge stops reading the sender once pending_out is full.
  const std::string to_slow = random_text(3 * kMiB), to_fast = random_text(kMiB);
  slow_peer->queue(to_slow);
  fast->queue(to_fast);
  t.slow = slow.get();
  t.slow_read = 0;
  std::size_t most_queued = 0, most_held_in_stream = 0, most_pending = 0;
  const std::uint32_t slow_id = t.net[0].remote_bridges[0].stream_id;
  auto watch = [&] {
    // The sending side: what the stalled stream does not take waits within its bound.
    for (const RemoteStreamBridge& b : t.net[1].remote_bridges)
      most_pending = std::max(most_pending, b.pending_out.size());
    for (const RemoteStreamBridge& b : t.net[0].remote_bridges) {
      if (b.stream_id != slow_id) continue;
      most_queued = std::max(most_queued, b.to_local.size());
      const SamSession* alice = Router::find_session_by_id(t.net[0].sessions, "alice");
      if (auto c = find_stream_by_id(alice->streams->connections, slow_id)) {
        most_held_in_stream = std::max(most_held_in_stream, c->recv_buf.size());
      }
    }
  };
  ASSERT_TRUE(t.run([&] { return fast_peer->received.size() >= kMiB; }, kLimitMs, watch));
  EXPECT_TRUE(fast_peer->received == to_fast);
  EXPECT_TRUE(slow->received.empty());
  // Wait until the slow side's queue is full and the stream holds the rest.
  ASSERT_TRUE(t.run(
      [&] {
        return most_held_in_stream > 0 && most_queued == kLocalQueueCapacity && most_pending == kLocalQueueCapacity;
      },
      kLimitMs, watch))
      << "queued " << most_queued << ", held in stream " << most_held_in_stream << ", pending " << most_pending;
  EXPECT_LE(most_queued, kLocalQueueCapacity);

  t.slow_read = SIZE_MAX;
  ASSERT_TRUE(t.run([&] { return slow->received.size() >= to_slow.size(); }, kLimitMs, watch))
      << "slow reader got " << slow->received.size();
  EXPECT_TRUE(slow->received == to_slow);
  EXPECT_LE(most_queued, kLocalQueueCapacity);
  EXPECT_LE(most_pending, kLocalQueueCapacity);
}

// Two clients accept on one session and three streams come in: each client takes one, the
// third waits in the queue until a third client accepts. A SILENT acceptor gets no
// destination line, only the bytes.
TEST(RemoteBridge, EachAcceptingClientTakesOneInboundStream) {
  SamNetwork t;
  ASSERT_NO_FATAL_FAILURE(t.create_sessions());
  std::unique_ptr<Sock> acc1, acc2, acc3, con[3];
  t.add(acc1, 1).queue("STREAM ACCEPT ID=bob\n");
  EXPECT_EQ(t.line(*acc1), "STREAM STATUS RESULT=OK");
  t.add(acc2, 1).queue("STREAM ACCEPT ID=bob SILENT=true\n");
  for (int i = 0; i < 3; ++i) {
    t.add(con[i], 0).queue("STREAM CONNECT ID=alice DESTINATION=" + t.bob_pub + "\n");
    EXPECT_EQ(t.line(*con[i]), "STREAM STATUS RESULT=OK");
    con[i]->queue("from connector " + std::to_string(i) + "|");
  }
  SamSession* bob = Router::find_session_by_id(t.net[1].sessions, "bob");
  ASSERT_TRUE(t.run(
      [&] { return acc1->received.find('|') != std::string::npos && acc2->received.find('|') != std::string::npos; }));
  EXPECT_EQ(t.line(*acc1), t.alice_pub);
  EXPECT_TRUE(acc2->received.starts_with("from connector ")) << acc2->received;  // no line first
  EXPECT_EQ(bob->streams->accept_queue.size(), 1u);
  EXPECT_EQ(t.net[1].remote_bridges.size(), 2u);

  t.add(acc3, 1).queue("STREAM ACCEPT ID=bob SILENT=true\n");
  ASSERT_TRUE(t.run([&] { return acc3->received.find('|') != std::string::npos; }));
  EXPECT_TRUE(bob->streams->accept_queue.empty());
  std::set<std::string> got = {acc1->received, acc2->received, acc3->received};
  EXPECT_EQ(got, (std::set<std::string>{"from connector 0|", "from connector 1|", "from connector 2|"}));
}

// What the loop's wait watches on a bridge's socket: reads while pending_out has room,
// writes while bytes wait for the client.
TEST(RemoteBridge, TheSocketIsWatchedOnlyWhenAStepWouldUseIt) {
  SamNetwork t;
  ASSERT_NO_FATAL_FAILURE(t.create_sessions());
  std::unique_ptr<Sock> con, acc;
  ASSERT_NO_FATAL_FAILURE(t.open_stream(con, acc));
  RemoteStreamBridge& b = t.net[0].remote_bridges.at(0);
  auto want = [&]() -> std::optional<SocketWant> {
    std::vector<SocketWant> wants;
    append_client_socket_wants(t.net[0], wants);
    for (const SocketWant& w : wants) {
      if (w.fd == b.socket.fd) return w;
    }
    return std::nullopt;
  };
  ASSERT_TRUE(want());
  EXPECT_TRUE(want()->read);
  EXPECT_FALSE(want()->write);
  b.to_local.append(ByteView(reinterpret_cast<const std::uint8_t*>("x"), 1));
  EXPECT_TRUE(want()->write);
  b.to_local.clear();
  b.pending_out.append(Bytes(kLocalQueueCapacity, 0));
  EXPECT_FALSE(want());  // full: not read, nothing to write
  b.pending_out.clear();
  b.local_done = true;
  EXPECT_FALSE(want());
}

// A peer that closes shuts down only the client's write side: the client can still send,
// and the bridge goes once it hangs up too.
TEST(RemoteBridge, ThePeersCloseIsAHalfClose) {
  SamNetwork t;
  ASSERT_NO_FATAL_FAILURE(t.create_sessions());
  std::unique_ptr<Sock> con, acc;
  ASSERT_NO_FATAL_FAILURE(t.open_stream(con, acc));
  acc->queue("reply");
  ASSERT_TRUE(t.run([&] { return acc->all_sent(); }));
  acc->close();
  ASSERT_TRUE(t.run([&] { return con->eof; }));
  EXPECT_EQ(con->received, "reply");
  EXPECT_FALSE(t.all_gone());
  con->close();
  EXPECT_TRUE(t.run([&] { return t.all_gone(); }));
}

// A client that hangs up while the peer is still sending: what it sent arrives, and once
// its bridge cannot write to it any more the peer's stream is reset, so both bridges end
// although the peer's client never stops sending.
TEST(RemoteBridge, AClientGoneWhileThePeerSendsEndsBothSides) {
  SamNetwork t;
  ASSERT_NO_FATAL_FAILURE(t.create_sessions());
  std::unique_ptr<Sock> con, acc;
  ASSERT_NO_FATAL_FAILURE(t.open_stream(con, acc));
  acc->queue(random_text(4 * kMiB));
  ASSERT_TRUE(t.run([&] { return con->received.size() > 64 * 1024; }));
  con->queue("bye");
  ASSERT_TRUE(t.run([&] { return con->all_sent(); }));
  con->close();
  ASSERT_TRUE(t.run([&] { return t.all_gone(); })) << "acceptor got " << acc->received.size();
  EXPECT_EQ(acc->received, "bye");
  // The acceptor never hung up: its bridge went because the peer reset the stream.
  ASSERT_TRUE(t.run([&] { return acc->eof; }));
}

// Ending the session of an open stream resets it: the peer's bridge goes at once, its
// client is closed, instead of resending into a destination that is gone.
TEST(RemoteBridge, AnEndedSessionResetsItsStreams) {
  SamNetwork t;
  ASSERT_NO_FATAL_FAILURE(t.create_sessions());
  std::unique_ptr<Sock> con, acc;
  ASSERT_NO_FATAL_FAILURE(t.open_stream(con, acc));
  t.ctl_b->close();  // bob's control connection: the session ends
  ASSERT_TRUE(t.run([&] { return acc->eof && con->eof; }));
  EXPECT_TRUE(t.run([&] { return t.net[0].remote_bridges.empty() && t.net[1].remote_bridges.empty(); }));
  const SamSession* alice = Router::find_session_by_id(t.net[0].sessions, "alice");
  EXPECT_TRUE(alice->streams->connections.empty());
}

}  // namespace
}  // namespace router::bridge_test
