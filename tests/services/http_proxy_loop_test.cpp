// The HTTP proxy's service loop on one router, driven by plain loopback sockets with the
// time passed in: heads in pieces, the time and size limits, redirects and the refusals
// that need no other router.
#include <gtest/gtest.h>

#include <string>

#include "ntcp2_net/tcp_listener.h"
#include "router/destinations.h"
#include "services/http_proxy_pages.h"
#include "tests/services/bridge_network_util.h"
#include "tests/services/sam_test_util.h"

namespace router::bridge_test {
namespace {

struct OneRouter {
  std::optional<Router> r = sam_test::loopback_router();
  int port = 0;

  OneRouter() {
    if (!r) return;
    auto listener = ntcp2_net::TcpListener::bind("127.0.0.1", 0);
    EXPECT_TRUE(listener);
    if (!listener) return;
    port = listener->port;
    r->http_proxy_listener = std::move(*listener);
  }
  ~OneRouter() {
    if (r) r->close();
  }

  // Steps at the given time until the browser's connection was closed by the proxy.
  bool until_closed(Sock& s, const ntcp2_net::Now& now, int passes = 500) {
    for (int i = 0; i < passes && !s.eof; ++i) {
      sam_test::step_briefly(*r, now);
      s.pump();
    }
    return s.eof;
  }
  void passes(Sock& s, int n) {
    for (int i = 0; i < n; ++i) {
      sam_test::step_briefly(*r, ntcp2_net::read_now());
      s.pump();
    }
  }
};

std::string page(int status, std::string_view reason, std::string_view message, std::uint32_t retry = 0) {
  const HttpProxyErrorPage p = http_proxy_error_page(status, reason, message, retry);
  return p.head + p.body;
}

TEST(HttpProxyLoop, AHeadInPiecesIsAnsweredWhenItsEndArrives) {
  OneRouter t;
  ASSERT_TRUE(t.r);
  Sock s(t.port);
  s.queue("GET http://nosuch");
  t.passes(s, 5);
  s.queue("site.i2p/ HTTP/1.1\r\nUser-Agent: x\r\n");
  t.passes(s, 5);
  EXPECT_EQ(s.received, "");
  ASSERT_EQ(t.r->http_proxy_conns.size(), 1u);
  s.queue("\r\n");
  // The browser shuts its sending side right after the head: still served.
  t.passes(s, 1);
  s.shutdown_write();
  ASSERT_TRUE(t.until_closed(s, ntcp2_net::read_now()));
  EXPECT_EQ(s.received, page(502, "Bad Gateway",
                             "Unknown .i2p host 'nosuchsite.i2p'. Use its .b32.i2p address, add it via --hosts "
                             "<file>, or visit an ?i2paddresshelper= jump URL."));
  t.passes(s, 3);
  EXPECT_TRUE(t.r->http_proxy_conns.empty());
}

TEST(HttpProxyLoop, AHeadThatDoesNotCompleteInFifteenSecondsGets408) {
  OneRouter t;
  ASSERT_TRUE(t.r);
  Sock s(t.port);
  s.queue("GET http://a.i2p/ HTTP/1.1\r\n");
  t.passes(s, 5);
  EXPECT_EQ(s.received, "");
  ASSERT_TRUE(t.until_closed(s, ntcp2_net::read_now().after(15001)));
  EXPECT_EQ(s.received, page(408, "Request Timeout", "Timed out waiting for complete HTTP request headers."));
}

TEST(HttpProxyLoop, MoreThanSixtyFourKibibytesBufferedGets431EvenWithTheHeadComplete) {
  OneRouter t;
  ASSERT_TRUE(t.r);
  Sock s(t.port);
  s.queue("GET http://a.i2p/ HTTP/1.1\r\nX-Long: " + std::string(66000, 'a') + "\r\n\r\n");
  ASSERT_TRUE(t.until_closed(s, ntcp2_net::read_now()));
  EXPECT_EQ(s.received,
            page(431, "Request Header Fields Too Large", "HTTP request headers exceed the 64 KiB proxy limit."));
}

TEST(HttpProxyLoop, RefusalsWithoutAnotherRouter) {
  auto helper = generate_transient_destination();
  ASSERT_TRUE(helper);
  const std::string b32 = helper->destination.keys_and_cert.hash().to_b32_address();
  struct Case {
    std::string request;
    std::string answer;
  };
  const std::vector<Case> cases = {
      {"GET http://" + b32 + "/ HTTP/1.1\r\n\r\n",
       page(502, "Bad Gateway", "No NetDB floodfill peers available to look up " + b32 + ".")},
      {"GET http://new.i2p/a?x=1&i2paddresshelper=" + helper->public_b64 + " HTTP/1.1\r\n\r\n",
       "HTTP/1.1 302 Found\r\nLocation: http://new.i2p/a?x=1\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"},
      {"GET http://bad.i2p/?i2paddresshelper=notadestination HTTP/1.1\r\n\r\n",
       page(400, "Bad Request", "Invalid Base64 I2P Destination in i2paddresshelper parameter.")},
      {"GET http://a.i2p/ HTTP/1.1\r\nX-Evil: a\x01"
       "b\r\n\r\n",
       ""},  // refused by the parser: a page
  };
  for (const Case& c : cases) {
    OneRouter t;
    ASSERT_TRUE(t.r);
    Sock s(t.port);
    s.queue(c.request);
    ASSERT_TRUE(t.until_closed(s, ntcp2_net::read_now())) << c.request;
    if (c.answer.empty()) {
      EXPECT_TRUE(s.received.starts_with("HTTP/1.1 400 ")) << s.received;
      EXPECT_NE(s.received.find("Malformed HTTP header line."), std::string::npos) << s.received;
    } else {
      EXPECT_EQ(s.received, c.answer) << c.request;
    }
  }
}

TEST(HttpProxyLoop, ALocalDestinationWithoutAnAcceptorGets502) {
  OneRouter t;
  ASSERT_TRUE(t.r);
  sam_test::Client ctl(*t.r);
  ASSERT_TRUE(ctl.ask("SESSION CREATE ID=site")->starts_with("SESSION STATUS RESULT=OK"));
  const std::string b32 = Router::find_session_by_id(t.r->sessions, "site")->b32_address;
  Sock s(t.port);
  s.queue("GET http://" + b32 + "/ HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(t.until_closed(s, ntcp2_net::read_now()));
  EXPECT_EQ(s.received, page(502, "Bad Gateway", "Local destination " + b32 + " is not currently accepting streams."));
}

// A SAM client cannot make a session "__http_proxy__" before the proxy's first request:
// the id is refused, and the proxy's requests go out from a session of its own, with keys
// and streams, not from a destination the client chose.
TEST(HttpProxyLoop, ASamClientCannotTakeTheProxysSessionId) {
  OneRouter t;
  ASSERT_TRUE(t.r);
  // A destination of "another router" whose LeaseSet2 is known: built by this router for a
  // session that then ends.
  sam_test::Client ctl(*t.r);
  ASSERT_TRUE(ctl.ask("SESSION CREATE ID=remote")->starts_with("SESSION STATUS RESULT=OK"));
  SamSession remote = *Router::find_session_by_id(t.r->sessions, "remote");
  auto ls = t.r->build_session_leaseset2(remote, ntcp2_net::read_now());
  ASSERT_TRUE(ls);
  ctl.close();
  ASSERT_TRUE(sam_test::step_until(*t.r, [&] { return t.r->sessions.empty(); }));
  ASSERT_TRUE(t.r->netdb.store_lease_set2(*ls, ntcp2_net::read_now().wall_s()));

  auto own = generate_transient_destination();
  ASSERT_TRUE(own);
  sam_test::Client named(*t.r);
  EXPECT_EQ(named.ask("SESSION CREATE ID=__http_proxy__ DESTINATION=" + own->public_b64),
            "SESSION STATUS RESULT=DUPLICATED_ID");
  EXPECT_TRUE(t.r->sessions.empty());
  Sock s(t.port);
  s.queue("GET http://" + remote.b32_address + "/ HTTP/1.1\r\n\r\n");
  t.passes(s, 20);
  EXPECT_EQ(t.r->http_proxy_session_id, std::optional<std::string>("__http_proxy__"));
  ASSERT_EQ(t.r->sessions.size(), 1u);
  EXPECT_NE(t.r->sessions[0].public_b64, own->public_b64);
  EXPECT_TRUE(t.r->sessions[0].streams);
  // The stream to the destination that never answers is given up after the connect limit.
  ASSERT_EQ(t.r->remote_bridges.size(), 1u);
  ASSERT_TRUE(t.until_closed(s, ntcp2_net::read_now().after(12001)));
  EXPECT_EQ(s.received, page(504, "Gateway Timeout",
                             "Timed out establishing an I2P Streaming connection to " + remote.b32_address + " (" +
                                 remote.b32_address + ")."));
}

}  // namespace
}  // namespace router::bridge_test
