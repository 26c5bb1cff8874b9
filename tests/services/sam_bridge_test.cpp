// The SAM bridge driven over loopback: by an independent python3 client, and by plain
// sockets of the test for the cases that need control over reading and closing.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "crypto/ed25519.h"
#include "router/destinations.h"
#include "services/sam_bridge.h"
#include "services/socket_wants.h"
#include "tests/services/sam_test_util.h"
#include "tests/support/scratch.h"

namespace router::sam_test {
namespace {

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

TEST(SamBridge, AnIndependentClientGetsEveryReplyItExpects) {
  auto r = loopback_router();
  ASSERT_TRUE(r);
  auto hosts_dest = generate_transient_destination();
  ASSERT_TRUE(hosts_dest);
  const std::string hosts = testing::TempDir() + "sam_bridge_hosts.txt";
  std::ofstream(hosts) << "# a hosts file\r\nexample.i2p=" << hosts_dest->public_b64 << "\r\n";
  ASSERT_EQ(r->load_hosts_file(hosts), 1u);

  Script client({std::string(ONDREL_SOURCE_DIR) + "/tests/services/sam_client.py", std::to_string(r->sam_listener.port),
                 "example.i2p", hosts_dest->public_b64});
  ASSERT_TRUE(client.started());
  // The script's own socket time-outs end it when a reply never comes; the bound here only
  // keeps a lost child from holding the test.
  const bool ended = step_until(
      *r, [&] { return client.finished(); }, 60000);
  EXPECT_TRUE(ended) << client.output;

  const std::vector<std::string> lines = lines_of(client.output);
  std::size_t ok = 0;
  for (const std::string& line : lines) {
    if (line.starts_with("ok ")) ++ok;
    EXPECT_FALSE(line.starts_with("FAIL")) << line;
  }
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "done " + std::to_string(ok)) << client.output;
  EXPECT_GE(ok, 50u);
  EXPECT_EQ(client.exit_status, 0);
  // Every connection the script opened is gone, and with them their records and the
  // sessions they created.
  EXPECT_TRUE(step_until(*r, [&] { return r->sam_clients.empty() && r->bridges.empty(); }));
  EXPECT_TRUE(r->sessions.empty());
}

// Whatever a connection sends before HELLO VERSION is neither carried out nor answered,
// whether it arrives in the same read as a HELLO and a command or alone; the connection is
// closed. Checked after every pass: no session ever exists.
TEST(SamBridge, AConnectionThatDoesNotOpenWithHelloIsClosedUnanswered) {
  const std::vector<std::string> openings = {
      "POST / HTTP/1.1\r\nHost: 127.0.0.1:7656\r\nContent-Length: 60\r\n\r\n"
      "HELLO VERSION\nSESSION CREATE ID=early DESTINATION=TRANSIENT\n",
      "SESSION CREATE ID=early DESTINATION=TRANSIENT\nHELLO VERSION\nSESSION CREATE ID=early\n",
      "PING\nHELLO VERSION\n",
      "HELLO\nHELLO VERSION\nSESSION CREATE ID=early\n",
      "hello version\nSESSION CREATE ID=early\n",
      "\"unterminated\nSESSION CREATE ID=early\n",
  };
  auto r = loopback_router();
  ASSERT_TRUE(r);
  for (const std::string& opening : openings) {
    SCOPED_TRACE(opening);
    Client c(*r, Greeting::None);
    c.send(opening);
    bool session_seen = false;
    EXPECT_TRUE(step_until(*r, [&] {
      session_seen = session_seen || !r->sessions.empty();
      c.pull();
      return c.eof;
    }));
    EXPECT_FALSE(session_seen);
    EXPECT_EQ(c.received, "");
  }
  EXPECT_TRUE(step_until(*r, [&] { return r->sam_clients.empty(); }));
  EXPECT_TRUE(r->sessions.empty());

  // Empty lines before HELLO are no command: they are dropped, as always.
  Client late(*r, Greeting::None);
  late.send("\n\r\n");
  EXPECT_EQ(late.ask("HELLO VERSION MIN=3.0 MAX=3.2"), "HELLO REPLY RESULT=OK VERSION=3.2");
  EXPECT_TRUE(late.ask("SESSION CREATE ID=late")->starts_with("SESSION STATUS RESULT=OK DESTINATION="));
}

// The session ids of the router's own services belong to them before the services start,
// and after: a client holding one would receive the service's traffic.
TEST(SamBridge, TheServicesSessionIdsAreRefusedWhetherOrNotTheyRun) {
  for (const bool running : {false, true}) {
    SCOPED_TRACE(running ? "services running" : "services not running");
    auto r = loopback_router();
    ASSERT_TRUE(r);
    test_support::ScratchDir downloads("downloads");
    if (running) {
      const ntcp2_net::Now now = ntcp2_net::read_now();
      ASSERT_TRUE(r->enable_torrent_engine(downloads.path().string(), now));
      ASSERT_NE(r->ensure_http_proxy_session(now), nullptr);
    }
    std::vector<std::string> before;
    for (const SamSession& s : r->sessions) before.push_back(s.id + " " + s.public_b64);
    auto keys = generate_transient_destination();
    ASSERT_TRUE(keys);
    Client c(*r);
    for (const std::string id : {"__http_proxy__", "__torrent__"}) {
      for (const std::string& destination : {std::string("TRANSIENT"), keys->private_b64, keys->public_b64}) {
        EXPECT_EQ(c.ask("SESSION CREATE STYLE=STREAM ID=" + id + " DESTINATION=" + destination),
                  "SESSION STATUS RESULT=DUPLICATED_ID")
            << id;
      }
    }
    std::vector<std::string> after;
    for (const SamSession& s : r->sessions) after.push_back(s.id + " " + s.public_b64);
    EXPECT_EQ(after, before);
    EXPECT_EQ(before.size(), running ? 2u : 0u);
    // Names like them are anyone's.
    EXPECT_TRUE(c.ask("SESSION CREATE ID=__torrent")->starts_with("SESSION STATUS RESULT=OK DESTINATION="));
    EXPECT_TRUE(c.ask("SESSION CREATE ID=__HTTP_PROXY__")->starts_with("SESSION STATUS RESULT=OK DESTINATION="));
  }
}

// Two sessions "a" and "b" created on one control connection; the public Base64 of each.
struct TwoSessions {
  Router& r;
  Client ctl{r};
  std::string a_pub, b_pub;

