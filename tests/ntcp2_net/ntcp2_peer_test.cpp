// Choosing the NTCP2 address to dial from a RouterInfo.
#include <gtest/gtest.h>

#include "ntcp2_net/ntcp2_peer.h"
#include "tests/ntcp2_net/ntcp2_test_util.h"

namespace ntcp2_net {
namespace {

using ntcp2_test::ntcp2_address;

common::RouterAddress with_option(common::RouterAddress a, const std::string& key, const std::string& value) {
  for (auto& [k, v] : a.options.entries)
    if (k == key) v = value;
  return a;
}

TEST(Ntcp2Peer, TableOfAddresses) {
  const Bytes s(32, 0x11), iv(16, 0x22);
  const auto v4 = ntcp2_address("192.0.2.7", 9000, s, iv);
  const auto v6 = ntcp2_address("2001:db8::5", 9001, s, iv);
  struct Case {
    const char* name;
    std::vector<common::RouterAddress> addresses;
    std::optional<std::pair<std::string, int>> want;  // host and port, none: no address
  };
  auto bad_style = v4;
  bad_style.transport_style = "ntcp2";
  auto missing_i = v4;
  std::erase_if(missing_i.options.entries, [](const auto& e) { return e.first == "i"; });
  std::vector<Case> cases = {
      {"IPv4 preferred over an earlier IPv6", {v6, v4}, std::pair<std::string, int>{"192.0.2.7", 9000}},
      {"only IPv6", {v6, with_option(v6, "host", "2001:db8::6")}, std::pair<std::string, int>{"2001:db8::5", 9001}},
      {"leading zeros in the port", {with_option(v4, "port", "0080")}, std::pair<std::string, int>{"192.0.2.7", 80}},
      {"port 65535", {with_option(v4, "port", "65535")}, std::pair<std::string, int>{"192.0.2.7", 65535}},
      {"port 0", {with_option(v4, "port", "0")}, std::nullopt},
      {"port 65536", {with_option(v4, "port", "65536")}, std::nullopt},
      {"empty port", {with_option(v4, "port", "")}, std::nullopt},
      {"port with a letter", {with_option(v4, "port", "80a")}, std::nullopt},
      {"port with a sign", {with_option(v4, "port", "+80")}, std::nullopt},
      {"s of 33 bytes", {with_option(v4, "s", encoding::base64_encode(Bytes(33, 1)))}, std::nullopt},
      {"i of 15 bytes", {with_option(v4, "i", encoding::base64_encode(Bytes(15, 1)))}, std::nullopt},
      {"s not Base64", {with_option(v4, "s", "!!!!")}, std::nullopt},
      {"style in lower case", {bad_style}, std::nullopt},
      {"option missing", {missing_i}, std::nullopt},
      {"host name is never dialled", {with_option(v4, "host", "router.example")}, std::nullopt},
      {"host name skipped for a later numeric host",
       {with_option(v4, "host", "localhost"), with_option(v4, "host", "198.51.100.1")},
       std::pair<std::string, int>{"198.51.100.1", 9000}},
      {"no addresses", {}, std::nullopt},
  };
  ntcp2_test::TestRouter r = ntcp2_test::make_router(1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    r.info.addresses = c.addresses;
    auto peer = extract_ntcp2_peer(r.info);
    if (!c.want) {
      ASSERT_FALSE(peer);
      EXPECT_TRUE(peer.error().is(NetError::Peer));
      EXPECT_EQ(peer.error().message(), "no reachable NTCP2 address with s/i/port found in RouterInfo");
      continue;
    }
    ASSERT_TRUE(peer);
    EXPECT_EQ(peer->host, c.want->first);
    EXPECT_EQ(peer->port, c.want->second);
    EXPECT_EQ(Bytes(peer->static_key.begin(), peer->static_key.end()), s);
    EXPECT_EQ(Bytes(peer->iv.begin(), peer->iv.end()), iv);
    EXPECT_EQ(peer->router_hash, r.hash.bytes);
  }
}

TEST(Ntcp2Peer, NumericHosts) {
  for (const char* h : {"127.0.0.1", "0.0.0.0", "::1", "2001:db8::1", "::ffff:192.0.2.1"})
    EXPECT_TRUE(is_numeric_host(h)) << h;
  for (const char* h : {"", "localhost", "example.com", "1.2.3", "256.1.1.1", "1.2.3.4 ", "fe80::1%eth0"})
    EXPECT_FALSE(is_numeric_host(h)) << h;
}

}  // namespace
}  // namespace ntcp2_net
