// Tests of the built `router` program: command line, banner, error lines, exit status and
// its listeners, read from its standard output.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "cmd/router/command_line.h"
#include "encoding/text.h"
#include "loopback_ports.h"
#include "program_process.h"

namespace program_test {
namespace {

const std::string kRouterInfoDir = std::string(ONDREL_TESTDATA_DIR) + "/routerinfo";

// Arguments that keep every listener of a test run on free loopback ports.
std::vector<std::string> isolated(int sam_port, std::vector<std::string> more = {}) {
  std::vector<std::string> args{"--sam", loopback(sam_port)};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

std::string find_line(const std::vector<std::string>& lines, const std::string& prefix) {
  for (const auto& l : lines) {
    if (l.rfind(prefix, 0) == 0) return l;
  }
  return "";
}

std::vector<std::string> banner_of(const std::vector<std::string>& lines) {
  std::vector<std::string> out;
  bool in = false;
  for (const auto& l : lines) {
    if (l == "ondrel-i2p router started (transient identity)") in = true;
    if (in) out.push_back(l);
  }
  return out;
}

TEST(RouterProgram, HelpPrintsTheUsageAndExitsZero) {
  RouterProcess p({"--hops", "7", "--help", "--sam", "bad"});
  ASSERT_TRUE(p.started());
  EXPECT_EQ(p.wait_exit(), 0);
  std::vector<std::string> expected{"warning: ignoring invalid --hops 7"};
  for (auto l : cmd_router::usage_lines()) expected.emplace_back(l);
  EXPECT_EQ(p.lines(), expected);
}

TEST(RouterProgram, BannerWithDefaultsAndSamClient) {
  const int sam = free_port();
  RouterProcess p(isolated(sam));
  ASSERT_TRUE(p.started());
  auto banner = banner_of(p.read_until("  NetDB peers: "));
  ASSERT_EQ(banner.size(), 6u) << (banner.empty() ? "no banner" : banner.back());

  std::smatch m;
  const std::regex hash_re(R"(  Router Hash: ([A-Za-z0-9~-]{43}=))");
  ASSERT_TRUE(std::regex_match(banner[1], m, hash_re)) << banner[1];
  const std::string hash_b64 = m[1];
  const std::regex b32_re(R"(  Router B32:  ([a-z2-7]{52})\.b32\.i2p)");
  ASSERT_TRUE(std::regex_match(banner[2], m, b32_re)) << banner[2];
  // Both lines name the same 32 bytes.
  auto from_b64 = encoding::base64_decode(hash_b64);
  auto from_b32 = encoding::base32_decode(m[1].str());
  ASSERT_TRUE(from_b64 && from_b32);
  EXPECT_EQ(from_b64->size(), 32u);
  EXPECT_EQ(*from_b64, *from_b32);

  ASSERT_TRUE(
      std::regex_match(banner[3], m, std::regex(R"(  NTCP2:       127\.0\.0\.1:(\d+) \(public=false, hops=1\))")))
      << banner[3];
  const int ntcp2_port = std::stoi(m[1]);
  EXPECT_GT(ntcp2_port, 0);
  EXPECT_EQ(banner[4], "  SAMv3:       " + loopback(sam));
  EXPECT_EQ(banner[5], "  NetDB peers: 1 (floodfills=0)");

  // The listeners are bound and the loop takes SAM clients while it runs.
  EXPECT_TRUE(can_connect(sam));
  EXPECT_TRUE(can_connect(ntcp2_port));
  EXPECT_TRUE(can_connect(sam));
  EXPECT_TRUE(p.running());
}

TEST(RouterProgram, OptionalServicesAndWarningsInOrder) {
  const int sam = free_port();
  const int proxy = free_port();
  const int api = free_port();
  const int ntcp2 = free_port();
  const std::string downloads = testing::TempDir() + "router_program_downloads";
  RouterProcess p({"--sam",
                   "7656",
                   "--sam",
                   loopback(sam),
                   "--hops",
                   "0",
                   "--ntcp2-port",
                   "70000",
                   "--http-proxy=nope",
                   "--http-proxy",
                   loopback(proxy),
                   "--torrent-api",
                   loopback(api),
                   "--download-dir",
                   downloads,
                   "--hops",
                   "3",
                   "--ntcp2-port",
                   std::to_string(ntcp2),
                   "--floodfill",
                   "--unknown-option"});
  ASSERT_TRUE(p.started());
  const auto& lines = p.read_until("  NetDB peers: ");
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], "warning: ignoring invalid --sam 7656");
  EXPECT_EQ(lines[1], "warning: ignoring invalid --hops 0");
  EXPECT_EQ(lines[2], "warning: ignoring invalid --ntcp2-port");
  EXPECT_EQ(lines[3], "warning: ignoring invalid --http-proxy nope");