  explicit TwoSessions(Router& router) : r(router) {
    EXPECT_TRUE(
        ctl.ask("SESSION CREATE STYLE=STREAM ID=a DESTINATION=TRANSIENT")->starts_with("SESSION STATUS RESULT=OK"));
    EXPECT_TRUE(
        ctl.ask("SESSION CREATE STYLE=STREAM ID=b DESTINATION=TRANSIENT")->starts_with("SESSION STATUS RESULT=OK"));
    a_pub =
        value_of(*ctl.ask("NAMING LOOKUP NAME=" + Router::find_session_by_id(r.sessions, "a")->b32_address), "VALUE");
    b_pub =
        value_of(*ctl.ask("NAMING LOOKUP NAME=" + Router::find_session_by_id(r.sessions, "b")->b32_address), "VALUE");
  }

  // A stream from session a to a client accepting on b, both past their status lines.
  void join(Client& connector, Client& acceptor) {
    EXPECT_EQ(acceptor.ask("STREAM ACCEPT ID=b"), "STREAM STATUS RESULT=OK");
    EXPECT_EQ(connector.ask("STREAM CONNECT ID=a DESTINATION=" + b_pub), "STREAM STATUS RESULT=OK");
    EXPECT_EQ(acceptor.line(), a_pub);
  }
};

TEST(SamBridge, AClosedControlConnectionEndsItsSessionsAndTheirStreams) {
  auto r = loopback_router();
  ASSERT_TRUE(r);
  Client ctl_a(*r), ctl_b(*r);
  ASSERT_TRUE(ctl_a.ask("SESSION CREATE ID=a")->starts_with("SESSION STATUS RESULT=OK DESTINATION="));
  ASSERT_TRUE(ctl_b.ask("SESSION CREATE ID=b")->starts_with("SESSION STATUS RESULT=OK DESTINATION="));
  const common::Hash a_hash = Router::find_session_by_id(r->sessions, "a")->dest_hash;
  const std::string a_pub = Router::find_session_by_id(r->sessions, "a")->public_b64;
  const std::string b_pub = Router::find_session_by_id(r->sessions, "b")->public_b64;
  EXPECT_TRUE(r->netdb.get_lease_set2(a_hash, ntcp2_net::read_now().wall_s()));

  Client acc(*r), con(*r), waiting(*r);
  ASSERT_EQ(acc.ask("STREAM ACCEPT ID=b"), "STREAM STATUS RESULT=OK");
  ASSERT_EQ(con.ask("STREAM CONNECT ID=a DESTINATION=" + b_pub), "STREAM STATUS RESULT=OK");
  ASSERT_EQ(acc.line(), a_pub);
  ASSERT_EQ(waiting.ask("STREAM ACCEPT ID=a"), "STREAM STATUS RESULT=OK");
  con.send("before");
  EXPECT_TRUE(step_until(*r, [&] { return acc.pull() && acc.received == "before"; }));
  EXPECT_EQ(r->bridges.size(), 1u);
  EXPECT_EQ(r->sam_clients.size(), 3u);  // the bridged clients' records are gone

  ctl_a.close();
  EXPECT_TRUE(step_until(*r, [&] { return Router::find_session_by_id(r->sessions, "a") == nullptr; }));
  EXPECT_FALSE(r->netdb.get_lease_set2(a_hash, ntcp2_net::read_now().wall_s()));
  // The stream of the session and the client accepting on it are closed.
  EXPECT_TRUE(con.closed_by_router());
  EXPECT_TRUE(acc.closed_by_router());
  EXPECT_TRUE(waiting.closed_by_router());
  EXPECT_TRUE(r->bridges.empty());
  EXPECT_TRUE(Router::find_session_by_id(r->sessions, "b") != nullptr);
  EXPECT_EQ(r->sam_clients.size(), 1u);  // ctl_b

  // The id is free again.
  Client again(*r);
  EXPECT_TRUE(again.ask("SESSION CREATE ID=a")->starts_with("SESSION STATUS RESULT=OK DESTINATION="));
  EXPECT_EQ(again.ask("SESSION CREATE ID=b"), "SESSION STATUS RESULT=DUPLICATED_ID");
}

TEST(SamBridge, AClientThatStopsReadingHoldsUpOnlyItsOwnBridge) {
  auto r = loopback_router();
  ASSERT_TRUE(r);
  TwoSessions s(*r);
  Client con1(*r, 0, 65536), acc1(*r, 4096), con2(*r), acc2(*r);
  s.join(con1, acc1);
  s.join(con2, acc2);
  ASSERT_EQ(r->bridges.size(), 2u);
  acc1.received.clear();

  // acc1 reads nothing from here on while con1 writes all it can; 4 MiB go through the
  // other bridge meanwhile.
  std::string payload(4 << 20, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>((i * 31 + 7) % 253);
  const std::string chunk(64 * 1024, 'z');
  std::size_t con1_written = 0, sent = 0;
  int passes = 0;
  // Writes all that con1's socket takes now; the count.
  auto fill_con1 = [&] {
    std::size_t total = 0;
    for (std::size_t n = 1; n > 0; total += n) n = con1.write_some(chunk);
    con1_written += total;
    return total;
  };
  for (; passes < 20000 && acc2.received.size() < payload.size(); ++passes) {
    fill_con1();
    sent += con2.write_some(std::string_view(payload).substr(sent));
    acc2.pull();
    step_briefly(*r, ntcp2_net::read_now());
  }
  EXPECT_EQ(acc2.received, payload) << "after " << passes << " passes";

  // The stalled bridge stops taking bytes from its writer once its queue is full (the
  // writer then fills its socket buffers and is held back by them), and stays so.
  int quiet_passes = 0;
  EXPECT_TRUE(step_until(
      *r,
      [&] {
        quiet_passes = fill_con1() == 0 ? quiet_passes + 1 : 0;
        return quiet_passes == 50;
      },
      20000));
  EXPECT_EQ(r->bridges[0].to_b.size(), kLocalQueueCapacity);
  EXPECT_GT(con1_written, kLocalQueueCapacity);

  // Once acc1 reads again, every byte con1 wrote arrives.
  EXPECT_TRUE(step_until(
      *r,
      [&] {
        acc1.pull();
        return acc1.received.size() >= con1_written;
      },
      20000));
  EXPECT_EQ(acc1.received, std::string(con1_written / chunk.size() * chunk.size(), 'z') +
                               std::string(con1_written % chunk.size(), 'z'));
}

TEST(SamBridge, AClientThatDoesNotReadItsRepliesIsClosed) {
  auto r = loopback_router();
  ASSERT_TRUE(r);
  Client flood(*r, 4096);
  Client other(*r);
  const std::string ping = "PING K=" + std::string(60000, 'x') + "\n";
  std::size_t written = 0;
  int passes = 0;
  const bool closed = step_until(
      *r,
      [&] {
        ++passes;
        written += flood.write_some(std::string_view(ping).substr(written % ping.size()));
        return r->sam_clients.size() == 1;
      },
      20000);
  EXPECT_TRUE(closed) << "written " << written << " in " << passes << " passes";
  // Meanwhile and afterwards other clients are answered.
  EXPECT_EQ(other.ask("PING still"), "PONG still");
}

TEST(SamBridge, LinesUpTo64KiBAreAnsweredLongerOnesCloseTheClient) {
  auto r = loopback_router();
  ASSERT_TRUE(r);
  const std::string longest = "PING K=" + std::string(kMaxSamLine - 7, 'v');
  ASSERT_EQ(longest.size(), kMaxSamLine);
  Client fits(*r);
  EXPECT_EQ(fits.ask(longest), "PONG K=" + std::string(kMaxSamLine - 7, 'v'));

  for (const std::string& sent : {std::string(kMaxSamLine + 1, 'a'), longest + "w\n"}) {
    Client too_long(*r);
    too_long.send(sent);
    EXPECT_TRUE(too_long.closed_by_router());
    EXPECT_EQ(too_long.received, "");
  }
  EXPECT_EQ(fits.ask("PING"), "PONG");
}

TEST(SamBridge, BytesBehindTheCommandLinesGoFirst) {
  auto r = loopback_router();
  ASSERT_TRUE(r);
  TwoSessions s(*r);
  Client acc(*r), con(*r);
  acc.send("STREAM ACCEPT ID=b\nfrom the acceptor ");
  ASSERT_EQ(acc.line(), "STREAM STATUS RESULT=OK");
  // Read together with the command line, the bytes wait in the client's record.
  auto waiting_bytes = [&] {
    for (const SamClientConn& c : r->sam_clients) {
      if (c.state == SamClientState::Accepting) return std::string(c.inbuf.begin(), c.inbuf.end());
    }
    return std::string("<no accepting client>");
  };
  ASSERT_TRUE(step_until(*r, [&] { return waiting_bytes() == "from the acceptor "; })) << waiting_bytes();
  con.send("STREAM CONNECT ID=a DESTINATION=" + s.b_pub + "\nfrom the connector ");
  ASSERT_EQ(con.line(), "STREAM STATUS RESULT=OK");
  ASSERT_EQ(acc.line(), s.a_pub);
  acc.send("and later");
  con.send("and later");
  EXPECT_TRUE(step_until(*r, [&] {
    acc.pull();
    con.pull();
    return acc.received.size() >= 28 && con.received.size() >= 27;
  }));
  EXPECT_EQ(con.received, "from the acceptor and later");
  EXPECT_EQ(acc.received, "from the connector and later");
}

TEST(SamBridge, AHalfClosedStreamFlowsTheOtherWayUntilBothEnd) {
  auto r = loopback_router();
  ASSERT_TRUE(r);
  TwoSessions s(*r);
  Client con(*r), acc(*r);
  s.join(con, acc);
  con.send("last words");
  con.shutdown_write();
  EXPECT_TRUE(acc.closed_by_router());  // the end of con's input reaches acc
  EXPECT_EQ(acc.received, "last words");
  acc.send("an answer");
  EXPECT_TRUE(step_until(*r, [&] {
    con.pull();
    return con.received == "an answer";
  }));
  EXPECT_EQ(r->bridges.size(), 1u);
  acc.close();
  EXPECT_TRUE(con.closed_by_router());
  EXPECT_TRUE(step_until(*r, [&] { return r->bridges.empty(); }));
}

TEST(SamBridge, TheFirstAcceptingClientIsPairedAndSilentOnesHearNothing) {
  auto r = loopback_router();
  ASSERT_TRUE(r);
  TwoSessions s(*r);
  Client first(*r), second(*r), con(*r);
  first.send("STREAM ACCEPT ID=b SILENT=TRUE\n");
  ASSERT_EQ(second.ask("STREAM ACCEPT ID=b"), "STREAM STATUS RESULT=OK");
  ASSERT_EQ(con.ask("STREAM CONNECT ID=a DESTINATION=" + s.b_pub), "STREAM STATUS RESULT=OK");
  con.send("data");
  EXPECT_TRUE(step_until(*r, [&] {
    first.pull();
    return first.received.size() >= 4;
  }));
  EXPECT_EQ(first.received, "data");  // no status line, no destination line
  second.pull();
  EXPECT_EQ(second.received, "");
  ASSERT_EQ(r->sam_clients.size(), 2u);  // the control connection and the second acceptor
  EXPECT_EQ(r->sam_clients[1].state, SamClientState::Accepting);
}

// A destination of another router whose LeaseSet2 is known but which never answers: the
// connect is not answered OK, and once the connect time-out has passed (time passed in)
// the client gets CANT_REACH_PEER and is closed; with SILENT=true only closed.
TEST(SamBridge, RemoteConnectToADeadDestinationTimesOut) {
  for (const bool silent : {false, true}) {
    auto r = loopback_router();
    ASSERT_TRUE(r);
    TwoSessions s(*r);
    // Built and stored by the router itself for a session that is then ended.
    Client ctl(*r);
    ASSERT_TRUE(ctl.ask("SESSION CREATE ID=remote")->starts_with("SESSION STATUS RESULT=OK"));
    SamSession remote = *Router::find_session_by_id(r->sessions, "remote");
    auto ls = r->build_session_leaseset2(remote, ntcp2_net::read_now());
    ASSERT_TRUE(ls);
    ctl.close();
    ASSERT_TRUE(step_until(*r, [&] { return Router::find_session_by_id(r->sessions, "remote") == nullptr; }));
    ASSERT_TRUE(r->netdb.store_lease_set2(*ls, ntcp2_net::read_now().wall_s()));

    Client con(*r);
    con.send(std::string("STREAM CONNECT ID=a DESTINATION=") + remote.public_b64 + (silent ? " SILENT=true" : "") +
             "\n");
    ASSERT_TRUE(step_until(*r, [&] { return r->remote_bridges.size() == 1; }));
    for (int i = 0; i < 20; ++i) step_briefly(*r, ntcp2_net::read_now());
    con.pull();
    EXPECT_EQ(con.received, "");  // no OK before the stream stands
    EXPECT_FALSE(con.eof);
    EXPECT_EQ(r->remote_bridges[0].state, RemoteBridgeState::Connecting);

    const ntcp2_net::Now later = ntcp2_net::read_now().after(12001);
    for (int i = 0; i < 50 && !con.eof; ++i) {
      step_briefly(*r, later);
      con.pull();
    }
    EXPECT_EQ(con.received, silent ? "" : "STREAM STATUS RESULT=CANT_REACH_PEER\n");
    EXPECT_TRUE(con.eof);
    EXPECT_TRUE(r->sessions[0].streams->connections.empty() && r->sessions[1].streams->connections.empty());
    // The socket goes once the client has hung up.
    con.close();
    for (int i = 0; i < 50 && !r->remote_bridges.empty(); ++i) step_briefly(*r, later);
    EXPECT_TRUE(r->remote_bridges.empty());
  }
}

TEST(SamBridge, SessionsGetKeysOnlyWithTheirPrivateKeyBytes) {
  auto r = loopback_router();
  ASSERT_TRUE(r);
  auto t = generate_transient_destination();
  ASSERT_TRUE(t);
  Client ctl(*r);
  ASSERT_EQ(ctl.ask("SESSION CREATE ID=public DESTINATION=" + t->public_b64),
            "SESSION STATUS RESULT=OK DESTINATION=" + t->public_b64);
  const SamSession* s = Router::find_session_by_id(r->sessions, "public");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->public_b64, t->public_b64);
  EXPECT_FALSE(s->ratchet || s->signing_key || s->x25519_public);
  EXPECT_FALSE(r->netdb.get_lease_set2(s->dest_hash, ntcp2_net::read_now().wall_s()));
  ctl.close();
  ASSERT_TRUE(step_until(*r, [&] { return r->sessions.empty(); }));

  Client again(*r);
  ASSERT_EQ(again.ask("SESSION CREATE ID=private DESTINATION=" + t->private_b64),
            "SESSION STATUS RESULT=OK DESTINATION=" + t->private_b64);
  s = Router::find_session_by_id(r->sessions, "private");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->public_b64, t->public_b64);
  // The seed read back from the private key: the session signs as the seed does.
  ASSERT_TRUE(s->signing_key);
  EXPECT_EQ(crypto::ed25519_sign(*s->signing_key, as_bytes("leaseset")),
            crypto::ed25519_sign(t->signing_key, as_bytes("leaseset")).value());
  EXPECT_EQ(s->x25519_public, t->encryption_keypair.public_key);
  ASSERT_TRUE(s->ratchet);
  EXPECT_EQ(s->ratchet->static_keypair.public_key, t->encryption_keypair.public_key);
  EXPECT_EQ(s->b32_address, s->dest_hash.to_b32_address());
  EXPECT_TRUE(r->netdb.get_lease_set2(s->dest_hash, ntcp2_net::read_now().wall_s()));
}

