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
  EXPECT_EQ(db.router_infos()[0].router_info->published, 1000u);

  RouterInfoPtr held = db.get_router_info(hash_of(router_info(1, 0)));
  ASSERT_TRUE(held);
  EXPECT_EQ(db.store_router_info(router_info(1, 1001)), true);
  ASSERT_EQ(db.router_infos().size(), 2u);
  EXPECT_EQ(db.router_infos()[0].hash, hash_of(router_info(1, 0)));
  EXPECT_EQ(db.router_infos()[0].router_info->published, 1001u);
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
  EXPECT_TRUE(db.router_infos().empty());
}

// The made-up hash of stand-in i, unlike any identity hash of the tests.
common::Hash stand_in(std::uint32_t i) {
  common::Hash h;
  for (int b = 0; b < 4; ++b) h.bytes[static_cast<std::size_t>(b)] = static_cast<std::uint8_t>(i >> (8 * b));
  h.bytes[31] = 0xF1;
  return h;
}

// Fills a list up to n entries with stand-ins under made-up hashes that share one record
// (held here, since it may be an entry of the list that grows).
void fill_to(NetDb& db, std::size_t n, RouterInfoPtr record) {
  for (std::uint32_t i = 0; db.router_infos().size() < n; ++i)
    db.insert_unverified(RouterInfoEntry{stand_in(i), record});
}
void fill_to(NetDb& db, std::size_t n, LeaseSet2Ptr record) {
  for (std::uint32_t i = 0; db.lease_sets().size() < n; ++i) db.insert_unverified(LeaseSetEntry{stand_in(i), record});
}

TEST(NetDbBounds, AFullRouterInfoListRefusesNewcomersButTakesNewerCopies) {
  NetDb db;
  ASSERT_EQ(db.store_router_info(router_info(1, 1000)), true);
  fill_to(db, kMaxRouterInfos - 1, db.router_infos()[0].router_info);
  EXPECT_EQ(db.store_router_info(router_info(2, 1000)), true);  // the 10,000th
  ASSERT_EQ(db.router_infos().size(), 10000u);
  EXPECT_EQ(db.store_router_info(router_info(3, 1000)), false);  // the 10,001st
  EXPECT_EQ(db.router_infos().size(), 10000u);
  EXPECT_EQ(db.get_router_info(hash_of(router_info(3, 0))), nullptr);
  EXPECT_EQ(db.store_router_info(router_info(1, 2000)), true);  // a newer copy of a known one
  EXPECT_EQ(db.get_router_info(hash_of(router_info(1, 0)))->published, 2000u);
  common::RouterInfo tampered = router_info(2, 1000);
  tampered.published = 3000;
  EXPECT_FALSE(db.store_router_info(tampered));  // known entries are still verified
  EXPECT_EQ(db.router_infos().size(), 10000u);
}

TEST(NetDbBounds, AFullLeaseSetListDropsDeadEntriesBeforeRefusing) {
  NetDb db;
  ASSERT_EQ(db.store_lease_set2(lease_set(1, 1000, 600), 1100), true);
  fill_to(db, kMaxLeaseSets, db.lease_sets()[0].lease_set);  // all live until 1600
  EXPECT_EQ(db.store_lease_set2(lease_set(2, 1000, 600), 1100), false);
  EXPECT_EQ(db.lease_sets().size(), 10000u);
  EXPECT_EQ(db.store_lease_set2(lease_set(1, 1001, 600), 1100), true);  // newer copy
  // Later the stand-ins are dead (they share the first record, published 1000): a newcomer
  // clears them out and is taken; the live newer copy stays.
  EXPECT_EQ(db.store_lease_set2(lease_set(2, 1550, 600), 1600), true);
  EXPECT_EQ(db.lease_sets().size(), 2u);
  EXPECT_TRUE(db.get_lease_set2(hash_of(lease_set(1, 0, 0)), 1600));
  EXPECT_TRUE(db.get_lease_set2(hash_of(lease_set(2, 0, 0)), 1600));
}

