#include "services/address_book.h"

#include <gtest/gtest.h>

#include "encoding/text.h"
#include "router/destinations.h"
#include "services/client_sessions.h"
#include "tests/support/test_network.h"

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
  const std::string path = write_file("hosts_seven.txt",
                                      "# comment\n"
                                      "\n"
                                      "a.i2p = " +
                                          upper(kB32) +
                                          "\n"
                                          "=b\n"
                                          "no-equals-sign\n"
                                          "c.i2p=\n"
                                          "D.I2P=" +
                                          long_value + "\n");
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
      {"one.i2p", kB32},      {"two.i2p", dest_a},   {"ONE.i2p", dest_b}, {"three.i2p", kOtherB32},
      {"one.i2p", kOtherB32}, {"pre.i2p", kB32},     {"two.i2p", dest_b}, {"moved.i2p", kB32},
      {"Four.I2P", dest_a},   {"three.i2p", dest_a}, {"three.i2p", kB32}, {"gone.i2p", kB32},
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
  const std::string path = write_file(
      "hosts_lengths.txt", "hundred.i2p=" + std::string(100, 'x') + "\n" + "hundred-one.i2p=" + std::string(101, 'x') +
                               "\n" + "spaced.i2p =  " + kB32 + "  \t\n" + "eq.i2p=" + std::string(99, 'y') + "=z\n");
  Router r;
  auto n = r.load_hosts_file(path);
  ASSERT_TRUE(n);
  EXPECT_EQ(*n, 3u);
  EXPECT_EQ(r.dest_aliases,
            (AliasTable{{"hundred-one.i2p", std::string(101, 'x')}, {"eq.i2p", std::string(99, 'y') + "=z"}}));
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

// One line of a hosts file at a time: what it registers, if anything.
TEST(LoadHostsFile, LineRules) {
  struct Case {
    const char* name;
    std::string text;
    AliasTable b32;
    AliasTable dest;
  };
  const std::string dest(387, 'D');
  const std::string e_acute = "\xC3\xA9";
  std::string sixty_e;
  for (int i = 0; i < 60; ++i) sixty_e += e_acute;  // 60 characters, 120 bytes
  const std::vector<Case> cases = {
      {"b32", "a.i2p=" + kB32, {{"a.i2p", kB32}}, {}},
      {"CR LF and blanks", " \t A.i2p \t= " + upper(kB32) + " \r\n", {{"a.i2p", kB32}}, {}},
      {"comment", "#a.i2p=" + kB32, {}, {}},
      {"comment after blanks", "  # a.i2p=" + kB32, {}, {}},
      {"no =", "a.i2p " + kB32, {}, {}},
      {"= first", "=" + kB32, {}, {}},
      {"= last", "a.i2p=", {}, {}},
      {"blank name", "  =" + kB32, {}, {}},
      {"blank value", "a.i2p=   ", {}, {}},
      {"b32 with 51 letters", "a.i2p=" + kB32.substr(1), {}, {}},
      {"b32 without suffix", "a.i2p=" + kB32.substr(0, 52), {}, {}},
      {"long value taken as it is", "a.i2p=" + dest, {}, {{"a.i2p", dest}}},
      {"101 characters", "a.i2p=" + std::string(101, '='), {}, {{"a.i2p", std::string(101, '=')}}},
      {"100 characters", "a.i2p=" + std::string(100, 'x'), {}, {}},
      {"120 bytes are 60 characters", "a.i2p=" + sixty_e, {}, {}},
      {"later line wins in place",
       "a.i2p=" + kB32 + "\nb.i2p=" + kB32 + "\na.i2p=" + kOtherB32,
       {{"a.i2p", kOtherB32}, {"b.i2p", kB32}},
       {}},
      {"later line moves the name", "a.i2p=" + kB32 + "\nA.I2P=" + dest, {}, {{"a.i2p", dest}}},
  };
  for (const Case& c : cases) {
    Router r;
    auto n = r.load_hosts_file(write_file("hosts_line_rules.txt", c.text));
    ASSERT_TRUE(n) << c.name;
    EXPECT_EQ(r.b32_aliases, c.b32) << c.name;
    EXPECT_EQ(r.dest_aliases, c.dest) << c.name;
  }
}

// A client session of the router with a fresh destination.
SamSession add_session(Router& r, const std::string& id) {
  auto t = generate_transient_destination();
  EXPECT_TRUE(t);
  r.sessions.push_back(build_client_session(r, id, *t));
  return r.sessions.back();
}

struct Resolution {
  std::optional<Router> started = [] {
    StartOptions o;
    o.sam_port = 0;
    auto made = Router::start(o);
    EXPECT_TRUE(made);
    return made ? std::optional<Router>(std::move(*made)) : std::nullopt;
  }();
  Router& r = *started;
  Now now = ntcp2_net::read_now();
};

TEST(ResolveNameLocal, MeNamesTheSessionOfTheConnection) {
  Resolution f;
  const SamSession s = add_session(f.r, "Mine");
  EXPECT_EQ(f.r.resolve_name_local("ME", "Mine", f.now), s.public_b64);
  EXPECT_EQ(f.r.resolve_name_local("ME", std::nullopt, f.now), std::nullopt);
  EXPECT_EQ(f.r.resolve_name_local("ME", "mine", f.now), std::nullopt);  // ids are exact
  f.r.register_alias("me", std::string(120, 'M'));
  EXPECT_EQ(f.r.resolve_name_local("me", "Mine", f.now), std::string(120, 'M'));
  EXPECT_EQ(f.r.resolve_name_local("ME", std::nullopt, f.now), std::nullopt);  // no other rule for ME
}

