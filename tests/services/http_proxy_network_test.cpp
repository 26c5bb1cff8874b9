// The HTTP proxy of router 0 with curl as the browser: pages and a 4 MiB file served by a
// SAM accept loop of the test on router 1 arrive whole; a clear-net host, an unknown .i2p
// name, a dead destination and address-helper links get their answers. curl runs as a
// child process while the test steps the routers; nothing sleeps.
#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "ntcp2_net/tcp_listener.h"
#include "router/destinations.h"
#include "services/address_book.h"
#include "services/client_sessions.h"
#include "tests/services/bridge_network_util.h"
#include "tests/services/proxy_test_support.h"

namespace router::bridge_test {
namespace {

constexpr int kLimitMs = 120000;

// One stream the site accepted: the request is read up to its empty line, the answer
// written, and the socket closed at once (the bridge must still deliver all of it).
struct SiteConn {
  std::unique_ptr<Sock> sock;
  int stage = 0;  // 0 status line, 1 destination line, 2 request, 3 answering, 4 done
};

struct ProxyNetwork {
  test_support::TestNetwork net = two_routers();
  std::unique_ptr<Sock> ctl;
  std::string site_pub, site_b32;
  std::vector<std::unique_ptr<SiteConn>> conns;
  std::map<std::string, std::string> pages;  // path -> body
  std::vector<std::string> heads;            // request heads as the site got them
  std::uint64_t time_offset_ms = 0;          // added to the time passed to the routers
  int proxy_port = 0;
  std::size_t site_router = 1;

  explicit ProxyNetwork(test_support::TestNetworkOptions options = {.routers = 2}) {
    if (options.floodfills.size() > 0 || options.public_mode) {
      auto made = test_support::TestNetwork::create(options);
      EXPECT_TRUE(made);
      if (!made) return;
      net = std::move(*made);
      for (std::size_t owner : {0u, 1u}) {
        EXPECT_TRUE(net.install_tunnel(owner, {1 - owner}, /*outbound=*/true));
        EXPECT_TRUE(net.install_tunnel(owner, {1 - owner}, /*outbound=*/false));
      }
    }
    auto listener = ntcp2_net::TcpListener::bind("127.0.0.1", 0);
    EXPECT_TRUE(listener);
    if (!listener) return;
    proxy_port = listener->port;
    net[0].http_proxy_listener = std::move(*listener);
  }

  // Steps the routers (and the site) until curl ends.
  bool run_until(const std::function<bool()>& condition, int limit_ms = kLimitMs) {
    return net.run_until(condition, limit_ms, [&](Router& r, const ntcp2_net::Now& now) {
      if (ctl) ctl->pump();
      serve();
      test_support::TestNetwork::full_step(r, now.after(time_offset_ms));
    });
  }

  void start_site(bool tell_router_0 = true) {
    ctl = std::make_unique<Sock>(net[site_router].sam_listener.port);
    ctl->hello();
    ctl->queue("SESSION CREATE ID=site DESTINATION=TRANSIENT\n");
    std::optional<std::string> line;
    ASSERT_TRUE(run_until([&] { return (line = ctl->take_line()).has_value(); }));
    ASSERT_TRUE(line->starts_with("SESSION STATUS RESULT=OK"));
    SamSession* site = Router::find_session_by_id(net[site_router].sessions, "site");
    ASSERT_NE(site, nullptr);
    site_pub = site->public_b64;
    site_b32 = site->b32_address;
    const ntcp2_net::Now now = ntcp2_net::read_now();
    if (site_router == 0 || !tell_router_0) return;
    auto ls = net[1].build_session_leaseset2(*site, now);
    ASSERT_TRUE(ls);
    ASSERT_TRUE(net[0].netdb.store_lease_set2(*ls, now.wall_s()));
  }

