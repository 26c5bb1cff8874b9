#include "netdb/netdb.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

#include "encoding/text.h"
#include "netdb/utc_date.h"
#include "signed_records.h"
#include "tests/support/test_data.h"

namespace netdb {
namespace {

using netdb_test::lease_set;
using netdb_test::offline_lease_set;
using netdb_test::router_info;

common::Hash hash_of(const common::RouterInfo& ri) { return ri.identity.keys_and_cert.hash(); }
common::Hash hash_of(const common::LeaseSet2& ls) { return ls.destination.keys_and_cert.hash(); }

Bytes read_testdata(const std::string& name) { return test_support::read_test_data("routerinfo/" + name); }

// gzip member of the data, made by zlib.
Bytes zlib_gzip(ByteView data) {
  z_stream zs{};
  EXPECT_EQ(deflateInit2(&zs, Z_BEST_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY), Z_OK);
  Bytes out(deflateBound(&zs, data.size()) + 32);
  zs.next_in = const_cast<Bytef*>(data.data());
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

Bytes with_length_prefix(const Bytes& gz) {
  Bytes out(gz.size() + 2);
  out[0] = static_cast<std::uint8_t>(gz.size() >> 8);
  out[1] = static_cast<std::uint8_t>(gz.size());
  std::copy(gz.begin(), gz.end(), out.begin() + 2);
  return out;
}

void expect_error(const Result<bool>& r, NetDbError variant, std::string_view message) {
  ASSERT_FALSE(r.has_value());
  EXPECT_TRUE(r.error().is(variant));
  EXPECT_EQ(r.error().message(), message);
}

TEST(NetDbRouterInfo, OnlyStrictlyNewerReplacesAndKeepsItsPlace) {
  NetDb db;
  ASSERT_EQ(db.store_router_info(router_info(1, 1000)), true);
  ASSERT_EQ(db.store_router_info(router_info(2, 1000)), true);
  EXPECT_EQ(db.store_router_info(router_info(1, 1000)), false);  // equal time keeps the stored one
  EXPECT_EQ(db.store_router_info(router_info(1, 999)), false);   // older changes nothing
  EXPECT_EQ(db.router_infos[0].router_info->published, 1000u);

  RouterInfoPtr held = db.get_router_info(hash_of(router_info(1, 0)));
  ASSERT_TRUE(held);
  EXPECT_EQ(db.store_router_info(router_info(1, 1001)), true);
  ASSERT_EQ(db.router_infos.size(), 2u);
  EXPECT_EQ(db.router_infos[0].hash, hash_of(router_info(1, 0)));
  EXPECT_EQ(db.router_infos[0].router_info->published, 1001u);
  EXPECT_EQ(held->published, 1000u);  // a caller's copy is not changed by the replacement
}

TEST(NetDbRouterInfo, BadSignaturesAreRefused) {
  NetDb db;
  common::RouterInfo tampered = router_info(1, 1000);
  tampered.published = 2000;
  expect_error(db.store_router_info(tampered), NetDbError::BadSignature,
               "RouterInfo Ed25519 signature verification failed");

  common::RouterInfo no_key_cert = router_info(1, 1000);
  no_key_cert.identity.keys_and_cert.certificate.value = common::Certificate::Null{};
  expect_error(db.store_router_info(no_key_cert), NetDbError::BadSignature,
               "RouterInfo Ed25519 signature verification failed");

  common::RouterInfo other_type = router_info(1, 1000);
  common::KeyCertificate kc = common::KeyCertificate::create(common::CryptoPublicKeyType::X25519);
  kc.signing_type = common::SigningPublicKeyType::EcdsaSha256P256;
  other_type.identity.keys_and_cert.certificate.value = kc;
  expect_error(db.store_router_info(other_type), NetDbError::BadSignature,
               "RouterInfo Ed25519 signature verification failed");
  EXPECT_TRUE(db.router_infos.empty());
}

// Fills a list up to n entries with stand-ins under made-up hashes that share one record.
template <typename Entry, typename Ptr>
void fill_to(std::vector<Entry>& list, std::size_t n, Ptr record) {
  for (std::uint32_t i = 0; list.size() < n; ++i) {
    common::Hash h;
    for (int b = 0; b < 4; ++b) h.bytes[static_cast<std::size_t>(b)] = static_cast<std::uint8_t>(i >> (8 * b));
    h.bytes[31] = 0xF1;
    list.push_back({h, record});
  }
}

TEST(NetDbBounds, AFullRouterInfoListRefusesNewcomersButTakesNewerCopies) {
  NetDb db;
  ASSERT_EQ(db.store_router_info(router_info(1, 1000)), true);
  fill_to(db.router_infos, kMaxRouterInfos - 1, db.router_infos[0].router_info);
  EXPECT_EQ(db.store_router_info(router_info(2, 1000)), true);  // the 10,000th
  ASSERT_EQ(db.router_infos.size(), 10000u);
  EXPECT_EQ(db.store_router_info(router_info(3, 1000)), false);  // the 10,001st
  EXPECT_EQ(db.router_infos.size(), 10000u);
  EXPECT_EQ(db.get_router_info(hash_of(router_info(3, 0))), nullptr);
  EXPECT_EQ(db.store_router_info(router_info(1, 2000)), true);  // a newer copy of a known one
  EXPECT_EQ(db.get_router_info(hash_of(router_info(1, 0)))->published, 2000u);
  common::RouterInfo tampered = router_info(2, 1000);
  tampered.published = 3000;
  EXPECT_FALSE(db.store_router_info(tampered));  // known entries are still verified
  EXPECT_EQ(db.router_infos.size(), 10000u);
}

TEST(NetDbBounds, AFullLeaseSetListDropsDeadEntriesBeforeRefusing) {
  NetDb db;
  ASSERT_EQ(db.store_lease_set2(lease_set(1, 1000, 600), 1100), true);
  fill_to(db.lease_sets, kMaxLeaseSets, db.lease_sets[0].lease_set);  // all live until 1600
  EXPECT_EQ(db.store_lease_set2(lease_set(2, 1000, 600), 1100), false);
  EXPECT_EQ(db.lease_sets.size(), 10000u);
  EXPECT_EQ(db.store_lease_set2(lease_set(1, 1001, 600), 1100), true);  // newer copy
  // Later the stand-ins are dead (they share the first record, published 1000): a newcomer
  // clears them out and is taken; the live newer copy stays.
  EXPECT_EQ(db.store_lease_set2(lease_set(2, 1550, 600), 1600), true);
  EXPECT_EQ(db.lease_sets.size(), 2u);
  EXPECT_TRUE(db.get_lease_set2(hash_of(lease_set(1, 0, 0)), 1600));
  EXPECT_TRUE(db.get_lease_set2(hash_of(lease_set(2, 0, 0)), 1600));
}

TEST(NetDbBounds, AFullListOfLiveEntriesLosesOnlyTheOneThatDied) {
  NetDb db;
  ASSERT_EQ(db.store_lease_set2(lease_set(1, 1000, 600), 1100), true);   // live until 1600
  ASSERT_EQ(db.store_lease_set2(lease_set(2, 1000, 1800), 1100), true);  // live until 2800
  fill_to(db.lease_sets, kMaxLeaseSets - 1, db.lease_sets[1].lease_set);
  ASSERT_EQ(db.store_lease_set2(lease_set(3, 1000, 1800), 1100), true);   // the 10,000th
  EXPECT_EQ(db.store_lease_set2(lease_set(4, 1000, 1800), 1599), false);  // all live: refused
  EXPECT_EQ(db.lease_sets.size(), 10000u);
  // At 1600 the first entry is dead: it alone gives way, and every entry behind it, moved
  // up one place, is still found under its hash.
  EXPECT_EQ(db.store_lease_set2(lease_set(4, 1000, 1800), 1600), true);
  ASSERT_EQ(db.lease_sets.size(), 10000u);
  EXPECT_EQ(db.lease_sets[0].hash, hash_of(lease_set(2, 0, 0)));
  EXPECT_FALSE(db.get_lease_set2(hash_of(lease_set(1, 0, 0)), 1600));
  for (std::uint8_t n : {std::uint8_t{2}, std::uint8_t{3}, std::uint8_t{4}}) {
    const LeaseSet2Ptr found = db.get_lease_set2(hash_of(lease_set(n, 0, 0)), 1600);
    ASSERT_TRUE(found) << int(n);
    EXPECT_EQ(found->destination.keys_and_cert.hash(), hash_of(lease_set(n, 0, 0)));
  }
  EXPECT_EQ(db.store_lease_set2(lease_set(5, 1000, 1800), 1601), false);  // full again, all live
}

// The look-ups by hash stay right whatever moved the entries: removals ahead of them,
// replacements, and lists changed by hand.
TEST(NetDbIndex, LookupsFollowEveryChangeOfTheLists) {
  NetDb db;
  for (std::uint8_t n = 1; n <= 4; ++n) ASSERT_EQ(db.store_router_info(router_info(n, 1000)), true);
  for (std::uint8_t n = 1; n <= 4; ++n) ASSERT_EQ(db.store_lease_set2(lease_set(n, 1000, 600), 1100), true);
  auto ri_published = [&](std::uint8_t n) -> std::uint64_t {
    const RouterInfoPtr p = db.get_router_info(hash_of(router_info(n, 0)));
    return p ? p->published : 0;
  };
  auto ls_found = [&](std::uint8_t n) {
    const LeaseSet2Ptr p = db.get_lease_set2(hash_of(lease_set(n, 0, 0)), 1100);
    return p && p->destination.keys_and_cert.hash() == hash_of(lease_set(n, 0, 0));
  };

  db.remove_lease_set2(hash_of(lease_set(2, 0, 0)));
  EXPECT_TRUE(ls_found(1));
  EXPECT_FALSE(ls_found(2));
  EXPECT_TRUE(ls_found(3));
  EXPECT_TRUE(ls_found(4));
  db.remove_lease_set2(hash_of(lease_set(2, 0, 0)));  // unknown: no change
  EXPECT_EQ(db.lease_sets.size(), 3u);

  ASSERT_EQ(db.store_router_info(router_info(3, 2000)), true);
  EXPECT_EQ(db.router_infos[2].hash, hash_of(router_info(3, 0)));  // replaced in place
  EXPECT_EQ(ri_published(3), 2000u);

  // By hand, as tests elsewhere do: an entry erased, one swapped in place, one appended.
  std::erase_if(db.router_infos, [&](const RouterInfoEntry& e) { return e.hash == hash_of(router_info(1, 0)); });
  EXPECT_EQ(ri_published(1), 0u);
  EXPECT_EQ(ri_published(4), 1000u);
  db.router_infos[0] = {hash_of(router_info(5, 0)), std::make_shared<const common::RouterInfo>(router_info(5, 1500))};
  EXPECT_EQ(ri_published(2), 0u);
  EXPECT_EQ(ri_published(5), 1500u);
  db.router_infos.push_back(
      {hash_of(router_info(6, 0)), std::make_shared<const common::RouterInfo>(router_info(6, 1600))});
  EXPECT_EQ(ri_published(6), 1600u);
  EXPECT_EQ(db.store_router_info(router_info(6, 1600)), false);  // known: not appended twice
  EXPECT_EQ(db.router_infos.size(), 4u);
}

TEST(NetDbIndex, TheKeyDecidesWhereHashesLand) {
  common::Hash h;
  h.bytes[0] = 0x42;
  const KeyedHashOfHash zero{}, other{{1}};
  EXPECT_NE(zero(h), other(h));
  EXPECT_EQ(other(h), KeyedHashOfHash{{1}}(h));
  common::Hash g = h;
  g.bytes[31] ^= 1;  // the last byte counts too
  EXPECT_NE(other(h), other(g));
}

TEST(NetDbLeaseSet2, LivenessDecidesStoringAndLookup) {
  NetDb db;
  EXPECT_EQ(db.store_lease_set2(lease_set(3, 1000, 600), 1600), false);
  EXPECT_TRUE(db.lease_sets.empty());
  EXPECT_EQ(db.store_lease_set2(lease_set(3, 1000, 600), 1599), true);
  const common::Hash h = hash_of(lease_set(3, 0, 0));
  EXPECT_TRUE(db.get_lease_set2(h, 1599));
  EXPECT_FALSE(db.get_lease_set2(h, 1600));
  EXPECT_EQ(db.lease_sets.size(), 1u);                                   // expired entries stay
  EXPECT_EQ(db.store_lease_set2(lease_set(3, 1000, 900), 1599), false);  // same published time
  EXPECT_EQ(db.store_lease_set2(lease_set(3, 1001, 600), 1599), true);
  EXPECT_EQ(db.lease_sets.size(), 1u);
  db.remove_lease_set2(h);
  EXPECT_TRUE(db.lease_sets.empty());
}

TEST(NetDbLeaseSet2, OfflineSignaturesMustBothVerify) {
  NetDb db;
  EXPECT_EQ(db.store_lease_set2(offline_lease_set(4, 40, 4, 1000, 600), 1100), true);
  expect_error(db.store_lease_set2(offline_lease_set(5, 50, 51, 1000, 600), 1100), NetDbError::BadSignature,
               "LeaseSet2 Ed25519 signature verification failed");
  common::LeaseSet2 tampered = lease_set(6, 1000, 600);
  tampered.expires = 700;
  expect_error(db.store_lease_set2(tampered, 1100), NetDbError::BadSignature,
               "LeaseSet2 Ed25519 signature verification failed");
  EXPECT_EQ(db.lease_sets.size(), 1u);
}

TEST(NetDbLeaseSet2, FoundByB32AddressInAnyCase) {
  NetDb db;
  ASSERT_EQ(db.store_lease_set2(lease_set(7, 1000, 600), 1100), true);
  std::string address = hash_of(lease_set(7, 0, 0)).to_b32_address();
  std::string upper = address;
  std::transform(upper.begin(), upper.end(), upper.begin(), [](char c) { return static_cast<char>(std::toupper(c)); });
  EXPECT_TRUE(db.get_lease_set2_by_b32(upper, 1100));
  EXPECT_FALSE(db.get_lease_set2_by_b32(address.substr(0, 52), 1100));
  EXPECT_FALSE(db.get_lease_set2_by_b32(address, 1600));  // no longer live
}

TEST(NetDbDatabaseStore, GzippedRouterInfoFromAnotherImplementation) {
  const Bytes ri = read_testdata("ff-127.0.0.2.dat");
  ASSERT_FALSE(ri.empty());
  auto key_bytes = encoding::base32_decode("caqhbjurlthg3emdqpmlvmp2wnlrhsr5o65wbd5nm6ytzfzcfida");
  ASSERT_TRUE(key_bytes);
  auto key = common::Hash::from_bytes(*key_bytes);
  ASSERT_TRUE(key);

  NetDb db;
  Bytes data = with_length_prefix(zlib_gzip(ri));
  data.push_back(0xDE);
  data.push_back(0xAD);                                            // bytes after the gzip member are ignored
  EXPECT_EQ(db.handle_database_store(0x10, *key, data, 0), true);  // high bits ignored
  ASSERT_EQ(db.router_infos.size(), 1u);
  EXPECT_EQ(db.router_infos[0].router_info->published, 1796906486320u);
  EXPECT_EQ(db.floodfill_count(), 1u);  // caps "Xf"

  // The same RouterInfo uncompressed is no news.
  EXPECT_EQ(db.handle_database_store(0, *key, ri, 0), false);

  // Plain RouterInfo of the second file, counted as no floodfill (caps "L").
  const Bytes plain = read_testdata("plain-127.0.0.3.dat");
  encoding::Reader reader(plain);
  auto decoded = common::RouterInfo::decode(reader);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(db.handle_database_store(0, hash_of(*decoded), plain, 0), true);
  EXPECT_EQ(db.floodfill_count(), 1u);

  expect_error(db.handle_database_store(0, hash_of(*decoded), with_length_prefix(zlib_gzip(ri)), 0),
               NetDbError::Invalid, "DatabaseStore key does not match RouterIdentity hash");
}

TEST(NetDbDatabaseStore, MalformedInputIsRefused) {
  NetDb db;
  const common::Hash key{};
  expect_error(db.handle_database_store(0, key, Bytes{0x00, 0x00, 0x1F, 0x8B, 0x08}, 0), NetDbError::Invalid,
               "DatabaseStore gzip length prefix 0 does not match payload 3");
  Bytes short_member{0x01, 0xF4, 0x1F, 0x8B};
  short_member.resize(302, 0);
  expect_error(db.handle_database_store(0, key, short_member, 0), NetDbError::Invalid,
               "DatabaseStore gzip length prefix 500 does not match payload 300");
  Bytes bad_gzip{0x00, 0x06, 0x1F, 0x8B, 0x08, 0x00, 0x00, 0x00};
  expect_error(db.handle_database_store(0, key, bad_gzip, 0), NetDbError::Invalid,
               "DatabaseStore RouterInfo gunzip failed");
  expect_error(db.handle_database_store(1, key, Bytes{1, 2, 3}, 0), NetDbError::Invalid,
               "unsupported DatabaseStore type: 1");
  expect_error(db.handle_database_store(0x25, key, Bytes{}, 0), NetDbError::Invalid,
               "unsupported DatabaseStore type: 5");

  auto truncated = db.handle_database_store(0, key, Bytes{1, 2, 3}, 0);
  ASSERT_FALSE(truncated);
  EXPECT_TRUE(truncated.error().is(NetDbError::Common));
  ASSERT_TRUE(truncated.error().inner());
  EXPECT_TRUE(truncated.error().inner()->in_family<CommonError>());
  EXPECT_TRUE(db.router_infos.empty());
}

TEST(NetDbDatabaseStore, CompressedRouterInfoInflatesToAtMost65535Bytes) {
  // Bytes after the signature are ignored, so zeros after a real RouterInfo make a member
  // that inflates as far as wanted from a few kilobytes.
  const Bytes ri = read_testdata("ff-127.0.0.2.dat");
  ASSERT_FALSE(ri.empty());
  encoding::Reader reader(ri);
  auto decoded = common::RouterInfo::decode(reader);
  ASSERT_TRUE(decoded);
  const common::Hash key = hash_of(*decoded);
  struct Case {
    std::size_t inflated_size;
    bool accepted;
  };
  const Case cases[] = {{65535, true}, {65536, false}, {1u << 20, false}};
  for (const Case& c : cases) {
    Bytes padded = ri;
    padded.resize(c.inflated_size, 0);
    const Bytes gz = zlib_gzip(padded);
    ASSERT_LE(gz.size(), 65535u);
    NetDb db;
    auto stored = db.handle_database_store(0, key, with_length_prefix(gz), 0);
    if (c.accepted) {
      EXPECT_EQ(stored, true) << c.inflated_size;
    } else {
      expect_error(stored, NetDbError::Invalid, "DatabaseStore RouterInfo gunzip failed");
      EXPECT_TRUE(db.router_infos.empty());
    }
  }
}

TEST(NetDbDatabaseStore, LeaseSet2UnderItsDestinationKey) {
  NetDb db;
  const common::LeaseSet2 ls = lease_set(8, 5000, 600);
  const Bytes bytes = *ls.to_bytes();
  expect_error(db.handle_database_store(3, hash_of(lease_set(9, 0, 0)), bytes, 5001), NetDbError::Invalid,
               "DatabaseStore key does not match Destination hash");
  EXPECT_EQ(db.handle_database_store(3, hash_of(ls), bytes, 5001), true);
  EXPECT_TRUE(db.get_lease_set2(hash_of(ls), 5001));
}

TEST(NetDbFloodfill, LowerCaseFAnywhereInCaps) {
  NetDb db;
  ASSERT_TRUE(db.store_router_info(router_info(1, 1, "fLR")));
  ASSERT_TRUE(db.store_router_info(router_info(2, 1, "XfR")));
  ASSERT_TRUE(db.store_router_info(router_info(3, 1, "LRF")));
  ASSERT_TRUE(db.store_router_info(router_info(4, 1, "LR")));
  EXPECT_EQ(db.floodfill_count(), 2u);
}

TEST(NetDbClosestPeers, RoutingKeyOfTheDay) {
  common::Hash key;
  for (std::size_t i = 0; i < 32; ++i) key.bytes[i] = static_cast<std::uint8_t>(i);
  // SHA-256 of the bytes 00..1F followed by "20240229", computed with Python's hashlib.
  auto expected = encoding::hex_decode("162075edda242b590660505bafa36fccaae72133d1a36e163d964e785e651469");
  ASSERT_TRUE(expected);
  EXPECT_EQ(routing_key(key, format_utc_date(1709121600)).view().size(), 32u);
  EXPECT_TRUE(std::equal(expected->begin(), expected->end(), routing_key(key, "20240229").bytes.begin()));
}

TEST(NetDbClosestPeers, OrderedByXorDistance) {
  NetDb db;
  for (std::uint8_t n = 1; n <= 5; ++n) ASSERT_TRUE(db.store_router_info(router_info(n, 1, n == 2 ? "Rf" : "LR")));
  common::Hash key;
  for (std::size_t i = 0; i < 32; ++i) key.bytes[i] = static_cast<std::uint8_t>(i);
  const Bytes rk = *encoding::hex_decode("162075edda242b590660505bafa36fccaae72133d1a36e163d964e785e651469");

  // Expected order: distances computed here, byte by byte, and sorted by plain comparison.
  std::vector<std::pair<Bytes, common::Hash>> by_distance;
  for (const auto& e : db.router_infos) {
    Bytes d(32);
    for (std::size_t i = 0; i < 32; ++i) d[i] = e.hash.bytes[i] ^ rk[i];
    by_distance.emplace_back(d, e.hash);
  }
  std::sort(by_distance.begin(), by_distance.end());

  auto three = db.closest_peers(key, "20240229", 3, false, {});
  ASSERT_EQ(three.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(hash_of(*three[i]), by_distance[i].second) << i;

  const std::vector<common::Hash> excluded{by_distance[0].second};
  auto without_first = db.closest_peers(key, "20240229", 10, false, excluded);
  ASSERT_EQ(without_first.size(), 4u);
  for (const auto& ri : without_first) EXPECT_NE(hash_of(*ri), by_distance[0].second);
  EXPECT_EQ(hash_of(*without_first[0]), by_distance[1].second);

  EXPECT_TRUE(db.closest_peers(key, "20240229", 0, false, {}).empty());
  auto floodfills = db.closest_peers(key, "20240229", 5, true, {});
  ASSERT_EQ(floodfills.size(), 1u);
  EXPECT_EQ(hash_of(*floodfills[0]), hash_of(router_info(2, 1)));

  NetDb none;
  ASSERT_TRUE(none.store_router_info(router_info(1, 1)));
  EXPECT_TRUE(none.closest_peers(key, "20240229", 3, true, {}).empty());
}

}  // namespace
}  // namespace netdb