  auto banner = banner_of(lines);
  ASSERT_EQ(banner.size(), 8u);
  EXPECT_EQ(banner[3], "  NTCP2:       " + loopback(ntcp2) + " (public=false, hops=3)");
  EXPECT_EQ(banner[4], "  SAMv3:       " + loopback(sam));
  EXPECT_EQ(banner[5], "  HTTP Proxy:  " + loopback(proxy));
  // The torrent engine's own destination: 52 base32 characters and ".b32.i2p".
  const std::string api_prefix = "  Torrent API: " + loopback(api) + " (b32=";
  ASSERT_TRUE(banner[6].starts_with(api_prefix)) << banner[6];
  const std::string b32 = banner[6].substr(api_prefix.size());
  EXPECT_EQ(b32.size(), 52u + 9u) << b32;
  EXPECT_TRUE(b32.ends_with(".b32.i2p)")) << b32;
  EXPECT_EQ(b32.find_first_not_of("abcdefghijklmnopqrstuvwxyz234567"), 52u) << b32;
  EXPECT_EQ(banner[7], "  NetDB peers: 1 (floodfills=1)");  // the own RouterInfo advertises "LRf"
  EXPECT_TRUE(can_connect(proxy));
  EXPECT_TRUE(can_connect(api));
}

TEST(RouterProgram, TakenSamPortFailsStartWithStatusOne) {
  HeldPort busy;
  ASSERT_TRUE(busy.ok());
  const int ntcp2 = free_port();
  RouterProcess p({"--sam", loopback(busy.port()), "--ntcp2-port", std::to_string(ntcp2)});
  ASSERT_TRUE(p.started());
  EXPECT_EQ(p.wait_exit(), 1);
  EXPECT_EQ(p.lines(), std::vector<std::string>{"error: failed to start ondrel-i2p router"});
  EXPECT_TRUE(port_is_free(ntcp2));
}

TEST(RouterProgram, TakenProxyPortClosesTheRouter) {
  HeldPort busy;
  ASSERT_TRUE(busy.ok());
  const int sam = free_port();
  const int ntcp2 = free_port();
  RouterProcess p(isolated(sam, {"--ntcp2-port", std::to_string(ntcp2), "--proxy", loopback(busy.port())}));
  ASSERT_TRUE(p.started());
  EXPECT_EQ(p.wait_exit(), 1);
  EXPECT_EQ(p.lines(), std::vector<std::string>{"error: failed to bind HTTP proxy on " + loopback(busy.port())});
  EXPECT_TRUE(port_is_free(sam));
  EXPECT_TRUE(port_is_free(ntcp2));
}

TEST(RouterProgram, TakenTorrentApiPortEndsTheProgram) {
  HeldPort busy;
  ASSERT_TRUE(busy.ok());
  const int sam = free_port();
  RouterProcess p(isolated(sam, {"--torrent-api", loopback(busy.port()), "--download-dir",
                                 testing::TempDir() + "router_program_downloads"}));
  ASSERT_TRUE(p.started());
  EXPECT_EQ(p.wait_exit(), 1);
  EXPECT_EQ(p.lines(), std::vector<std::string>{"error: failed to bind Torrent API on " + loopback(busy.port())});
  EXPECT_TRUE(port_is_free(sam));
}

TEST(RouterProgram, PeerFilesAndFoldersRaiseNetDbPeers) {
  const int sam = free_port();
  RouterProcess p(isolated(sam, {"--peer", kRouterInfoDir + "/ff-127.0.0.2.dat", "--peer",
                                 kRouterInfoDir + "/missing.dat", "--peer", kRouterInfoDir + "/README.md", "--peer-dir",
                                 kRouterInfoDir, "--peer-dir", kRouterInfoDir + "/no-such-folder"}));
  ASSERT_TRUE(p.started());
  const auto& lines = p.read_until("  NetDB peers: ");
  EXPECT_EQ(find_line(lines, "warning: failed to load peer RouterInfo from "),
            "warning: failed to load peer RouterInfo from " + kRouterInfoDir + "/missing.dat");
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "warning: failed to load peer RouterInfo from " + kRouterInfoDir + "/README.md"),
            lines.end());
  // Both RouterInfo files count (the first is already known but was stored again); the
  // README is skipped without a message.
  EXPECT_NE(std::find(lines.begin(), lines.end(), "  Loaded 2 peer(s) from " + kRouterInfoDir), lines.end());
  EXPECT_NE(
      std::find(lines.begin(), lines.end(), "warning: failed to load peer dir " + kRouterInfoDir + "/no-such-folder"),
      lines.end());
  EXPECT_EQ(find_line(lines, "  NetDB peers: "), "  NetDB peers: 3 (floodfills=1)");
}

