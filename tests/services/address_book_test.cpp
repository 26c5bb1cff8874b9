#include "services/address_book.h"

#include <gtest/gtest.h>

#include <fstream>
#include <utility>
#include <vector>

namespace router {
namespace {

const std::string kB32 = "udhdrtrcetjm5sxzskjyr5ztpeszydbh4dpl3pl4utgqqw2v4jna.b32.i2p";
const std::string kOtherB32 = "7tbay5p4kzeekxvyvbf6v7eauazemsnnl2aoyqhg5jzpr5eke7tq.b32.i2p";

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string write_file(const std::string& name, const std::string& content) {
  const std::string path = testing::TempDir() + name;
  std::ofstream(path, std::ios::binary) << content;
  return path;
}

TEST(ParseB32Hash, NeedsTheSuffixAnd32Bytes) {
  auto h = parse_b32_hash(upper(kB32));
  ASSERT_TRUE(h);
  EXPECT_EQ(h->to_b32_address(), kB32);
  EXPECT_FALSE(parse_b32_hash(kB32.substr(0, 52)));
  EXPECT_FALSE(parse_b32_hash("abcd.b32.i2p"));
  EXPECT_FALSE(parse_b32_hash(kB32.substr(1)));
}

TEST(RegisterAlias, NameMovesBetweenTablesAndKeepsItsPlace) {
  Router r;
  r.register_alias("First.I2P", "some-destination-text");
  r.register_alias("x.i2p", kOtherB32);
  EXPECT_EQ(r.dest_aliases, (AliasTable{{"first.i2p", "some-destination-text"}}));

  r.register_alias("FIRST.i2p", upper(kB32));
  EXPECT_TRUE(r.dest_aliases.empty());
  EXPECT_EQ(r.b32_aliases, (AliasTable{{"x.i2p", kOtherB32}, {"first.i2p", kB32}}));

  r.register_alias("x.i2p", kB32);  // replaced in place
  EXPECT_EQ(r.b32_aliases, (AliasTable{{"x.i2p", kB32}, {"first.i2p", kB32}}));

  r.register_alias("x.i2p", "Dest");
  EXPECT_EQ(r.b32_aliases, (AliasTable{{"first.i2p", kB32}}));
  EXPECT_EQ(r.dest_aliases, (AliasTable{{"x.i2p", "Dest"}}));
}

TEST(LoadHostsFile, SkipsEveryMalformedLine) {
  const std::string long_value(400, 'Q');
  const std::string path = write_file("hosts_seven.txt", "# comment\n"
                                                         "\n"
                                                         "a.i2p = " + upper(kB32) + "\n"
                                                         "=b\n"
                                                         "no-equals-sign\n"
                                                         "c.i2p=\n"
                                                         "D.I2P=" + long_value + "\n");
  Router r;
  auto n = r.load_hosts_file(path);
  ASSERT_TRUE(n);
  EXPECT_EQ(*n, 2u);
  EXPECT_EQ(r.b32_aliases, (AliasTable{{"a.i2p", kB32}}));
  EXPECT_EQ(r.dest_aliases, (AliasTable{{"d.i2p", long_value}}));
}

// A hosts file leaves the tables as registering its lines one by one would: names that move
// between the tables, come back, change case, and names registered before the file.
TEST(LoadHostsFile, EndsAsRegisteringEachLineInTurn) {
  const std::string dest_a(200, 'A'), dest_b(300, 'B');
  const std::vector<std::pair<std::string, std::string>> lines = {
      {"one.i2p", kB32},      {"two.i2p", dest_a},   {"ONE.i2p", dest_b},  {"three.i2p", kOtherB32},
      {"one.i2p", kOtherB32}, {"pre.i2p", kB32},     {"two.i2p", dest_b},  {"moved.i2p", kB32},
      {"Four.I2P", dest_a},   {"three.i2p", dest_a}, {"three.i2p", kB32},  {"gone.i2p", kB32},
  };
  auto seed = [](Router& r) {
    r.register_alias("pre.i2p", "an-earlier-destination-that-the-file-moves-to-the-b32-table");
    r.register_alias("moved.i2p", kOtherB32);
    r.register_alias("kept.i2p", kOtherB32);
    r.register_alias("gone.i2p", "a-destination");
  };
  std::string file;
  Router expected;
  seed(expected);
  for (const auto& [name, value] : lines) {
    file += name + "=" + value + "\n";
    expected.register_alias(name, value);
  }
  Router r;
  seed(r);
  auto n = r.load_hosts_file(write_file("hosts_in_turn.txt", file));
  ASSERT_TRUE(n);
  EXPECT_EQ(*n, lines.size());
  EXPECT_EQ(r.b32_aliases, expected.b32_aliases);
  EXPECT_EQ(r.dest_aliases, expected.dest_aliases);
  EXPECT_EQ(r.b32_aliases.size() + r.dest_aliases.size(), 8u);  // each name once
}

TEST(LoadHostsFile, ShortValuesMustBeB32) {
  const std::string path = write_file("hosts_lengths.txt", "hundred.i2p=" + std::string(100, 'x') + "\n" +
                                                               "hundred-one.i2p=" + std::string(101, 'x') + "\n" +
                                                               "spaced.i2p =  " + kB32 + "  \t\n" +
                                                               "eq.i2p=" + std::string(99, 'y') + "=z\n");
  Router r;
  auto n = r.load_hosts_file(path);
  ASSERT_TRUE(n);
  EXPECT_EQ(*n, 3u);
  EXPECT_EQ(r.dest_aliases, (AliasTable{{"hundred-one.i2p", std::string(101, 'x')},
                                        {"eq.i2p", std::string(99, 'y') + "=z"}}));
  EXPECT_EQ(r.b32_aliases, (AliasTable{{"spaced.i2p", kB32}}));
}

TEST(LoadHostsFile, CrLfLoadsLikeLf) {
  const std::string lf = "a.i2p=" + kB32 + "\nb.i2p=" + std::string(120, 'B') + "\n";
  std::string crlf = "a.i2p=" + kB32 + "\r\nb.i2p=" + std::string(120, 'B') + "\r\n";
  Router r1;
  Router r2;
  ASSERT_EQ(r1.load_hosts_file(write_file("hosts_lf.txt", lf)), 2u);
  ASSERT_EQ(r2.load_hosts_file(write_file("hosts_crlf.txt", crlf)), 2u);
  EXPECT_EQ(r1.b32_aliases, r2.b32_aliases);
  EXPECT_EQ(r1.dest_aliases, r2.dest_aliases);
}

TEST(LoadHostsFile, FailuresRegisterNothing) {
  Router r;
  auto bad = r.load_hosts_file(write_file("hosts_bad_utf8.txt", "a.i2p=" + kB32 + "\nb.i2p=\xFF\xFE\n"));
  ASSERT_FALSE(bad);
  EXPECT_TRUE(bad.error().is(RouterError::Message));
  EXPECT_EQ(bad.error().message(), "hosts file is not valid UTF-8");
  EXPECT_TRUE(r.b32_aliases.empty());

  auto missing = r.load_hosts_file(testing::TempDir() + "no-such-hosts-file.txt");
  ASSERT_FALSE(missing);
  EXPECT_TRUE(missing.error().is(RouterError::Net));
  ASSERT_TRUE(missing.error().inner());
  EXPECT_TRUE(missing.error().inner()->is(NetError::Io));
}

}  // namespace
}  // namespace router