TEST(ResolveNameLocal, AliasesSessionsAndTheNetDb) {
  Resolution f;
  const SamSession local = add_session(f.r, "local");
  SamSession remote = add_session(f.r, "remote");
  auto ls = f.r.build_session_leaseset2(remote, f.now);
  ASSERT_TRUE(ls);
  f.r.sessions.pop_back();  // the LeaseSet2 stays in the NetDB, as another router's would
  f.r.netdb.remove_lease_set2(remote.dest_hash);
  const std::string unknown_b32 = "aaaabbbbccccddddeeeeffffgggghhhhiiiijjjjkkkkllllmmmm.b32.i2p";

  f.r.register_alias("Dest.I2P", "stored-as-given");
  f.r.register_alias("remote.i2p", remote.b32_address);
  f.r.register_alias("unknown.i2p", unknown_b32);
  // Without its LeaseSet2 a b32 alias gives no Destination, though the hash is known.
  EXPECT_EQ(f.r.resolve_name_local("remote.i2p", std::nullopt, f.now), std::nullopt);
  EXPECT_EQ(f.r.resolve_i2p_host_hash("remote.i2p", f.now), remote.dest_hash);
  ASSERT_TRUE(f.r.netdb.store_lease_set2(*ls, f.now.wall_s()));

  struct Case {
    std::string name;
    std::optional<std::string> value;
  };
  const std::vector<Case> cases = {
      {"DEST.i2p", "stored-as-given"},       {"REMOTE.I2P", remote.public_b64},       {"unknown.i2p", std::nullopt},
      {local.b32_address, local.public_b64}, {remote.b32_address, remote.public_b64}, {unknown_b32, std::nullopt},
      {"nothing.i2p", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(f.r.resolve_name_local(c.name, std::nullopt, f.now), c.value) << c.name;
}

TEST(ResolveI2pHostHash, EveryFormOfTheSameAddress) {
  Resolution f;
  const SamSession s = add_session(f.r, "s");
  const common::Hash& h = s.dest_hash;
  const std::string letters = s.b32_address.substr(0, 52);
  const std::string hex = encoding::hex_encode(h.view());
  f.r.register_alias("alias.i2p", s.b32_address);
  f.r.register_alias("by-dest.i2p", s.public_b64);
  f.r.register_alias("broken.i2p", std::string(200, '!'));
  // 64 characters, no ".", not hex and not Base32 of 32 bytes: found only as an alias.
  const std::string odd(64, 'z');
  f.r.register_alias(odd, s.b32_address);

  for (const std::string& text : {s.b32_address, letters, "  " + upper(letters) + "\t", hex, upper(hex),
                                  std::string("ALIAS.i2p"), std::string("by-dest.i2p"), upper(odd)}) {
    EXPECT_EQ(f.r.resolve_i2p_host_hash(text, f.now), h) << text;
  }
  for (const std::string& text : {std::string(""), std::string(" \t"), std::string("broken.i2p"),
                                  std::string("nothing.i2p"), hex.substr(1), letters.substr(1)}) {
    EXPECT_EQ(f.r.resolve_i2p_host_hash(text, f.now), std::nullopt) << text;
  }
}

TEST(FindSession, ByExactIdAndByExactDestination) {
  Resolution f;
  const SamSession a = add_session(f.r, "a");
  add_session(f.r, "A");
  ASSERT_NE(Router::find_session_by_id(f.r.sessions, "A"), nullptr);
  EXPECT_EQ(Router::find_session_by_id(f.r.sessions, "A")->id, "A");
  EXPECT_EQ(Router::find_session_by_id(f.r.sessions, "b"), nullptr);
  ASSERT_NE(f.r.find_session_by_pub(a.public_b64), nullptr);
  EXPECT_EQ(f.r.find_session_by_pub(a.public_b64)->id, "a");
  EXPECT_EQ(f.r.find_session_by_pub(a.public_b64 + "AAAA"), nullptr);
  EXPECT_EQ(f.r.find_session_by_pub(""), nullptr);
}

TEST(StartProxyNetDbLookup, OneLookupPerHashAndNoneWithoutFloodfills) {
  Resolution alone;
  const common::Hash key = add_session(alone.r, "x").dest_hash;
  EXPECT_FALSE(alone.r.start_proxy_netdb_lookup(key, alone.now));
  EXPECT_TRUE(alone.r.pending_lookups.empty());

  auto net = test_support::TestNetwork::create({.routers = 2, .floodfills = {1}});
  ASSERT_TRUE(net);
  Router& r = (*net)[0];
  const Now now = ntcp2_net::read_now();
  EXPECT_TRUE(r.start_proxy_netdb_lookup(key, now));
  EXPECT_TRUE(r.start_proxy_netdb_lookup(key, now));
  ASSERT_EQ(r.pending_lookups.size(), 1u);
  EXPECT_EQ(r.pending_lookups[0].purpose, kLookupPolled);
  EXPECT_EQ(r.pending_lookups[0].client_index, -1);
  EXPECT_TRUE(r.pending_lookups[0].silent);
}

}  // namespace
}  // namespace router