TEST(NetDbBounds, AFullListOfLiveEntriesLosesOnlyTheOneThatDied) {
  NetDb db;
  ASSERT_EQ(db.store_lease_set2(lease_set(1, 1000, 600), 1100), true);   // live until 1600
  ASSERT_EQ(db.store_lease_set2(lease_set(2, 1000, 1800), 1100), true);  // live until 2800
  fill_to(db, kMaxLeaseSets - 1, db.lease_sets()[1].lease_set);
  ASSERT_EQ(db.store_lease_set2(lease_set(3, 1000, 1800), 1100), true);   // the 10,000th
  EXPECT_EQ(db.store_lease_set2(lease_set(4, 1000, 1800), 1599), false);  // all live: refused
  EXPECT_EQ(db.lease_sets().size(), 10000u);
  // At 1600 the first entry is dead: it alone gives way, and every entry behind it, moved
  // up one place, is still found under its hash.
  EXPECT_EQ(db.store_lease_set2(lease_set(4, 1000, 1800), 1600), true);
  ASSERT_EQ(db.lease_sets().size(), 10000u);
  EXPECT_EQ(db.lease_sets()[0].hash, hash_of(lease_set(2, 0, 0)));
  EXPECT_FALSE(db.get_lease_set2(hash_of(lease_set(1, 0, 0)), 1600));
  for (std::uint8_t n : {std::uint8_t{2}, std::uint8_t{3}, std::uint8_t{4}}) {
    const LeaseSet2Ptr found = db.get_lease_set2(hash_of(lease_set(n, 0, 0)), 1600);
    ASSERT_TRUE(found) << int(n);
    EXPECT_EQ(found->destination.keys_and_cert.hash(), hash_of(lease_set(n, 0, 0)));
  }
  EXPECT_EQ(db.store_lease_set2(lease_set(5, 1000, 1800), 1601), false);  // full again, all live
}

// The first entry of the list under the hash, found by walking it.
template <typename Entry>
const Entry* walk(const std::vector<Entry>& list, const common::Hash& hash) {
  for (const Entry& e : list) {
    if (e.hash == hash) return &e;
  }
  return nullptr;
}

// The identity hashes of records 1 to 9 of the tables, at [n - 1].
const std::vector<common::Hash>& record_hashes() {
  static const std::vector<common::Hash> hashes = [] {
    std::vector<common::Hash> out;
    for (std::uint8_t n = 1; n <= 9; ++n) out.push_back(netdb_test::identity_of(n).hash());
    return out;
  }();
  return hashes;
}

// Hashes looked up after each step besides those of the list: every record of the tables
// and stand-ins that may or may not be listed.
std::vector<common::Hash> probe_hashes() {
  std::vector<common::Hash> out = record_hashes();
  for (std::uint32_t i : {0u, 1u, 5000u, 9998u, 9999u, 10000u, 20000u}) out.push_back(stand_in(i));
  return out;
}

// Each hash is listed at most once, and the look-up of every hash answers what a walk of
// the list finds: each entry as itself, and nothing for hashes not listed. A LeaseSet2 is
// answered only while live at now_s.
void expect_lookups_match_list(const NetDb& db, std::uint32_t now_s, const std::string& label) {
  static const std::vector<common::Hash> probes = probe_hashes();
  std::vector<common::Hash> ri_hashes, ls_hashes;
  for (const RouterInfoEntry& e : db.router_infos()) {
    ri_hashes.push_back(e.hash);
    EXPECT_EQ(db.get_router_info(e.hash), e.router_info) << label;
  }
  for (const LeaseSetEntry& e : db.lease_sets()) {
    ls_hashes.push_back(e.hash);
    EXPECT_EQ(db.get_lease_set2(e.hash, now_s), is_live(*e.lease_set, now_s) ? e.lease_set : nullptr) << label;
  }
  for (std::vector<common::Hash>* hashes : {&ri_hashes, &ls_hashes}) {
    std::sort(hashes->begin(), hashes->end());
    EXPECT_EQ(std::adjacent_find(hashes->begin(), hashes->end()), hashes->end()) << label << ": a hash listed twice";
  }
  for (const common::Hash& h : probes) {
    const RouterInfoEntry* ri = walk(db.router_infos(), h);
    EXPECT_EQ(db.get_router_info(h), ri ? ri->router_info : nullptr) << label;
    const LeaseSetEntry* ls = walk(db.lease_sets(), h);
    EXPECT_EQ(db.get_lease_set2(h, now_s), ls && is_live(*ls->lease_set, now_s) ? ls->lease_set : nullptr) << label;
  }
}

