#include "cmd/router/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace cmd_router {
namespace {

TEST(SplitHostPort, SplitsAtTheLastColon) {
  auto hp = split_host_port("127.0.0.1:7656");
  ASSERT_TRUE(hp);
  EXPECT_EQ(hp->first, "127.0.0.1");
  EXPECT_EQ(hp->second, 7656);

  auto v6 = split_host_port("[::1]:7000");
  ASSERT_TRUE(v6);
  EXPECT_EQ(v6->first, "[::1]");
  EXPECT_EQ(v6->second, 7000);

  EXPECT_FALSE(split_host_port("7656"));
  EXPECT_FALSE(split_host_port(":7656"));
  EXPECT_FALSE(split_host_port("host:"));
  EXPECT_FALSE(split_host_port("host:65536"));
}

CommandLine parse(std::vector<std::string> args) { return parse_command_line(args); }

TEST(CommandLine, DefaultsWithoutArguments) {
  CommandLine cl = parse({});
  const Settings& s = cl.settings;
  EXPECT_FALSE(cl.show_help);
  EXPECT_TRUE(cl.lines.empty());
  EXPECT_EQ(s.sam_host, "127.0.0.1");
  EXPECT_EQ(s.sam_port, 7656);
  EXPECT_FALSE(s.http_proxy_enabled);
  EXPECT_EQ(s.http_proxy_port, 4444);
  EXPECT_FALSE(s.torrent_api_enabled);
  EXPECT_EQ(s.torrent_api_port, 4445);
  EXPECT_EQ(s.ntcp2_host, "127.0.0.1");
  EXPECT_EQ(s.ntcp2_port, 0);
  EXPECT_FALSE(s.public_mode);
  EXPECT_EQ(s.hops, 1);
  EXPECT_TRUE(s.check_clock_skew);
  EXPECT_FALSE(s.debug);
  EXPECT_FALSE(s.floodfill);
}

TEST(CommandLine, WarningsForInvalidValues) {
  struct Case {
    std::vector<std::string> args;
    std::string warning;
  };
  const std::vector<Case> cases = {
      {{"--sam", "7656"}, "warning: ignoring invalid --sam 7656"},
      {{"--sam", ":7656"}, "warning: ignoring invalid --sam :7656"},
      {{"--hops", "0"}, "warning: ignoring invalid --hops 0"},
      {{"--hops", "5"}, "warning: ignoring invalid --hops 5"},
      {{"--hops", "two"}, "warning: ignoring invalid --hops two"},
      {{"--ntcp2-port", "65536"}, "warning: ignoring invalid --ntcp2-port"},
      {{"--ntcp2-port", "4294967296"}, "warning: ignoring invalid --ntcp2-port"},
      {{"--ntcp2-port", "99999999999"}, "warning: ignoring invalid --ntcp2-port"},
      {{"--http-proxy=word"}, "warning: ignoring invalid --http-proxy word"},
  };
  for (const Case& c : cases) {
    CommandLine cl = parse(c.args);
    ASSERT_EQ(cl.lines.size(), 1u) << c.args[0];
    EXPECT_EQ(cl.lines[0], c.warning);
    EXPECT_EQ(cl.settings.hops, 1);
    EXPECT_EQ(cl.settings.sam_port, 7656);
    EXPECT_EQ(cl.settings.ntcp2_port, 0);
  }
  // The inline proxy form keeps the proxy enabled on its previous address.
  CommandLine cl = parse({"--http-proxy=word"});
  EXPECT_TRUE(cl.settings.http_proxy_enabled);
  EXPECT_EQ(cl.settings.http_proxy_host, "127.0.0.1");
  EXPECT_EQ(cl.settings.http_proxy_port, 4444);
}

TEST(CommandLine, ValidValuesAreApplied) {
  CommandLine cl = parse({"--sam", "[::1]:7000", "--ntcp2-host", "10.1.2.3", "--ntcp2-port", "00012345", "--hops", "3",
                          "--public", "--floodfill", "--no-clock-skew", "--debug", "--download-dir", "/tmp/dl"});
  const Settings& s = cl.settings;
  EXPECT_TRUE(cl.lines.empty());
  EXPECT_EQ(s.sam_host, "[::1]");
  EXPECT_EQ(s.sam_port, 7000);
  EXPECT_EQ(s.ntcp2_host, "10.1.2.3");
  EXPECT_EQ(s.ntcp2_port, 12345);
  EXPECT_EQ(s.hops, 3);
  EXPECT_TRUE(s.public_mode);
  EXPECT_TRUE(s.floodfill);
  EXPECT_FALSE(s.check_clock_skew);
  EXPECT_TRUE(s.debug);
  EXPECT_EQ(s.download_dir, "/tmp/dl");
}

TEST(CommandLine, OptionalProxyValue) {
  {
    CommandLine cl = parse({"--http-proxy", "5555"});
    EXPECT_TRUE(cl.settings.http_proxy_enabled);
    EXPECT_EQ(cl.settings.http_proxy_host, "127.0.0.1");
    EXPECT_EQ(cl.settings.http_proxy_port, 5555);
  }
  {
    CommandLine cl = parse({"--proxy", "0.0.0.0:8080"});
    EXPECT_TRUE(cl.settings.http_proxy_enabled);
    EXPECT_EQ(cl.settings.http_proxy_host, "0.0.0.0");
    EXPECT_EQ(cl.settings.http_proxy_port, 8080);
  }
  {
    // A following option is read as an option.
    CommandLine cl = parse({"--http-proxy", "--debug"});
    EXPECT_TRUE(cl.settings.http_proxy_enabled);
    EXPECT_EQ(cl.settings.http_proxy_port, 4444);
    EXPECT_TRUE(cl.settings.debug);
  }
  {
    // A word that is no endpoint is left for the next round and ignored there, silently.
    CommandLine cl = parse({"--http-proxy", "word", "--public"});
    EXPECT_TRUE(cl.settings.http_proxy_enabled);
    EXPECT_EQ(cl.settings.http_proxy_port, 4444);
    EXPECT_TRUE(cl.lines.empty());
    EXPECT_TRUE(cl.settings.public_mode);
  }
  {
    CommandLine cl = parse({"--http-proxy=127.0.0.2:4000"});
    EXPECT_EQ(cl.settings.http_proxy_host, "127.0.0.2");
    EXPECT_EQ(cl.settings.http_proxy_port, 4000);
  }
  {
    CommandLine cl = parse({"--torrent-api", "word"});
    EXPECT_TRUE(cl.settings.torrent_api_enabled);
    EXPECT_EQ(cl.settings.torrent_api_port, 4445);
    EXPECT_TRUE(cl.lines.empty());
  }
  {
    CommandLine cl = parse({"--torrent-api", "127.0.0.1:9000"});
    EXPECT_EQ(cl.settings.torrent_api_port, 9000);
  }
  {
    // "--proxy=" is not a recognised form.
    CommandLine cl = parse({"--proxy=5555"});
    EXPECT_FALSE(cl.settings.http_proxy_enabled);
  }
}

TEST(CommandLine, RequiredValuesAreTakenWhateverTheyLookLike) {
  CommandLine cl = parse({"--hops", "--public"});
  EXPECT_FALSE(cl.settings.public_mode);
  ASSERT_EQ(cl.lines.size(), 1u);
  EXPECT_EQ(cl.lines[0], "warning: ignoring invalid --hops --public");
}

TEST(CommandLine, LastOptionWithoutValueIsIgnored) {
  for (const char* opt : {"--sam", "--hops", "--ntcp2-port", "--peer", "--hosts", "--download-dir"}) {
    CommandLine cl = parse({opt});
    EXPECT_TRUE(cl.lines.empty()) << opt;
    EXPECT_TRUE(cl.settings.peer_files.empty());
    EXPECT_TRUE(cl.settings.hosts_files.empty());
  }
}

TEST(CommandLine, ListsKeepOrderAndLaterValuesWin) {
  CommandLine cl = parse({"--peer", "a.dat", "--peer-dir", "d1", "--peer", "b.dat", "--hosts", "h1", "--su3", "s.su3",
                          "--reseed", "https://x/i2pseeds.su3", "--hops", "2", "--hops", "4", "--unknown", "x"});
  EXPECT_EQ(cl.settings.peer_files, (std::vector<std::string>{"a.dat", "b.dat"}));
  EXPECT_EQ(cl.settings.peer_dirs, (std::vector<std::string>{"d1"}));
  EXPECT_EQ(cl.settings.hosts_files, (std::vector<std::string>{"h1"}));
  EXPECT_EQ(cl.settings.su3_files, (std::vector<std::string>{"s.su3"}));
  EXPECT_EQ(cl.settings.reseed_urls, (std::vector<std::string>{"https://x/i2pseeds.su3"}));
  EXPECT_EQ(cl.settings.hops, 4);
  EXPECT_TRUE(cl.lines.empty());
}

TEST(CommandLine, HelpStopsReadingButKeepsEarlierWarnings) {
  CommandLine cl = parse({"--hops", "9", "-h", "--sam", "bad"});
  EXPECT_TRUE(cl.show_help);
  ASSERT_EQ(cl.lines.size(), 1u);
  EXPECT_EQ(cl.lines[0], "warning: ignoring invalid --hops 9");
  EXPECT_TRUE(parse({"--help"}).show_help);
  EXPECT_FALSE(parse({"-help"}).show_help);
  EXPECT_FALSE(parse({"--HELP"}).show_help);
}

TEST(Usage, TwentyFourLinesStartingWithTheTitle) {
  auto lines = usage_lines();
  ASSERT_EQ(lines.size(), 24u);
  EXPECT_EQ(lines[0], "ondrel-i2p native router daemon");
  EXPECT_EQ(lines[1], "");
  EXPECT_EQ(lines[3], "  router.exe [options]");
  EXPECT_EQ(lines[23], "  -h, --help                 Show this help message");
}

}  // namespace
}  // namespace cmd_router
