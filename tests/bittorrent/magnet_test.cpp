// Magnet links: info hashes in hex and Base32 against python's Base32 and libtorrent's own
// magnet parser; the parameter rules as a table.
#include "bittorrent/magnet.h"

#include <gtest/gtest.h>

#include <string>

#include "encoding/text.h"
#include "tests/bittorrent/bt_test_support.h"

namespace bittorrent {
namespace {

TEST(Magnet, HexAndBase32AgreeWithLibtorrent) {
  TempDir dir;
  auto out = bt_test::RunPython(dir.path(), R"(
random.seed(3)
for i in range(20):
    h = bytes(random.randrange(256) for _ in range(20))
    b32 = base64.b32encode(h).decode()
    if i % 2: b32 = b32.lower()
    name = 'n%d%%20x+y' % i
    for uri in ['magnet:?xt=urn:btih:%s&dn=%s' % (h.hex().upper() if i % 3 == 0 else h.hex(), name),
                'magnet:?dn=%s&xt=urn:btih:%s' % (name, b32)]:
        p = lt.parse_magnet_uri(uri)
        print(uri, p.info_hashes.v1, p.name.replace(' ', '_'))
)");
  ASSERT_TRUE(out.has_value());
  auto lines = bt_test::Lines(*out);
  ASSERT_EQ(lines.size(), 40u);
  for (const std::string& line : lines) {
    std::istringstream in(line);
    std::string uri, hash, name;
    in >> uri >> hash >> name;
    auto link = parse_magnet(uri);
    ASSERT_TRUE(link.has_value()) << uri << ": " << to_string(link.error());
    EXPECT_EQ(encoding::hex_encode(link->info_hash), hash) << uri;
    std::string ours = link->name;
    std::replace(ours.begin(), ours.end(), ' ', '_');
    EXPECT_EQ(ours, name) << uri;
  }
}

const std::string kHex = "0123456789abcdef0123456789abcdef01234567";

TEST(Magnet, Refusals) {
  const std::pair<std::string, std::string> cases[] = {
      {"http://x.i2p/", "URI must start with 'magnet:?'"},
      {"magnet:", "URI must start with 'magnet:?'"},
      {"magnet:?", "magnet URI missing xt=urn:btih:<hash>"},
      {"magnet:?xt=urn:sha1:" + kHex, "magnet URI missing xt=urn:btih:<hash>"},
      {"magnet:?xt=urn:btih:" + kHex.substr(1), "unsupported btih hash length: 39"},
      {"magnet:?xt=urn:btih:", "unsupported btih hash length: 0"},
      {"magnet:?xt=urn:btih:" + kHex + "&xt=urn:btih:abc", "unsupported btih hash length: 3"},
      // Whitespace is skipped by the hex and Base32 readers, leaving fewer than 20 bytes.
      {"magnet:?xt=urn:btih:" + kHex.substr(0, 38) + "%20%20", "decoded btih must be 20 bytes"},
      {"magnet:?xt=urn:btih:" + std::string(30, 'a') + "%20%20", "decoded btih must be 20 bytes"},
  };
  for (const auto& [uri, message] : cases) {
    auto link = parse_magnet(uri);
    ASSERT_FALSE(link.has_value()) << uri;
    EXPECT_TRUE(link.error().is(BittorrentError::Magnet)) << to_string(link.error());
    EXPECT_EQ(link.error().message(), message) << uri;
  }
  // Characters outside the alphabets are the hex and Base32 readers' own errors.
  for (const std::string& uri :
       {"magnet:?xt=urn:btih:" + kHex.substr(0, 39) + "g", "magnet:?xt=urn:btih:" + std::string(31, 'a') + "1"}) {
    auto link = parse_magnet(uri);
    ASSERT_FALSE(link.has_value()) << uri;
    EXPECT_TRUE(link.error().is(BittorrentError::Encoding)) << to_string(link.error());
  }
}

TEST(Magnet, Parameters) {
  auto link = parse_magnet("  MAGNET:?XT=urn:BTIH:" + kHex +
                           "&Dn=first&&noequals&=x&dn=a+b%20c&TR=http://t.i2p/a+b&tr=&tr=%20http://t.i2p/a+b%20"
                           "&tr=http%3A%2F%2Fu.i2p&dht=host.i2p:6881&x.pe=peer.i2p:1&dht=host.i2p:6881"
                           "&dht=:6881&dht=host.i2p:0&dht=host.i2p:&dht=host.i2p:+1&dht=host.i2p:65536&dht=nocolon"
                           "&x.pe=[::1]:65535&unknown=1\t\n");
  ASSERT_TRUE(link.has_value()) << to_string(link.error());
  EXPECT_EQ(encoding::hex_encode(link->info_hash), kHex);
  EXPECT_EQ(link->name, "a b c");
  EXPECT_EQ(link->trackers, (std::vector<std::string>{"http://t.i2p/a+b", "http://u.i2p"}));
  EXPECT_EQ(link->dht_nodes,
            (std::vector<MagnetNode>{{"host.i2p", 6881}, {"peer.i2p", 1}, {"host.i2p", 6881}, {"[::1]", 65535}}));
}

TEST(Magnet, LastXtWinsAndNameDefaultsToHex) {
  const std::string other = "ffffffffffffffffffffffffffffffffffffffff";
  auto link = parse_magnet("magnet:?xt=urn:btih:" + kHex + "&xt=urn:btih:" + other + "&xt=urn:sha1:x&dn=");
  ASSERT_TRUE(link.has_value());
  EXPECT_EQ(encoding::hex_encode(link->info_hash), other);
  EXPECT_EQ(link->name, other);
  // A percent-escaped URN is decoded before the btih test.
  auto escaped = parse_magnet("magnet:?xt=urn%3Abtih%3A" + kHex);
  ASSERT_TRUE(escaped.has_value());
  EXPECT_EQ(escaped->name, kHex);
}

TEST(Magnet, PercentDecoding) {
  EXPECT_EQ(percent_decode_param("a+b%20c", true), "a b c");
  EXPECT_EQ(percent_decode_param("a+b%20c", false), "a+b c");
  EXPECT_EQ(percent_decode_param("%zz", false), "%zz");
  EXPECT_EQ(percent_decode_param("%4", false), "%4");
  EXPECT_EQ(percent_decode_param("100%", false), "100%");
  EXPECT_EQ(percent_decode_param("%%41", false), "%A");
  EXPECT_EQ(percent_decode_param("%c3%a9", false), "\xC3\xA9");
  // Decoded bytes that are not UTF-8 leave the text as written.
  EXPECT_EQ(percent_decode_param("x%FFy+", true), "x%FFy+");
}

}  // namespace
}  // namespace bittorrent
