#include "cmd/router/startup.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "ntcp2_net/clock.h"
#include "router/defaults.h"
#include "services/address_book.h"
#include "tests/support/scratch.h"

namespace cmd_router {
namespace {

TEST(StatusLine, CountsOfTheRecord) {
  router::Router r;
  EXPECT_EQ(status_line(r), "[public] peers=0 dials=0 netdb=0(ff=0,ls=0) tunnels=in:0/out:0 builds=0");
  r.peer_sessions.resize(3);
  r.pending_dials.resize(1);
  r.tunnels.inbound.resize(2);
  r.tunnels.outbound.resize(4);
  r.pending_builds.resize(5);
  auto ff = std::make_shared<common::RouterInfo>();
  ff->options = common::Mapping::from_entries({{"caps", "XfR"}});
  auto plain = std::make_shared<common::RouterInfo>();
  common::Hash second;
  second.bytes[0] = 1;
  r.netdb.insert_unverified(netdb::RouterInfoEntry{common::Hash{}, ff});
  r.netdb.insert_unverified(netdb::RouterInfoEntry{second, plain});
  r.netdb.insert_unverified(netdb::LeaseSetEntry{common::Hash{}, std::make_shared<common::LeaseSet2>()});
  EXPECT_EQ(status_line(r), "[public] peers=3 dials=1 netdb=2(ff=1,ls=1) tunnels=in:2/out:4 builds=5");
}

TEST(Banner, OptionalLinesOnlyWhenTheirListenersExist) {
  Settings s;
  s.sam_port = 0;
  s.hops = 2;
  router::StartOptions o;
  o.sam_port = 0;
  o.hops = 2;
  o.public_mode = true;
  auto started = router::Router::start(o);
  ASSERT_TRUE(started);
  router::Router& r = *started;
  auto lines = banner_lines(r, s);
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[3], "  NTCP2:       127.0.0.1:" + std::to_string(r.ntcp2_listener.port) + " (public=true, hops=2)");
  EXPECT_EQ(lines[4], "  SAMv3:       127.0.0.1:" + std::to_string(r.sam_listener.port));
  EXPECT_EQ(lines[5], "  NetDB peers: 1 (floodfills=0)");

  s.http_proxy_host = "127.0.0.1";
  auto proxy = ntcp2_net::TcpListener::bind("127.0.0.1", 0);
  auto api = ntcp2_net::TcpListener::bind("127.0.0.1", 0);
  ASSERT_TRUE(proxy && api);
  r.http_proxy_listener = std::move(*proxy);
  r.torrent_api_listener = std::move(*api);
  r.sessions.push_back({"__torrent__", "abc.b32.i2p", ""});
  lines = banner_lines(r, s);
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[5], "  HTTP Proxy:  127.0.0.1:" + std::to_string(r.http_proxy_listener->port));
  EXPECT_EQ(lines[6],
            "  Torrent API: 127.0.0.1:" + std::to_string(r.torrent_api_listener->port) + " (b32=abc.b32.i2p)");
}

TEST(ConstantTables, DefaultAliasesAndReseedServers) {
  for (const auto& [name, address] : router::default_public_b32_aliases) {
    EXPECT_TRUE(name.ends_with(".i2p")) << name;
    auto hash = router::parse_b32_hash(address);
    ASSERT_TRUE(hash) << address;
    EXPECT_EQ(hash->to_b32_address(), address);  // 52 lower-case letters and the suffix
  }
  // The list is the collected one, in its order.
  std::ifstream collected(std::string(ONDREL_TESTDATA_DIR) + "/sam/public-aliases.txt");
  std::vector<std::pair<std::string, std::string>> expected;
  for (std::string line; std::getline(collected, line);) {
    if (line.empty() || line.starts_with('#')) continue;
    const std::size_t eq = line.find('=');
    expected.emplace_back(line.substr(0, eq), line.substr(eq + 1));
  }
  ASSERT_EQ(expected.size(), router::default_public_b32_aliases.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(router::default_public_b32_aliases[i].first, expected[i].first);
    EXPECT_EQ(router::default_public_b32_aliases[i].second, expected[i].second);
  }
  for (std::string_view url : router::default_reseed_urls) {
    EXPECT_TRUE(url.starts_with("https://")) << url;
    EXPECT_TRUE(url.ends_with("/i2pseeds.su3")) << url;
  }
}

