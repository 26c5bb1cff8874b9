// The DHT node table: the node-id rule, the bounded routing table, closest-node order,
// announce tokens (against OpenSSL's SHA-256), the bounded peer store and pending queries.
#include "bittorrent/dht_table.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

namespace bittorrent {
namespace {

constexpr std::array<std::uint8_t, 14> kFree = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14};
constexpr std::array<std::uint8_t, 32> kSecret = {0xA5, 0x5A, 7,  9,   11,  13,  17,  19,  23,  29, 31,
                                                  37,   41,   43, 47,  53,  59,  61,  67,  71,  73, 79,
                                                  83,   89,   97, 101, 103, 107, 109, 113, 127, 131};

common::Hash hash_of(std::uint8_t first, std::uint8_t second = 0, std::uint8_t fill = 0x33) {
  common::Hash h;
  h.bytes.fill(fill);
  h.bytes[0] = first;
  h.bytes[1] = second;
  return h;
}

// An id for (hash, port) written out byte by byte, independent of make_dht_node_id.
Bytes rule_id(const common::Hash& h, std::uint8_t port_hi, std::uint8_t port_lo, std::uint8_t tail = 0x77) {
  Bytes id(20, tail);
  for (int i = 0; i < 4; ++i) id[static_cast<std::size_t>(i)] = h.bytes[static_cast<std::size_t>(i)];
  id[4] = static_cast<std::uint8_t>(h.bytes[4] ^ port_hi);
  id[5] = static_cast<std::uint8_t>(h.bytes[5] ^ port_lo);
  return id;
}

I2pDht fresh_dht() { return I2pDht::create(hash_of(0xEE, 0xEE, 0xEE), kFree, kSecret); }

TEST(DhtNodeIdRule, CasesTable) {
  const common::Hash h = hash_of(0x10, 0x20, 0x5C);
  Bytes wrong4 = rule_id(h, 0x1A, 0xE1);
  wrong4[4] ^= 0x01;
  Bytes wrong5 = rule_id(h, 0x1A, 0xE1);
  wrong5[5] ^= 0x80;
  Bytes wrong0 = rule_id(h, 0x1A, 0xE1);
  wrong0[0] ^= 0x01;
  Bytes short_id = rule_id(h, 0x1A, 0xE1);
  short_id.pop_back();
  Bytes long_id = rule_id(h, 0x1A, 0xE1);
  long_id.push_back(0);
  Bytes free_changed = rule_id(h, 0x1A, 0xE1, 0x00);
  free_changed[19] = 0xFF;
  struct Case {
    const char* name;
    Bytes id;
    std::uint32_t port;
    bool ok;
  };
  const std::vector<Case> cases = {
      {"6881", rule_id(h, 0x1A, 0xE1), 6881, true},
      {"6882", rule_id(h, 0x1A, 0xE2), 6882, true},
      {"6882 id at 6881", rule_id(h, 0x1A, 0xE2), 6881, false},
      {"6881 id at 6882", rule_id(h, 0x1A, 0xE1), 6882, false},
      {"free bytes are free", free_changed, 6881, true},
      {"byte 4 wrong", wrong4, 6881, false},
      {"byte 5 wrong", wrong5, 6881, false},
      {"byte 0 wrong", wrong0, 6881, false},
      {"19 bytes", short_id, 6881, false},
      {"21 bytes", long_id, 6881, false},
      {"empty", Bytes{}, 6881, false},
      {"port 0", rule_id(h, 0, 0), 0, true},
      {"port 65535", rule_id(h, 0xFF, 0xFF), 65535, true},
      // Only the low 16 bits of the port count.
      {"port 0x11AE1", rule_id(h, 0x1A, 0xE1), 0x11AE1, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(dht_node_id_follows_rule(c.id, h, c.port), c.ok) << c.name;
  }
}

TEST(DhtNodeIdRule, MadeIdsFollowTheRule) {
  const common::Hash h = hash_of(0xAB, 0xCD, 0x91);
  const DhtNodeId id = make_dht_node_id(h, 6882, kFree);
  EXPECT_EQ(Bytes(id.begin(), id.end()), [&] {
    Bytes want = rule_id(h, 0x1A, 0xE2);
    std::copy(kFree.begin(), kFree.end(), want.begin() + 6);
    return want;
  }());
}

TEST(I2pDhtCreate, OwnIdPortsSecretAndEmptyState) {
  const common::Hash own = hash_of(0x01, 0x02, 0x40);
  const I2pDht dht = I2pDht::create(own, kFree, kSecret);
  Bytes want = rule_id(own, 0x1A, 0xE1);
  std::copy(kFree.begin(), kFree.end(), want.begin() + 6);
  EXPECT_EQ(Bytes(dht.node_id.begin(), dht.node_id.end()), want);
  EXPECT_EQ(dht.own_hash, own);
  EXPECT_EQ(dht.query_port, 6881u);
  EXPECT_EQ(dht.reply_port, 6882u);
  EXPECT_EQ(dht.token_secret, kSecret);
  EXPECT_TRUE(dht.nodes.empty() && dht.pending.empty() && dht.peer_store.empty());
  EXPECT_EQ(dht.next_tid, 1u);
  EXPECT_EQ(dht.queries_sent + dht.responses_recv + dht.queries_recv + dht.peers_discovered, 0u);
}

TEST(DhtUpsert, RefusalsTable) {
  I2pDht dht = fresh_dht();
  const common::Hash other = hash_of(0x42);
  Bytes bad4 = rule_id(other, 0x1A, 0xE1);
  bad4[4] ^= 0x10;
  Bytes short_id = rule_id(other, 0x1A, 0xE1);
  short_id.pop_back();
  struct Case {
    const char* name;
    Bytes id;
    common::Hash hash;
    std::uint32_t port;
  };
  const std::vector<Case> refused = {
      {"own hash with a valid id", rule_id(dht.own_hash, 0x1A, 0xE1), dht.own_hash, 6881},
      {"19-byte id", short_id, other, 6881},
      {"byte 4 off", bad4, other, 6881},
      {"6882 id at 6881", rule_id(other, 0x1A, 0xE2), other, 6881},
  };
  for (const Case& c : refused) {
    EXPECT_FALSE(dht.upsert_node(c.id, c.hash, c.port, 1000)) << c.name;
  }
  EXPECT_TRUE(dht.nodes.empty());
  EXPECT_TRUE(dht.upsert_node(rule_id(other, 0x1A, 0xE2), other, 6882, 1000));
  ASSERT_EQ(dht.nodes.size(), 1u);
  EXPECT_EQ(dht.nodes[0].port, 6882u);
  EXPECT_EQ(dht.nodes[0].last_seen_ms, 1000u);
}

TEST(DhtUpsert, RefreshInPlaceAndOtherPortIsAnotherNode) {
  I2pDht dht = fresh_dht();
  const common::Hash a = hash_of(1), b = hash_of(2), c = hash_of(3);
  ASSERT_TRUE(dht.upsert_node(rule_id(a, 0x1A, 0xE1, 0x01), a, 6881, 10));
  ASSERT_TRUE(dht.upsert_node(rule_id(b, 0x1A, 0xE1), b, 6881, 20));
  ASSERT_TRUE(dht.upsert_node(rule_id(c, 0x1A, 0xE1), c, 6881, 30));
  // A changes its free id bytes: accepted, refreshed where it stands.
  ASSERT_TRUE(dht.upsert_node(rule_id(a, 0x1A, 0xE1, 0x02), a, 6881, 40));
  ASSERT_EQ(dht.nodes.size(), 3u);
  EXPECT_EQ(dht.nodes[0].hash, a);
  EXPECT_EQ(dht.nodes[0].last_seen_ms, 40u);
  EXPECT_EQ(dht.nodes[0].id[19], 0x02);
  // The same destination at another port is a node of its own.
  ASSERT_TRUE(dht.upsert_node(rule_id(a, 0x1A, 0xE2), a, 6882, 50));
  ASSERT_EQ(dht.nodes.size(), 4u);
  EXPECT_EQ(dht.nodes[3].port, 6882u);
  EXPECT_EQ(dht.nodes[0].port, 6881u);
}

TEST(DhtUpsert, TableHolds160AndEvictsTheStalest) {
  I2pDht dht = fresh_dht();
  // 160 distinct nodes; node 37 is the stalest, nodes 90 and 120 tie for second.
  for (int i = 0; i < 160; ++i) {
    const common::Hash h = hash_of(static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i >> 8));
    std::uint64_t seen = 10'000 + static_cast<std::uint64_t>(i);
    if (i == 37) seen = 5;
    if (i == 90 || i == 120) seen = 7;
    ASSERT_TRUE(dht.upsert_node(rule_id(h, 0x1A, 0xE1), h, 6881, seen));
  }
  ASSERT_EQ(dht.nodes.size(), 160u);
  const common::Hash n161 = hash_of(200, 1);
  ASSERT_TRUE(dht.upsert_node(rule_id(n161, 0x1A, 0xE1), n161, 6881, 20'000));
  ASSERT_EQ(dht.nodes.size(), 160u);
  auto has = [&](const common::Hash& h) {
    return std::ranges::any_of(dht.nodes, [&](const DhtNode& n) { return n.hash == h; });
  };
  EXPECT_FALSE(has(hash_of(37)));
  EXPECT_TRUE(has(n161));
  EXPECT_EQ(dht.nodes.back().hash, n161);
  // The gap closed: node 38 now stands where 37 was.
  EXPECT_EQ(dht.nodes[37].hash, hash_of(38));
  // Of the two equally stale nodes, the earlier in the table goes first.
  const common::Hash n162 = hash_of(201, 1);
  ASSERT_TRUE(dht.upsert_node(rule_id(n162, 0x1A, 0xE1), n162, 6881, 20'001));
  EXPECT_FALSE(has(hash_of(90)));
  EXPECT_TRUE(has(hash_of(120)));
  // Refreshing a known node never evicts anything.
  ASSERT_TRUE(dht.upsert_node(rule_id(hash_of(120), 0x1A, 0xE1), hash_of(120), 6881, 30'000));
  EXPECT_EQ(dht.nodes.size(), 160u);
  EXPECT_TRUE(has(hash_of(121)));
}

TEST(DhtClosest, OrderAgainstHandComputedDistances) {
  I2pDht dht = fresh_dht();
  EXPECT_TRUE(dht.closest_nodes(Bytes(20, 0), 8).empty());
  // First id bytes 0x80, 0x7F, 0x00, 0xFF, 0x01: against a zero target the distance is
  // the id itself, compared as unsigned bytes.
  const std::vector<std::uint8_t> firsts = {0x80, 0x7F, 0x00, 0xFF, 0x01};
  for (std::uint8_t f : firsts) {
    const common::Hash h = hash_of(f);
    ASSERT_TRUE(dht.upsert_node(rule_id(h, 0x1A, 0xE1), h, 6881, 1));
  }
  auto firsts_of = [](const std::vector<DhtNode>& v) {
    std::vector<std::uint8_t> out;
    for (const DhtNode& n : v) out.push_back(n.id[0]);
    return out;
  };
  EXPECT_EQ(firsts_of(dht.closest_nodes(Bytes(20, 0), 3)), (std::vector<std::uint8_t>{0x00, 0x01, 0x7F}));
  EXPECT_EQ(firsts_of(dht.closest_nodes(Bytes(20, 0), 99)), (std::vector<std::uint8_t>{0x00, 0x01, 0x7F, 0x80, 0xFF}));
  // Target 0x80...: the ids 0x80, 0x7F, 0x00, 0xFF, 0x01 lie at 0x00, 0xFF, 0x80, 0x7F, 0x81.
  Bytes t80(20, 0);
  t80[0] = 0x80;
  EXPECT_EQ(firsts_of(dht.closest_nodes(t80, 5)), (std::vector<std::uint8_t>{0x80, 0xFF, 0x00, 0x01, 0x7F}));
  // A one-byte target counts as zero beyond its end; a longer one is read to 20 bytes.
  EXPECT_EQ(firsts_of(dht.closest_nodes(Bytes{0xFE}, 2)), (std::vector<std::uint8_t>{0xFF, 0x80}));
  EXPECT_EQ(firsts_of(dht.closest_nodes(Bytes(32, 0), 1)), (std::vector<std::uint8_t>{0x00}));
  EXPECT_TRUE(dht.closest_nodes(Bytes(20, 0), 0).empty());
  EXPECT_TRUE(dht.closest_nodes(Bytes(20, 0), -4).empty());
}

TEST(DhtClosest, LaterBytesDecideWhenEarlierOnesTie) {
  I2pDht dht = fresh_dht();
  // Same first four hash bytes; byte 4 of the id differs through the hash.
  common::Hash a = hash_of(9), b = hash_of(9);
  a.bytes[4] = 0x90;  // id[4] = 0x90 ^ 0x1A = 0x8A
  b.bytes[4] = 0x10;  // id[4] = 0x0A
  ASSERT_TRUE(dht.upsert_node(rule_id(a, 0x1A, 0xE1), a, 6881, 1));
  ASSERT_TRUE(dht.upsert_node(rule_id(b, 0x1A, 0xE1), b, 6881, 1));
  const auto near = dht.closest_nodes(Bytes(20, 0), 2);
  ASSERT_EQ(near.size(), 2u);
  EXPECT_EQ(near[0].hash, b);
  EXPECT_EQ(near[1].hash, a);
}

TEST(DhtToken, EqualsOpenSslSha256OfSecretAndRequester) {
  const I2pDht dht = fresh_dht();
  const common::Hash r1 = hash_of(0x11), r2 = hash_of(0x12);
  std::array<std::uint8_t, 64> input{};
  std::copy(kSecret.begin(), kSecret.end(), input.begin());
  std::copy(r1.bytes.begin(), r1.bytes.end(), input.begin() + 32);
  std::array<std::uint8_t, 32> digest{};
  SHA256(input.data(), input.size(), digest.data());
  const DhtToken t1 = dht.make_token(r1);
  EXPECT_TRUE(std::equal(t1.begin(), t1.end(), digest.begin()));
  EXPECT_EQ(dht.make_token(r1), t1);
  EXPECT_NE(dht.make_token(r2), t1);
  EXPECT_TRUE(dht.token_matches(r1, t1));
  EXPECT_FALSE(dht.token_matches(r2, t1));
  EXPECT_FALSE(dht.token_matches(r1, ByteView(t1).first(7)));
  Bytes longer(t1.begin(), t1.end());
  longer.push_back(0);
  EXPECT_FALSE(dht.token_matches(r1, longer));
  // Another node's secret gives other tokens for the same requester.
  std::array<std::uint8_t, 32> other_secret = kSecret;
  other_secret[0] ^= 1;
  EXPECT_NE(I2pDht::create(dht.own_hash, kFree, other_secret).make_token(r1), t1);
}

Bytes info_hash_of(std::uint8_t b) { return Bytes(20, b); }

TEST(DhtPeerStore, PeersPerTorrentBoundAndRenewal) {
  I2pDht dht = fresh_dht();
  const Bytes ih = info_hash_of(0xA1);
  for (int i = 0; i < 64; ++i)
    dht.store_peer(ih, hash_of(static_cast<std::uint8_t>(i)), 1000 + static_cast<std::uint64_t>(i));
  ASSERT_EQ(dht.peer_store.size(), 1u);
  ASSERT_EQ(dht.peer_store[0].peers.size(), 64u);
  // A known peer again: expiry renewed in place, nothing dropped.
  dht.store_peer(ih, hash_of(5), 9000);
  ASSERT_EQ(dht.peer_store[0].peers.size(), 64u);
  EXPECT_EQ(dht.peer_store[0].peers[5].peer, hash_of(5));
  EXPECT_EQ(dht.peer_store[0].peers[5].expires_ms, 9000u + 1'800'000u);
  // The 65th distinct peer drops the first.
  dht.store_peer(ih, hash_of(200), 2000);
  ASSERT_EQ(dht.peer_store[0].peers.size(), 64u);
  EXPECT_EQ(dht.peer_store[0].peers.front().peer, hash_of(1));
  EXPECT_EQ(dht.peer_store[0].peers.back().peer, hash_of(200));
  EXPECT_EQ(dht.peer_store[0].peers.back().expires_ms, 2000u + 1'800'000u);
}

TEST(DhtPeerStore, InfoHashBoundAndBadLengthIgnored) {
  I2pDht dht = fresh_dht();
  dht.store_peer(Bytes(32, 1), hash_of(1), 0);
  dht.store_peer(Bytes(19, 1), hash_of(1), 0);
  dht.store_peer(Bytes{}, hash_of(1), 0);
  EXPECT_TRUE(dht.peer_store.empty());
  for (int i = 0; i < 128; ++i) dht.store_peer(info_hash_of(static_cast<std::uint8_t>(i)), hash_of(1), 0);
  dht.store_peer(info_hash_of(0), hash_of(2), 0);  // known info hash: no eviction
  ASSERT_EQ(dht.peer_store.size(), 128u);
  EXPECT_EQ(dht.peer_store[0].peers.size(), 2u);
  dht.store_peer(info_hash_of(200), hash_of(3), 0);  // the 129th drops the oldest with its peers
  ASSERT_EQ(dht.peer_store.size(), 128u);
  EXPECT_EQ(dht.peer_store.front().info_hash, info_hash_of(1));
  EXPECT_EQ(dht.peer_store.back().info_hash, info_hash_of(200));
  EXPECT_TRUE(dht.live_peers(info_hash_of(0), 0).empty());
}

TEST(DhtPeerStore, LivePeersDropTheExpired) {
  I2pDht dht = fresh_dht();
  const Bytes ih = info_hash_of(7);
  dht.store_peer(ih, hash_of(1), 0);        // expires 1,800,000
  dht.store_peer(ih, hash_of(2), 100'000);  // expires 1,900,000
  dht.store_peer(ih, hash_of(3), 50'000);   // expires 1,850,000
  EXPECT_EQ(dht.live_peers(ih, 1'799'999), (std::vector<common::Hash>{hash_of(1), hash_of(2), hash_of(3)}));
  EXPECT_EQ(dht.peer_store[0].peers.size(), 3u);
  // At its expiry a peer is gone, and stays gone from the store.
  EXPECT_EQ(dht.live_peers(ih, 1'850'000), (std::vector<common::Hash>{hash_of(2)}));
  EXPECT_EQ(dht.peer_store[0].peers.size(), 1u);
  EXPECT_TRUE(dht.live_peers(info_hash_of(8), 0).empty());
}

DhtPendingTx tx(std::uint32_t n, std::uint64_t sent) {
  DhtPendingTx t;
  t.tid = {static_cast<std::uint8_t>(n >> 24), static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 8),
           static_cast<std::uint8_t>(n)};
  t.query = "ping";
  t.dest = hash_of(static_cast<std::uint8_t>(n));
  t.port = 6881;
  t.sent_ms = sent;
  return t;
}

TEST(DhtPending, TakeMatchesWholeIdOnceAndCounts) {
  I2pDht dht = fresh_dht();
  dht.add_pending_tx(tx(1, 0));
  dht.add_pending_tx(tx(2, 0));
  dht.add_pending_tx(tx(3, 0));
  EXPECT_FALSE(dht.take_pending_tx(Bytes{0, 0, 0, 9}).has_value());
  EXPECT_FALSE(dht.take_pending_tx(Bytes{0, 0, 2}).has_value());  // a prefix is not the id
  EXPECT_FALSE(dht.take_pending_tx(Bytes{}).has_value());
  EXPECT_EQ(dht.responses_recv, 0u);
  auto got = dht.take_pending_tx(Bytes{0, 0, 0, 2});
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(*got, tx(2, 0));
  EXPECT_EQ(dht.responses_recv, 1u);
  EXPECT_FALSE(dht.take_pending_tx(Bytes{0, 0, 0, 2}).has_value());
  EXPECT_EQ(dht.responses_recv, 1u);
  ASSERT_EQ(dht.pending.size(), 2u);
  EXPECT_EQ(dht.pending[0], tx(1, 0));
  EXPECT_EQ(dht.pending[1], tx(3, 0));
}

TEST(DhtPending, BoundOf256AndExpiry) {
  I2pDht dht = fresh_dht();
  for (std::uint32_t i = 1; i <= 257; ++i) dht.add_pending_tx(tx(i, i));
  ASSERT_EQ(dht.pending.size(), 256u);
  EXPECT_EQ(dht.pending.front(), tx(2, 2));
  EXPECT_FALSE(dht.take_pending_tx(tx(1, 0).tid).has_value());
  // Entries older than 30,000 ms go; one exactly 30,000 ms old stays.
  dht.expire_pending_tx(30'100);
  ASSERT_FALSE(dht.pending.empty());
  EXPECT_EQ(dht.pending.front().sent_ms, 100u);
  EXPECT_EQ(dht.pending.size(), 158u);
}

}  // namespace
}  // namespace bittorrent