// The records of the tables listed in order (stand-ins left out), with their publication
// times.
template <typename Entry, typename Published>
std::vector<std::pair<int, std::uint64_t>> named_entries(const std::vector<Entry>& list, Published published) {
  const std::vector<common::Hash>& records = record_hashes();
  std::vector<std::pair<int, std::uint64_t>> out;
  for (const Entry& e : list) {
    const auto at = std::find(records.begin(), records.end(), e.hash);
    if (at != records.end()) out.emplace_back(static_cast<int>(at - records.begin()) + 1, published(e));
  }
  return out;
}

enum class Op {
  Store,   // the signed record n, published at `published`, through the checked store
  Insert,  // the record n with no signature at all, through insert_unverified
  Remove,  // the entry of record n
  FillTo,  // stand-ins inserted until the list holds `count` entries
};

struct RouterInfoStep {
  Op op;
  std::uint8_t n = 0;
  std::uint64_t published = 0;
  bool stored = false;  // Store: the answer
  std::size_t count = 0;
};

struct RouterInfoSequence {
  const char* name;
  std::vector<RouterInfoStep> steps;
  std::vector<std::pair<int, std::uint64_t>> listed;  // at the end: (record, published), in order
  std::size_t size;                                   // at the end
};

// Removals, unchecked inserts, replacements by newer stores and stores at the bound, in
// sequences: after every step each look-up agrees with the list.
TEST(NetDbChanges, RouterInfoLookupsAgreeWithTheListAfterEveryStep) {
  const std::vector<RouterInfoSequence> sequences = {
      {"removals from the front, the middle and the back",
       {{Op::Store, 1, 1000, true},
        {Op::Store, 2, 1000, true},
        {Op::Store, 3, 1000, true},
        {Op::Store, 4, 1000, true},
        {Op::Remove, 2},
        {Op::Remove, 1},
        {Op::Remove, 4},
        {Op::Remove, 4},
        {Op::Store, 3, 1000, false},
        {Op::Store, 2, 1000, true}},
       {{3, 1000}, {2, 1000}},
       2},
      {"a newer store replaces in place behind a removal",
       {{Op::Store, 1, 1000, true},
        {Op::Store, 2, 1000, true},
        {Op::Store, 3, 1000, true},
        {Op::Remove, 1},
        {Op::Store, 3, 2000, true},
        {Op::Store, 3, 2000, false},
        {Op::Store, 2, 999, false},
        {Op::Store, 1, 500, true}},
       {{2, 1000}, {3, 2000}, {1, 500}},
       3},
      {"unchecked inserts beside stores",
       {{Op::Insert, 5, 1500},
        {Op::Store, 6, 1000, true},
        {Op::Store, 5, 1400, false},
        {Op::Store, 5, 1600, true},
        {Op::Insert, 5, 1000},  // takes the place of a newer copy
        {Op::Store, 5, 1000, false},
        {Op::Remove, 5},
        {Op::Insert, 5, 700},
        {Op::Insert, 7, 800}},
       {{6, 1000}, {5, 700}, {7, 800}},
       3},
      {"at the bound",
       {{Op::Store, 1, 1000, true},
        {Op::FillTo, 0, 0, false, kMaxRouterInfos},
        {Op::Store, 2, 1000, false},
        {Op::Store, 1, 2000, true},  // a newer copy of a known one is still taken
        {Op::Remove, 1},
        {Op::Store, 1, 2000, true},  // the freed place, at the end
        {Op::Store, 2, 1000, false},
        {Op::Remove, 1},
        {Op::Insert, 3, 1000},
        {Op::Insert, 4, 1000},  // beyond the bound
        {Op::Store, 4, 1500, true},
        {Op::Store, 2, 1000, false},
        {Op::Remove, 3},
        {Op::Store, 2, 1000, false},
        {Op::Remove, 4},
        {Op::Store, 2, 1000, true}},
       {{2, 1000}},
       kMaxRouterInfos},
  };
  const RouterInfoPtr stand_in_record = std::make_shared<const common::RouterInfo>(router_info(9, 1));
  for (const RouterInfoSequence& seq : sequences) {
    NetDb db;
    for (std::size_t i = 0; i < seq.steps.size(); ++i) {
      const RouterInfoStep& step = seq.steps[i];
      const std::string label = std::string(seq.name) + ", step " + std::to_string(i);
      const common::Hash hash = step.n == 0 ? common::Hash{} : record_hashes()[step.n - 1u];
      switch (step.op) {
        case Op::Store:
          EXPECT_EQ(db.store_router_info(router_info(step.n, step.published)), step.stored) << label;
          break;
        case Op::Insert: {
          common::RouterInfo unsigned_info = router_info(step.n, step.published);
          unsigned_info.signature.clear();
          db.insert_unverified(RouterInfoEntry{hash, std::make_shared<const common::RouterInfo>(unsigned_info)});
          break;
        }
        case Op::Remove: db.remove_router_info(hash); break;
        case Op::FillTo: fill_to(db, step.count, stand_in_record); break;
      }
      expect_lookups_match_list(db, 0, label);
    }
    EXPECT_EQ(named_entries(db.router_infos(), [](const RouterInfoEntry& e) { return e.router_info->published; }),
              seq.listed)
        << seq.name;
    EXPECT_EQ(db.router_infos().size(), seq.size) << seq.name;
  }
}