TEST(RouterProgram, HostsFilesAreLoadedBeforeTheBanner) {
  const std::string path = testing::TempDir() + "router_program_hosts.txt";
  {
    std::ofstream f(path);
    f << "# aliases\n"
      << "a.i2p=udhdrtrcetjm5sxzskjyr5ztpeszydbh4dpl3pl4utgqqw2v4jna.b32.i2p\r\n"
      << "b.i2p=short\n"
      << "c.i2p=" << std::string(120, 'A') << "\n";
  }
  const int sam = free_port();
  RouterProcess p(isolated(sam, {"--hosts", path, "--hosts", path + ".missing"}));
  ASSERT_TRUE(p.started());
  const auto& lines = p.read_until("  NetDB peers: ");
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], "  Loaded 2 host alias(es) from " + path);
  EXPECT_EQ(lines[1], "warning: failed to load hosts file " + path + ".missing");
  EXPECT_EQ(lines[2], "ondrel-i2p router started (transient identity)");
}

TEST(RouterProgram, InvalidUtf8ArgumentIsReplacedNotRejected) {
  const int sam = free_port();
  RouterProcess p(isolated(sam, {"--hops", "\xFF"}));
  ASSERT_TRUE(p.started());
  const auto& lines = p.read_until("  NetDB peers: ");
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "warning: ignoring invalid --hops \xEF\xBF\xBD");
}

TEST(RouterProgram, PublicModeWithAFailingSu3FileSkipsTheDefaultReseed) {
  const int sam = free_port();
  const std::string su3 = testing::TempDir() + "no-such-bundle.su3";
  RouterProcess p(isolated(sam, {"--public", "--su3", su3, "--hops", "2"}));
  ASSERT_TRUE(p.started());
  const auto& lines = p.read_until("  NetDB peers: ");
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "warning: failed to load reseed .su3 from " + su3);
  EXPECT_EQ(lines[1], "ondrel-i2p router started (transient identity)");
  EXPECT_TRUE(find_line(lines, "  NTCP2:       ").ends_with(" (public=true, hops=2)"));
}

TEST(RouterProgram, AllocationsGoThroughMimalloc) {
#if defined(ONDREL_ROUTER_WITHOUT_MIMALLOC)
  GTEST_SKIP() << "sanitizer builds keep the sanitizer's allocator";
#else
  // The dynamic linker binds malloc, also the one under operator new in the C++ library,
  // to mimalloc.
  RouterProcess bound({"--help"}, {"LD_DEBUG=bindings"});
  ASSERT_TRUE(bound.started());
  EXPECT_EQ(bound.wait_exit(), 0);
  const std::string bindings = bound.read_stderr();
  bool cxx_malloc_in_mimalloc = false;
  std::size_t start = 0;
  for (std::size_t lf; (lf = bindings.find('\n', start)) != std::string::npos; start = lf + 1) {
    const std::string line = bindings.substr(start, lf - start);
    if (line.find("binding file") != std::string::npos && line.find("libstdc++") != std::string::npos &&
        line.find("libmimalloc") != std::string::npos && line.find("symbol `malloc'") != std::string::npos) {
      cxx_malloc_in_mimalloc = true;
    }
  }
  EXPECT_TRUE(cxx_malloc_in_mimalloc) << bindings.substr(0, 2000);

  // mimalloc itself reports its heap when asked to; the C library's allocator knows no such
  // variable.
  RouterProcess stats({"--help"}, {"MIMALLOC_SHOW_STATS=1"});
  ASSERT_TRUE(stats.started());
  EXPECT_EQ(stats.wait_exit(), 0);
  EXPECT_NE(stats.read_stderr().find("heap stats"), std::string::npos);
#endif
}

}  // namespace
}  // namespace program_test