TEST(StartRouter, PublicModeRegistersDefaultAliasesThatHostsFilesOverride) {
  const std::string other = "7tbay5p4kzeekxvyvbf6v7eauazemsnnl2aoyqhg5jzpr5eke7tq.b32.i2p";
  const auto& [replaced_name, replaced_address] = router::default_public_b32_aliases[2];
  ASSERT_NE(replaced_address, other);
  const std::string hosts = testing::TempDir() + "startup_public_hosts.txt";
  std::ofstream(hosts) << replaced_name << "=" << other << "\n";

  Settings s;
  s.sam_port = 0;
  s.public_mode = true;
  // A bootstrap source keeps the default reseed servers out of the test.
  s.peer_files = {std::string(ONDREL_TESTDATA_DIR) + "/routerinfo/plain-127.0.0.3.dat"};
  s.hosts_files = {hosts};
  auto r = start_router(s);
  ASSERT_TRUE(r);
  ASSERT_EQ(r->b32_aliases.size(), router::default_public_b32_aliases.size());
  for (std::size_t i = 0; i < r->b32_aliases.size(); ++i) {
    const auto& [name, address] = router::default_public_b32_aliases[i];
    EXPECT_EQ(r->b32_aliases[i].first, name);
    EXPECT_EQ(r->b32_aliases[i].second, i == 2 ? other : std::string(address));
  }
  EXPECT_TRUE(r->dest_aliases.empty());
}

// The program's start-up adds the client services' and the torrent engine's parts to the
// loop: a proxy connection's time limit and the torrent engine's publication end its wait,
// while a record started without them, holding the same, waits for the idle limit.
TEST(StartRouter, TheLoopWaitsForTheTimersOfTheServicesAndTheTorrentEngine) {
  test_support::ScratchDir downloads("downloads");
  Settings s;
  s.sam_port = 0;
  s.http_proxy_enabled = true;
  s.http_proxy_port = 0;
  s.torrent_api_enabled = true;
  s.torrent_api_port = 0;
  s.download_dir = downloads.path().string();
  auto program = start_router(s);
  ASSERT_TRUE(program);

  router::StartOptions o;
  o.sam_port = 0;
  auto bare = router::Router::start(o);
  ASSERT_TRUE(bare);
  const ntcp2_net::Now now = ntcp2_net::read_now();
  auto proxy = ntcp2_net::TcpListener::bind("127.0.0.1", 0);
  ASSERT_TRUE(proxy);
  bare->http_proxy_listener = std::move(*proxy);
  ASSERT_TRUE(bare->enable_torrent_engine(downloads.path().string(), now));

  // Each case adds its records to those of the cases before it, in both routers.
  struct Case {
    const char* name;
    void (*set_up)(router::Router&, const ntcp2_net::Now&);
    std::uint64_t want;  // ms after now, for the program's router
  };
  const Case cases[] = {
      {"nothing due", [](router::Router&, const ntcp2_net::Now&) {}, router::kIdleWakeCapMs},
      {"a proxy connection's request limit",
       [](router::Router& r, const ntcp2_net::Now& n) {
         r.http_proxy_conns.emplace_back();
         r.http_proxy_conns.back().accepted_ms = n.mono_ms - 14'700;
       },
       301},
      {"the torrent engine's publication once inbound tunnels appear",
       [](router::Router& r, const ntcp2_net::Now& n) {
         r.tunnels.inbound.emplace_back();
         r.tunnels.inbound.back().expires_s = static_cast<std::uint32_t>(n.wall_s() + 600);
       },
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.set_up(*program, now);
    c.set_up(*bare, now);
    EXPECT_EQ(program->next_wake_ms(now), now.mono_ms + c.want);
    EXPECT_EQ(bare->next_wake_ms(now), now.mono_ms + router::kIdleWakeCapMs);
  }
  program->close();
  bare->close();
}

}  // namespace
}  // namespace cmd_router
