// Answers to DatabaseLookups on one router of a test network, the lookups handed to it
// directly: which answer each lookup gets, its wire form against zlib and python3's
// 'cryptography', and where it is sent.
#include <gtest/gtest.h>

#include "crypto/ed25519.h"
#include "i2np/message.h"
#include "ratchet/block.h"
#include "ratchet/clove.h"
#include "router/own_router_info.h"
#include "tests/router/lookups_test_util.h"
#include "tests/router/peers_test_util.h"
#include "tests/support/test_network.h"

namespace router {
namespace {

using lookups_test::network;
using lookups_test::new_session;
using lookups_test::P;
using lookups_test::python_aead_open;
using lookups_test::queued_for;
using lookups_test::random_hash;
using lookups_test::zlib_gunzip;
using ntcp2_net::read_now;
using peers_test::hash_of;
using peers_test::reference_router_info;
using test_support::TestNetwork;

P::DatabaseLookup lookup_of(const common::Hash& key, const common::Hash& from, std::uint8_t flags) {
  P::DatabaseLookup l;
  l.key = key;
  l.from = from;
  l.flags = flags;
  return l;
}

// What the router sends to `to` in answer to the lookup.
std::vector<P> answer(Router& r, const P::DatabaseLookup& lookup, const common::Hash& to,
                      std::optional<common::Hash> sender = std::nullopt) {
  r.pending_sends.clear();
  r.handle_database_lookup_msg(sender, lookup, read_now());
  return queued_for(r, to);
}

// A LeaseSet2 of a destination that another router hosts.
common::LeaseSet2 foreign_lease_set(Router& host) {
  host.sessions.push_back(new_session(host, "elsewhere"));
  auto ls = host.build_session_leaseset2(host.sessions.back(), read_now());
  EXPECT_TRUE(ls);
  return ls.value_or(common::LeaseSet2{});
}

TEST(LookupAnswer, ARouterInfoTravelsAsALengthAndAGzipMemberThatZlibInflates) {
  TestNetwork net = network(3);
  Router& r = net[0];
  const std::vector<P> sent = answer(r, lookup_of(net.hash(2), net.hash(1), 0x08), net.hash(1));
  ASSERT_EQ(sent.size(), 1u);
  const auto* store = std::get_if<P::DatabaseStore>(&sent[0].value);
  ASSERT_NE(store, nullptr);
  EXPECT_EQ(store->key, net.hash(2));
  EXPECT_EQ(store->store_type, 0);
  EXPECT_EQ(store->reply_token, 0u);
  ASSERT_GT(store->data.size(), 2u);
  EXPECT_EQ((std::size_t{store->data[0]} << 8) | store->data[1], store->data.size() - 2);
  EXPECT_EQ(zlib_gunzip(ByteView(store->data).subspan(2)), net[2].router_info.to_bytes().value());
}

TEST(LookupAnswer, ARouterInfoThatCompressesPast65535BytesIsNotAnswered) {
  TestNetwork net = network(2);
  Router& r = net[0];
  // A signed RouterInfo whose addresses carry about 120 KB of options that hardly compress.
  const Bytes seed = ntcp2_net::random_bytes(32).value();
  const auto ed = crypto::ed25519_public_key(seed).value();
  const Bytes ed_bytes(ed.begin(), ed.end()), x25519 = ntcp2_net::random_bytes(32).value();
  const Bytes filler = ntcp2_net::random_bytes(320).value(), iv = ntcp2_net::random_bytes(16).value();
  auto info = build_own_router_info({x25519, ed_bytes, filler, iv}, OwnAddress{"127.0.0.9", 17000, false, false},
                                    1'700'000'000'000);
  ASSERT_TRUE(info);
  for (int a = 0; a < 2; ++a) {
    std::vector<std::pair<std::string, std::string>> entries;
    for (int i = 0; i < 240; ++i) {
      const Bytes noise = ntcp2_net::random_bytes(240).value();
      std::string value;
      for (std::uint8_t b : noise) value.push_back(static_cast<char>('!' + b % 90));
      std::string key = "k";  // appended: g++ 12 at -O3 misreads "k" + std::to_string(i)
      key += std::to_string(i);
      entries.emplace_back(key, value);
    }
    std::string style = "X";
    style += std::to_string(a);
    info->addresses.push_back(common::RouterAddress{5, 0, style, common::Mapping::from_entries(entries)});
  }
  ASSERT_TRUE(sign_router_info(*info, seed));
  ASSERT_GT(info->to_bytes().value().size(), 110000u);  // at 90 symbols a byte, gzip keeps over 80%
  ASSERT_TRUE(r.netdb.store_router_info(*info));
  EXPECT_TRUE(answer(r, lookup_of(hash_of(*info), net.hash(1), 0x08), net.hash(1)).empty());
  EXPECT_TRUE(r.pending_sends.empty());
}

TEST(LookupAnswer, AnEciesAnswerIsTheTagAndOneCloveSealedUnderTheAskersKey) {
  TestNetwork net = network(3);
  Router& r = net[0];
  const Bytes key = ntcp2_net::random_bytes(32).value(), tag = ntcp2_net::random_bytes(8).value();
  P::DatabaseLookup lookup = lookup_of(net.hash(2), net.hash(1), 0x18);
  lookup.reply_key = key;
  lookup.reply_tags = {tag};
  const std::vector<P> sent = answer(r, lookup, net.hash(1));
  ASSERT_EQ(sent.size(), 1u);
  const auto* garlic = std::get_if<P::Garlic>(&sent[0].value);
  ASSERT_NE(garlic, nullptr);
  ASSERT_GT(garlic->data.size(), 24u);
  const ByteView data = garlic->data;
  EXPECT_EQ(Bytes(data.begin(), data.begin() + 8), tag);

  const Bytes zero_nonce(12, 0);
  const std::optional<Bytes> plain = python_aead_open(key, zero_nonce, tag, data.subspan(8));
  ASSERT_TRUE(plain) << "python3 'cryptography' did not open the answer";
  Bytes other_key = key;
  other_key[0] ^= 1;
  EXPECT_FALSE(python_aead_open(other_key, zero_nonce, tag, data.subspan(8)));  // the check is real

  auto blocks = ratchet::decode_blocks(*plain);
  ASSERT_TRUE(blocks);
  ASSERT_EQ(blocks->size(), 1u);
  const auto* clove = (*blocks)[0].get_if<ratchet::RatchetBlock::GarlicClove>();
  ASSERT_NE(clove, nullptr);
  EXPECT_EQ(clove->delivery, ratchet::CloveDelivery{ratchet::CloveDelivery::Local{}});
  auto message = ratchet::decode_garlic_clove_i2np(clove->message);
  ASSERT_TRUE(message);
  const auto* store = std::get_if<P::DatabaseStore>(&message->second.value);
  ASSERT_NE(store, nullptr);
  EXPECT_EQ(store->key, net.hash(2));
  EXPECT_EQ(zlib_gunzip(ByteView(store->data).subspan(2)), net[2].router_info.to_bytes().value());
}

TEST(LookupAnswer, WhichAnswerEachLookupGets) {
  // Router 0 is a floodfill, router 1 is not; each keeps a LeaseSet2 of router 2's
  // destination and one of its own destination.
  TestNetwork net = network(3, {0});
  const common::LeaseSet2 foreign = foreign_lease_set(net[2]);
  const common::Hash foreign_key = foreign.destination.keys_and_cert.hash();
  const common::Hash router_key = net.hash(2);
  const common::Hash unknown_key = random_hash();
  common::Hash local_key[2];
  for (std::size_t i : {0u, 1u}) {
    ASSERT_TRUE(net[i].netdb.store_lease_set2(foreign, read_now().wall_s()));
    net[i].sessions.push_back(new_session(net[i], "mine"));
    ASSERT_TRUE(net[i].build_session_leaseset2(net[i].sessions.back(), read_now()));
    local_key[i] = net[i].sessions.back().dest_hash;
  }

  enum class Kind { RouterInfo, LeaseSet2, SearchReply };
  struct Case {
    const char* name;
    std::size_t router;
    bool public_mode;
    std::uint8_t flags;
    int key;  // 0 router, 1 foreign destination, 2 own destination, 3 unknown
    Kind expected;
  };
  const std::vector<Case> cases = {
      {"RouterInfo lookup of a known router", 1, false, 0x08, 0, Kind::RouterInfo},
      {"RouterInfo lookup of a key known only as a LeaseSet2", 1, false, 0x08, 1, Kind::SearchReply},
      {"LeaseSet lookup of a known destination", 1, false, 0x04, 1, Kind::LeaseSet2},
      {"LeaseSet lookup of a key known only as a router", 1, false, 0x04, 0, Kind::SearchReply},
      {"any-kind lookup of a router", 1, false, 0x00, 0, Kind::RouterInfo},
      {"any-kind lookup of a destination", 1, false, 0x00, 1, Kind::LeaseSet2},
      {"exploratory lookup of a known router", 1, false, 0x0C, 0, Kind::SearchReply},
      {"LeaseSet lookup of an unknown key", 1, false, 0x04, 3, Kind::SearchReply},
      {"own destination, outside public mode", 1, false, 0x04, 2, Kind::LeaseSet2},
      {"public mode, not a floodfill: a destination it knows", 1, true, 0x04, 1, Kind::SearchReply},
      {"public mode, not a floodfill: its own destination", 1, true, 0x04, 2, Kind::SearchReply},
      {"public mode, floodfill: a destination it knows", 0, true, 0x04, 1, Kind::LeaseSet2},
      {"public mode, floodfill: its own destination", 0, true, 0x00, 2, Kind::SearchReply},
      {"public mode: a router", 1, true, 0x08, 0, Kind::RouterInfo},
  };
  for (const Case& c : cases) {
    Router& r = net[c.router];
    r.public_mode = c.public_mode;
    const common::Hash keys[] = {router_key, foreign_key, local_key[c.router], unknown_key};
    const common::Hash asker = net.hash(c.router == 0 ? 1 : 0);
    const std::vector<P> sent = answer(r, lookup_of(keys[c.key], asker, c.flags), asker);
    ASSERT_EQ(sent.size(), 1u) << c.name;
    switch (c.expected) {
      case Kind::RouterInfo:
      case Kind::LeaseSet2: {
        const auto* store = std::get_if<P::DatabaseStore>(&sent[0].value);
        ASSERT_NE(store, nullptr) << c.name;
        EXPECT_EQ(store->key, keys[c.key]) << c.name;
        EXPECT_EQ(store->store_type, c.expected == Kind::RouterInfo ? 0 : 3) << c.name;
        if (c.expected == Kind::LeaseSet2) {
          EXPECT_EQ(store->data, r.netdb.get_lease_set2(keys[c.key], read_now().wall_s())->to_bytes().value())
              << c.name;
        }
        break;
      }
      case Kind::SearchReply: {
        const auto* reply = std::get_if<P::DatabaseSearchReply>(&sent[0].value);
        ASSERT_NE(reply, nullptr) << c.name;
        EXPECT_EQ(reply->key, keys[c.key]) << c.name;
        EXPECT_EQ(reply->from, r.router_hash()) << c.name;
        break;
      }
    }
  }
}

TEST(LookupAnswer, ASearchReplyNamesTheClosestFloodfillsButNoExcludedOne) {
  TestNetwork net = network(4, {0});
  Router& r = net[1];
  const common::RouterInfo ff = reference_router_info("ff-127.0.0.2.dat");
  ASSERT_TRUE(r.netdb.store_router_info(ff));
  const common::Hash key = random_hash();

  auto peers_of = [&](std::uint8_t flags, std::vector<common::Hash> excluded) {
    P::DatabaseLookup l = lookup_of(key, net.hash(0), flags);
    l.excluded_peers = std::move(excluded);
    const std::vector<P> sent = answer(r, l, net.hash(0));
    EXPECT_EQ(sent.size(), 1u);
    const auto* reply = sent.empty() ? nullptr : std::get_if<P::DatabaseSearchReply>(&sent[0].value);
    EXPECT_NE(reply, nullptr);
    auto peers = reply ? reply->peers : std::vector<common::Hash>{};
    std::sort(peers.begin(), peers.end(), [](const auto& a, const auto& b) { return a.bytes < b.bytes; });
    return peers;
  };
  auto sorted = [](std::vector<common::Hash> v) {
    std::sort(v.begin(), v.end(), [](const auto& a, const auto& b) { return a.bytes < b.bytes; });
    return v;
  };
  // The two floodfills it knows, whatever their distance; excluded ones left out.
  EXPECT_EQ(peers_of(0x04, {}), sorted({net.hash(0), hash_of(ff)}));
  EXPECT_EQ(peers_of(0x04, {hash_of(ff)}), sorted({net.hash(0)}));
  EXPECT_TRUE(peers_of(0x04, {hash_of(ff), net.hash(0)}).empty());
  // Exploratory lookups are told of routers of any kind.
  const std::vector<common::Hash> explored = peers_of(0x0C, {hash_of(ff), net.hash(0)});
  EXPECT_EQ(explored.size(), 3u);
  for (const common::Hash& h : explored) {
    EXPECT_TRUE(h == net.hash(1) || h == net.hash(2) || h == net.hash(3));
  }
}

TEST(LookupAnswer, WhereTheAnswerGoes) {
  TestNetwork net = network(3);
  Router& r = net[0];
  const common::Hash stranger = random_hash();
  struct Case {
    const char* name;
    common::Hash from;
    std::optional<common::Hash> sender;
    common::Hash expected;
  };
  const std::vector<Case> cases = {
      {"from a known router", net.hash(1), net.hash(2), net.hash(1)},
      {"from an unknown router, over a link", stranger, net.hash(2), net.hash(2)},
      {"from an unknown router, no link", stranger, std::nullopt, stranger},
  };
  for (const Case& c : cases) {
    r.pending_sends.clear();
    r.handle_database_lookup_msg(c.sender, lookup_of(net.hash(2), c.from, 0x08), read_now());
    ASSERT_EQ(r.pending_sends.size(), 1u) << c.name;
    EXPECT_EQ(r.pending_sends[0].peer, c.expected) << c.name;
  }

  // Through a reply tunnel: the answer as a standard message inside a TunnelGateway.
  P::DatabaseLookup tunneled = lookup_of(net.hash(2), net.hash(1), 0x09);
  tunneled.reply_tunnel_id = 4242;
  const std::vector<P> sent = answer(r, tunneled, net.hash(1));
  ASSERT_EQ(sent.size(), 1u);
  const auto* gateway = std::get_if<P::TunnelGateway>(&sent[0].value);
  ASSERT_NE(gateway, nullptr);
  EXPECT_EQ(gateway->tunnel_id, 4242u);
  encoding::Reader reader(gateway->data);
  auto inner = i2np::decode_standard_message(reader);
  ASSERT_TRUE(inner);
  const auto* store = std::get_if<P::DatabaseStore>(&inner->second.value);
  ASSERT_NE(store, nullptr);
  EXPECT_EQ(store->key, net.hash(2));
}

}  // namespace
}  // namespace router