TEST(SamBridge, SocketWantsNameOnlySocketsAStepCouldMoveOn) {
  auto r = loopback_router();
  ASSERT_TRUE(r);
  TwoSessions s(*r);
  Client acc(*r), con(*r), waiting(*r, 4096);
  s.join(con, acc);
  ASSERT_EQ(waiting.ask("STREAM ACCEPT ID=b"), "STREAM STATUS RESULT=OK");
  auto wants = [&] {
    std::vector<SocketWant> out;
    append_client_socket_wants(*r, out);
    return out;
  };
  // The control connection is read; the accepting client is not; both bridge sides are.
  std::vector<SocketWant> w = wants();
  ASSERT_EQ(w.size(), 3u);
  EXPECT_EQ(w[0].fd, r->sam_clients[0].socket.fd);
  EXPECT_TRUE(w[0].read && !w[0].write);
  EXPECT_EQ(w[1].fd, r->bridges[0].socket_a.fd);
  EXPECT_EQ(w[2].fd, r->bridges[0].socket_b.fd);
  EXPECT_TRUE(w[1].read && !w[1].write && w[2].read && !w[2].write);

  // Bytes queued for B make it wanted for writing; a full queue stops A being read.
  StreamBridge& b = r->bridges[0];
  b.to_b.append(Bytes(kLocalQueueCapacity, 1));
  w = wants();
  ASSERT_EQ(w.size(), 2u);  // A is neither read nor written
  EXPECT_EQ(w[1].fd, b.socket_b.fd);
  EXPECT_TRUE(w[1].read && w[1].write);
  b.to_b.clear();
  b.a_done = true;
  w = wants();
  ASSERT_EQ(w.size(), 2u);  // A has nothing more to give and nothing to take
  EXPECT_EQ(w[1].fd, b.socket_b.fd);
}