struct LeaseSetStep {
  Op op;
  std::uint32_t now;
  std::uint8_t n = 0;
  std::uint32_t published = 0;  // Store, Insert, FillTo: of the record
  std::uint16_t expires = 0;
  bool stored = false;  // Store: the answer
  std::size_t count = 0;
};

struct LeaseSetSequence {
  const char* name;
  std::vector<LeaseSetStep> steps;
  std::vector<std::pair<int, std::uint64_t>> listed;  // at the end: (record, published), in order
  std::size_t size;                                   // at the end
};

// As for RouterInfos, with liveness: look-ups answer only live entries, and a full list
// drops its dead entries, whichever way they came in, before it refuses a newcomer.
TEST(NetDbChanges, LeaseSetLookupsAgreeWithTheListAfterEveryStep) {
  const std::vector<LeaseSetSequence> sequences = {
      {"removals from the front, the middle and the back",
       {{Op::Store, 1100, 1, 1000, 600, true},
        {Op::Store, 1100, 2, 1000, 600, true},
        {Op::Store, 1100, 3, 1000, 600, true},
        {Op::Store, 1100, 4, 1000, 600, true},
        {Op::Remove, 1100, 2},
        {Op::Remove, 1100, 1},
        {Op::Remove, 1100, 4},
        {Op::Remove, 1100, 4},
        {Op::Store, 1100, 2, 1000, 600, true}},
       {{3, 1000}, {2, 1000}},
       2},
      {"a newer store replaces a dead entry in place",
       {{Op::Store, 1100, 1, 1000, 600, true},
        {Op::Store, 1100, 2, 1000, 1800, true},
        {Op::Store, 1700, 3, 1000, 1800, true},  // 1 is dead, and kept
        {Op::Store, 1700, 1, 1000, 900, false},
        {Op::Store, 1700, 1, 1650, 600, true},
        {Op::Remove, 1700, 2},
        {Op::Store, 1700, 3, 1500, 600, true}},
       {{1, 1650}, {3, 1500}},
       2},
      {"unchecked inserts, live or not",
       {{Op::Insert, 2000, 5, 1000, 600},  // dead already: listed, not answered
        {Op::Store, 2000, 5, 1000, 1800, false},
        {Op::Store, 2000, 5, 1900, 600, true},
        {Op::Insert, 2000, 5, 1000, 600},
        {Op::Store, 2000, 6, 1900, 600, true},
        {Op::Remove, 2000, 5},
        {Op::Insert, 2000, 5, 1950, 600}},
       {{6, 1900}, {5, 1950}},
       2},
      {"at the bound, live stand-ins",
       {{Op::Store, 1100, 1, 1000, 600, true},  // live until 1600
        {Op::FillTo, 1100, 0, 1000, 1800, false, kMaxLeaseSets},
        {Op::Store, 1100, 2, 1000, 600, false},
        {Op::Store, 1599, 1, 1001, 599, true},  // newer, live until 1600 as well
        {Op::Store, 1599, 2, 1000, 600, false},
        {Op::Store, 1600, 2, 1000, 1800, true},  // 1 died and gave way
        {Op::Store, 1600, 3, 1000, 1800, false},
        {Op::Remove, 1600, 2},
        {Op::Insert, 1600, 3, 1000, 1800},
        {Op::Insert, 1600, 4, 1000, 1800},  // beyond the bound
        {Op::Store, 1600, 4, 1100, 1800, true},
        {Op::Remove, 1600, 3},
        {Op::Store, 1600, 5, 1000, 1800, false}},
       {{4, 1100}},
       kMaxLeaseSets},
      {"at the bound, stand-ins that die first",
       {{Op::Store, 1100, 1, 1000, 1800, true},                  // live until 2800
        {Op::FillTo, 1100, 0, 1000, 600, false, kMaxLeaseSets},  // live until 1600
        {Op::Store, 1599, 2, 1000, 1800, false},
        {Op::Store, 1600, 2, 1000, 1800, true},
        {Op::Store, 1600, 3, 1000, 1800, true}},
       {{1, 1000}, {2, 1000}, {3, 1000}},
       3},
  };
  for (const LeaseSetSequence& seq : sequences) {
    NetDb db;
    for (std::size_t i = 0; i < seq.steps.size(); ++i) {
      const LeaseSetStep& step = seq.steps[i];
      const std::string label = std::string(seq.name) + ", step " + std::to_string(i);
      const common::Hash hash = step.n == 0 ? common::Hash{} : record_hashes()[step.n - 1u];
      switch (step.op) {
        case Op::Store:
          EXPECT_EQ(db.store_lease_set2(lease_set(step.n, step.published, step.expires), step.now), step.stored)
              << label;
          break;
        case Op::Insert: {
          common::LeaseSet2 unsigned_ls = lease_set(step.n, step.published, step.expires);
          unsigned_ls.signature.clear();
          db.insert_unverified(LeaseSetEntry{hash, std::make_shared<const common::LeaseSet2>(unsigned_ls)});
          break;
        }
        case Op::Remove: db.remove_lease_set2(hash); break;
        case Op::FillTo:
          fill_to(db, step.count,
                  std::make_shared<const common::LeaseSet2>(lease_set(9, step.published, step.expires)));
          break;
      }
      expect_lookups_match_list(db, step.now, label);
    }
    EXPECT_EQ(named_entries(db.lease_sets(), [](const LeaseSetEntry& e) { return e.lease_set->published; }), seq.listed)
        << seq.name;
    EXPECT_EQ(db.lease_sets().size(), seq.size) << seq.name;
  }
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
  EXPECT_TRUE(db.lease_sets().empty());
  EXPECT_EQ(db.store_lease_set2(lease_set(3, 1000, 600), 1599), true);
  const common::Hash h = hash_of(lease_set(3, 0, 0));
  EXPECT_TRUE(db.get_lease_set2(h, 1599));
  EXPECT_FALSE(db.get_lease_set2(h, 1600));
  EXPECT_EQ(db.lease_sets().size(), 1u);                                 // expired entries stay
  EXPECT_EQ(db.store_lease_set2(lease_set(3, 1000, 900), 1599), false);  // same published time
  EXPECT_EQ(db.store_lease_set2(lease_set(3, 1001, 600), 1599), true);
  EXPECT_EQ(db.lease_sets().size(), 1u);
  db.remove_lease_set2(h);
  EXPECT_TRUE(db.lease_sets().empty());
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
  EXPECT_EQ(db.lease_sets().size(), 1u);
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
  ASSERT_EQ(db.router_infos().size(), 1u);
  EXPECT_EQ(db.router_infos()[0].router_info->published, 1796906486320u);
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
  EXPECT_TRUE(db.router_infos().empty());
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
      EXPECT_TRUE(db.router_infos().empty());
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
  for (const auto& e : db.router_infos()) {
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
