// The reserved address ranges, by boundary cases and against python3's ipaddress module (an
// implementation of the special-purpose registries independent of ours).
#include "ntcp2_net/address_ranges.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/ntcp2_net/test_util.h"

namespace ntcp2_net {
namespace {

TEST(AddressRanges, BoundariesOfTheReservedRanges) {
  struct Case {
    const char* host;
    bool reserved;
  };
  const Case cases[] = {
      {"10.0.0.0", true},
      {"10.255.255.255", true},
      {"9.255.255.255", false},
      {"11.0.0.0", false},
      {"172.16.0.0", true},
      {"172.31.255.255", true},
      {"172.15.255.255", false},
      {"172.32.0.0", false},
      {"192.168.0.1", true},
      {"192.169.0.1", false},
      {"127.0.0.1", true},
      {"127.255.255.254", true},
      {"169.254.1.1", true},
      {"100.64.0.1", true},
      {"100.127.255.255", true},
      {"100.128.0.0", false},
      {"0.0.0.0", true},
      {"0.1.2.3", true},
      {"192.0.2.1", true},
      {"198.51.100.7", true},
      {"203.0.113.9", true},
      {"198.18.0.1", true},
      {"198.19.255.255", true},
      {"198.20.0.0", false},
      {"224.0.0.1", true},
      {"239.255.255.255", true},
      {"240.0.0.1", true},
      {"255.255.255.255", true},
      {"192.0.0.9", true},
      {"192.88.99.1", true},
      {"8.8.8.8", false},
      {"1.1.1.1", false},
      {"223.255.255.255", false},
      {"::1", true},
      {"::", true},
      {"fc00::1", true},
      {"fdff:ffff::1", true},
      {"fe80::1", true},
      {"febf::1", true},
      {"ff02::1", true},
      {"::ffff:10.0.0.1", true},
      {"::ffff:127.0.0.1", true},
      {"::ffff:8.8.8.8", false},
      {"::ffff:c0a8:101", true},
      {"::10.0.0.1", true},
      {"64:ff9b::a00:1", true},
      {"100::1", true},
      {"2001:db8::1", true},
      {"2001::1", true},
      {"2002:a00:1::1", true},
      {"3fff::1", true},
      {"2001:4860:4860::8888", false},
      {"2a00:1450::1", false},
      {"2600::1", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(is_reserved_address(c.host), c.reserved) << c.host;
    EXPECT_EQ(is_public_address(c.host), !c.reserved) << c.host;
  }
  // Not numeric addresses: neither reserved nor public.
  for (const char* host : {"", "localhost", "example.org", "10.0.0.1 ", "fe80::1%lo", "1.2.3", "::ffff:1.2.3.4.5"}) {
    EXPECT_FALSE(is_reserved_address(host)) << host;
    EXPECT_FALSE(is_public_address(host)) << host;
  }
}

// Where this router is deliberately stricter than the registry as python3 reads it: blocks
// that are global in the registry but translate to IPv4 or are anycast or transition relays,
// and IPv6 space outside 2000::/3, which holds no global unicast addresses yet.
bool stricter_than_registry(const std::string& host) {
  for (const char* prefix : {"192.0.0.", "192.88.99.", "64:ff9b:", "2001:", "4000:", "::2"}) {
    if (host.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

TEST(AddressRanges, AgreesWithPythonIpaddress) {
  std::vector<std::string> hosts = {"10.1.2.3",
                                    "172.20.0.1",
                                    "192.168.5.5",
                                    "100.70.0.1",
                                    "169.254.9.9",
                                    "127.3.3.3",
                                    "0.0.0.1",
                                    "198.18.5.5",
                                    "203.0.113.200",
                                    "240.1.1.1",
                                    "224.1.1.1",
                                    "8.8.4.4",
                                    "93.184.216.34",
                                    "::1",
                                    "fc12::34",
                                    "fe80::abcd",
                                    "ff05::2",
                                    "2001:db8:1::1",
                                    "2002:1:2::3",
                                    "100::5",
                                    "::ffff:192.168.1.1",
                                    "::ffff:93.184.216.34",
                                    "2a03:2880::1",
                                    "2606:4700::6810",
                                    "4000::1",
                                    "::2"};
  std::mt19937 rng(7);
  for (int i = 0; i < 400; ++i) {
    const auto a = static_cast<std::uint32_t>(rng());
    hosts.push_back(std::to_string(a >> 24) + "." + std::to_string(a >> 16 & 255) + "." + std::to_string(a >> 8 & 255) +
                    "." + std::to_string(a & 255));
  }
  ntcp2_net_test::TempDir dir;
  {
    std::ofstream list(dir / "hosts.txt");
    for (const std::string& h : hosts) list << h << "\n";
  }
  const std::string cmd =
      "/usr/bin/python3 -c 'import ipaddress,sys\n"
      "for line in open(sys.argv[1]):\n"
      "  ip = ipaddress.ip_address(line.strip())\n"
      "  print(line.strip(), int(ip.is_multicast or not ip.is_global))' " +
      (dir / "hosts.txt");
  FILE* out = popen(cmd.c_str(), "r");
  ASSERT_NE(out, nullptr);
  std::map<std::string, bool> expected;
  char line[128];
  while (std::fgets(line, sizeof line, out) != nullptr) {
    std::istringstream fields(line);
    std::string host;
    int reserved = 0;
    fields >> host >> reserved;
    expected[host] = reserved != 0;
  }
  ASSERT_EQ(pclose(out), 0);
  ASSERT_EQ(expected.size(), std::set<std::string>(hosts.begin(), hosts.end()).size());
  for (const auto& [host, reserved] : expected) {
    if (stricter_than_registry(host)) {
      EXPECT_TRUE(is_reserved_address(host)) << host;
    } else {
      EXPECT_EQ(is_reserved_address(host), reserved) << host;
    }
  }
}

}  // namespace
}  // namespace ntcp2_net