  // The site's accept loop: one client always waits in STREAM ACCEPT.
  void serve() {
    if (site_pub.empty()) return;
    const bool waiting = std::any_of(conns.begin(), conns.end(), [](const auto& c) { return c->stage < 2; });
    if (!waiting) {
      auto c = std::make_unique<SiteConn>();
      c->sock = std::make_unique<Sock>(net[site_router].sam_listener.port);
      c->sock->hello();
      c->sock->queue("STREAM ACCEPT ID=site\n");
      conns.push_back(std::move(c));
    }
    for (auto& c : conns) {
      if (c->stage == 4) continue;
      c->sock->pump();
      if (c->stage == 0) {
        if (auto line = c->sock->take_line()) c->stage = *line == "STREAM STATUS RESULT=OK" ? 1 : 4;
      }
      if (c->stage == 1 && c->sock->take_line()) c->stage = 2;
      if (c->stage == 2) {
        const std::size_t end = c->sock->received.find("\r\n\r\n");
        if (end != std::string::npos) {
          const std::string head = c->sock->received.substr(0, end + 2);
          heads.push_back(head);
          const std::size_t sp1 = head.find(' ');
          const std::string path = head.substr(sp1 + 1, head.find(' ', sp1 + 1) - sp1 - 1);
          const auto page = pages.find(path);
          const std::string body = page == pages.end() ? "no such page" : page->second;
          c->sock->queue(std::string(page == pages.end() ? "HTTP/1.1 404 Not Found" : "HTTP/1.1 200 OK") +
                         "\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                         std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
          c->stage = 3;
          c->sock->pump();
        }
      }
      if (c->stage == 3 && c->sock->all_sent()) {
        c->sock->close();
        c->stage = 4;
      }
    }
  }

  struct Fetch {
    int code = -1;
    std::string body;
    bool ended = false;
  };

  // curl through the proxy; the answer's status and body.
  Fetch curl(const std::string& url, const std::function<void()>& each_round = nullptr) {
    return curl_all({url}, each_round)[0];
  }

  // Several curls at once.
  std::vector<Fetch> curl_all(const std::vector<std::string>& urls, const std::function<void()>& each_round = nullptr) {
    proxy_test::ScratchDir dir("curl");
    std::vector<std::unique_ptr<Spawned>> children;
    for (std::size_t i = 0; i < urls.size(); ++i) {
      children.push_back(std::make_unique<Spawned>(std::vector<std::string>{
          "curl", "-s", "-o", (dir / ("body" + std::to_string(i))).string(), "-w", "%{http_code}", "--max-time", "100",
          "-x", "http://127.0.0.1:" + std::to_string(proxy_port), urls[i]}));
      EXPECT_TRUE(children.back()->started());
    }
    const bool ended = run_until([&] {
      if (each_round) each_round();
      bool all = true;
      for (auto& c : children) all = c->finished() && all;
      return all;
    });
    std::vector<Fetch> out(urls.size());
    for (std::size_t i = 0; i < urls.size() && ended; ++i) {
      out[i].ended = true;
      out[i].code = std::atoi(children[i]->output.c_str());
      out[i].body = proxy_test::read_file(dir / ("body" + std::to_string(i)));
    }
    return out;
  }
};

TEST(HttpProxyNetwork, APageAndAFourMebibyteFileFromAnotherRouterArriveWhole) {
  ProxyNetwork t;
  ASSERT_NO_FATAL_FAILURE(t.start_site());
  t.pages["/index.html"] = "<html><body>hello from an I2P site</body></html>\n";
  t.pages["/big.bin"] = random_text(4 * 1024 * 1024);
  t.net[0].register_alias("site.i2p", t.site_b32);

  const auto page = t.curl("http://site.i2p/index.html");
  ASSERT_TRUE(page.ended);
  EXPECT_EQ(page.code, 200);
  EXPECT_EQ(page.body, t.pages["/index.html"]);
  ASSERT_EQ(t.heads.size(), 1u);
  // The site got the rewritten head: origin form, its own Host, one request per stream.
  EXPECT_TRUE(t.heads[0].starts_with("GET /index.html HTTP/1.1\r\n")) << t.heads[0];
  EXPECT_NE(t.heads[0].find("\r\nHost: site.i2p\r\n"), std::string::npos) << t.heads[0];
  EXPECT_NE(t.heads[0].find("\r\nConnection: close\r\n"), std::string::npos) << t.heads[0];

  const auto file = t.curl("http://" + t.site_b32 + "/big.bin");
  ASSERT_TRUE(file.ended);
  EXPECT_EQ(file.code, 200);
  EXPECT_EQ(file.body.size(), t.pages["/big.bin"].size());
  EXPECT_TRUE(file.body == t.pages["/big.bin"]);
  // Every bridge and stream ends once the exchanges are over.
  EXPECT_TRUE(t.run_until([&] { return t.net[0].remote_bridges.empty() && t.net[1].remote_bridges.empty(); }));
}

// A site of the proxy's own router: the browser is joined to the accepting SAM client
// directly, which first gets the proxy's destination line, then the request.
TEST(HttpProxyNetwork, ASiteOnTheProxysOwnRouterIsServedThroughALocalBridge) {
  ProxyNetwork t;
  t.site_router = 0;
  ASSERT_NO_FATAL_FAILURE(t.start_site());
  t.pages["/local.html"] = random_text(300 * 1024);
  t.net[0].register_alias("local.i2p", t.site_b32);
  const auto page = t.curl("http://local.i2p/local.html");
  ASSERT_TRUE(page.ended);
  EXPECT_EQ(page.code, 200);
  EXPECT_TRUE(page.body == t.pages["/local.html"]);
  EXPECT_TRUE(t.net[0].remote_bridges.empty());
  ASSERT_EQ(t.heads.size(), 1u);
  EXPECT_NE(t.heads[0].find("\r\nHost: local.i2p\r\n"), std::string::npos) << t.heads[0];
}

// A site whose LeaseSet2 router 0 does not have: two requests wait on one lookup, which the
// floodfill (router 1) answers, and both are served.
TEST(HttpProxyNetwork, TwoRequestsShareOneLookupAndAreBothServed) {
  ProxyNetwork t({.routers = 2, .floodfills = {1}});
  ASSERT_NO_FATAL_FAILURE(t.start_site(/*tell_router_0=*/false));
  t.pages["/a"] = "page a";
  t.pages["/b"] = "page b";
  ASSERT_FALSE(t.net[0].netdb.get_lease_set2(*parse_b32_hash(t.site_b32), ntcp2_net::read_now().wall_s()));
  std::size_t most_lookups = 0, most_waiting = 0;
  const auto got = t.curl_all({"http://" + t.site_b32 + "/a", "http://" + t.site_b32 + "/b"}, [&] {
    most_lookups = std::max(most_lookups, t.net[0].pending_lookups.size());
    std::size_t waiting = 0;
    for (const HttpProxyConn& c : t.net[0].http_proxy_conns) {
      waiting += c.state == HttpProxyConnState::AwaitingLeaseSet ? 1 : 0;
    }
    most_waiting = std::max(most_waiting, waiting);
  });
  ASSERT_TRUE(got[0].ended && got[1].ended);
  EXPECT_EQ(got[0].code, 200);
  EXPECT_EQ(got[0].body, "page a");
  EXPECT_EQ(got[1].code, 200);
  EXPECT_EQ(got[1].body, "page b");
  EXPECT_GE(most_waiting, 1u);
  EXPECT_EQ(most_lookups, 1u);
}

// A b32 host nobody publishes: the floodfill does not know it, the lookup ends, and the
// browser gets the 504 page naming host and address.
TEST(HttpProxyNetwork, AHostThatCannotBeLookedUpGetsTheLookupTimeoutPage) {
  ProxyNetwork t({.routers = 2, .floodfills = {1}});
  auto nobody = generate_transient_destination();
  ASSERT_TRUE(nobody);
  const std::string b32 = nobody->destination.keys_and_cert.hash().to_b32_address();
  bool waited = false;
  const auto page = t.curl("http://" + b32 + "/", [&] {
    if (!waited && !t.net[0].http_proxy_conns.empty() &&
        t.net[0].http_proxy_conns[0].state == HttpProxyConnState::AwaitingLeaseSet) {
      waited = true;
      t.time_offset_ms = 10001;  // past the proxy's wait for the LeaseSet2
    }
  });
  ASSERT_TRUE(page.ended);
  EXPECT_TRUE(waited);
  EXPECT_EQ(page.code, 504);
  EXPECT_NE(page.body.find("Could not resolve LeaseSet2 for " + b32 + " (" + b32 + ") in I2P NetDB."),
            std::string::npos)
      << page.body;
}

// In public mode without tunnels every request gets the bootstrapping page, with
// Retry-After 3.
TEST(HttpProxyNetwork, PublicModeWithoutTunnelsAnswersBootstrapping) {
  ProxyNetwork t({.routers = 2, .public_mode = true});
  t.net[0].tunnels.inbound.clear();
  t.net[0].tunnels.outbound.clear();
  const auto page = t.curl("http://nosuchsite.i2p/");
  ASSERT_TRUE(page.ended);
  EXPECT_EQ(page.code, 503);
  EXPECT_NE(page.body.find("I2P router is still bootstrapping tunnels (inbound=0, outbound=0, peers="),
            std::string::npos)
      << page.body;
  EXPECT_NE(page.body.find("<meta http-equiv=\"refresh\" content=\"3\">"), std::string::npos) << page.body;
}

TEST(HttpProxyNetwork, RefusalsComeAsPages) {
  ProxyNetwork t;
  const auto clear = t.curl("http://example.com/");
  ASSERT_TRUE(clear.ended);
  EXPECT_EQ(clear.code, 403);

  const auto unknown = t.curl("http://nosuchsite.i2p/");
  ASSERT_TRUE(unknown.ended);
  EXPECT_EQ(unknown.code, 502);
  EXPECT_NE(unknown.body.find("Unknown .i2p host 'nosuchsite.i2p'. Use its .b32.i2p address, add it via --hosts "
                              "&lt;file&gt;, or visit an ?i2paddresshelper= jump URL."),
            std::string::npos)
      << unknown.body;
  EXPECT_TRUE(t.net[0].http_proxy_conns.empty() || t.run_until([&] { return t.net[0].http_proxy_conns.empty(); }));
}

// A destination whose LeaseSet2 is known but that nobody runs: the browser gets the 504
// page once the connect time-out has passed (time passed in), and the bridge goes.
TEST(HttpProxyNetwork, ADeadDestinationGetsTheTimeoutPage) {
  ProxyNetwork t;
  auto dead = generate_transient_destination();
  ASSERT_TRUE(dead);
  SamSession ghost = build_client_session(t.net[1], "ghost", dead->destination, dead->public_b64,
                                          ClientSessionKeys{dead->encryption_keypair, dead->signing_key});
  const ntcp2_net::Now now = ntcp2_net::read_now();
  auto ls = t.net[1].build_session_leaseset2(ghost, now);
  ASSERT_TRUE(ls);
  ASSERT_TRUE(t.net[0].netdb.store_lease_set2(*ls, now.wall_s()));
  t.net[1].netdb.remove_lease_set2(ghost.dest_hash);

  bool jumped = false;
  const auto page = t.curl("http://" + ghost.b32_address + "/", [&] {
    if (!jumped && !t.net[0].remote_bridges.empty()) {
      // The SYN is out; let the connect time-out pass.
      EXPECT_EQ(t.net[0].remote_bridges[0].state, RemoteBridgeState::Connecting);
      t.time_offset_ms = 12001;
      jumped = true;
    }
  });
  ASSERT_TRUE(page.ended);
  EXPECT_TRUE(jumped);
  EXPECT_EQ(page.code, 504);
  EXPECT_NE(page.body.find("Timed out establishing an I2P Streaming connection to " + ghost.b32_address + " (" +
                           ghost.b32_address + ")."),
            std::string::npos)
      << page.body;
  EXPECT_TRUE(t.run_until([&] { return t.net[0].remote_bridges.empty(); }));
}

// Address-helper links: a new name is saved and the browser redirected; a link that would
// re-point a known name gets the 409 page and the address book keeps its entry.
TEST(HttpProxyNetwork, AddressHelperLinksSaveNewNamesAndNeverRepointKnownOnes) {
  ProxyNetwork t;
  auto a = generate_transient_destination();
  auto b = generate_transient_destination();
  ASSERT_TRUE(a && b);
  const std::string a_b32 = a->destination.keys_and_cert.hash().to_b32_address();
  t.net[0].register_alias("known.i2p", a_b32);

  const auto hijack = t.curl("http://known.i2p/?i2paddresshelper=" + b->public_b64);
  ASSERT_TRUE(hijack.ended);
  EXPECT_EQ(hijack.code, 409);
  ASSERT_EQ(t.net[0].b32_aliases.size(), 1u);
  EXPECT_EQ(t.net[0].b32_aliases[0].second, a_b32);

  const auto fresh = t.curl("http://fresh.i2p/x?i2paddresshelper=" + b->public_b64);
  ASSERT_TRUE(fresh.ended);
  EXPECT_EQ(fresh.code, 302);
  EXPECT_EQ(t.net[0].resolve_name_local("fresh.i2p", std::nullopt, ntcp2_net::read_now()), b->public_b64);
}

}  // namespace
}  // namespace router::bridge_test