TEST(SamLines, PopLineFromBuf) {
  struct Case {
    std::string buffer;
    std::optional<std::string> line;
    std::string rest;
  };
  const std::vector<Case> cases = {
      {"no line feed", std::nullopt, "no line feed"},
      {"one\ntwo\n", "one", "two\n"},
      {"crlf\r\nx", "crlf", "x"},
      {"two crs\r\r\n", "two crs\r", ""},
      {"\n", "", ""},
      {"\r\n", "", ""},
      {"bad \xff utf8\nnext", "", "next"},
      {"caf\xc3\xa9\n", "caf\xc3\xa9", ""},
  };
  for (const Case& c : cases) {
    Bytes buf(c.buffer.begin(), c.buffer.end());
    EXPECT_EQ(pop_line_from_buf(buf), c.line) << c.buffer;
    EXPECT_EQ(std::string(buf.begin(), buf.end()), c.rest) << c.buffer;
  }
}

TEST(SamLines, ParseSamPort) {
  const std::vector<std::pair<std::optional<std::string_view>, std::uint32_t>> cases = {
      {std::nullopt, 0}, {"", 0},    {"80", 80}, {"0080", 80}, {"65535", 65535},   {"65536", 0},
      {"-1", 0},         {"80a", 0}, {" 80", 0}, {"0", 0},     {"99999999999", 0}, {"1", 1},
  };
  for (const auto& [text, port] : cases) EXPECT_EQ(parse_sam_port(text), port) << text.value_or("<none>");
}

}  // namespace
}  // namespace router::sam_test
