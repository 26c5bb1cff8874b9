#pragma once
// The state of our DHT node: its id, ports and token secret, a flat routing table, the
// queries awaiting replies and the peers others announced to us.
//
// In the I2P DHT a node is reachable only through its destination, so its id is tied to
// the destination hash and its DHT port: the first six id bytes follow from them (see
// dht_node_id_follows_rule). A node that breaks the rule never enters the table.
//
// Pure state: no I/O, time passed in as unix ms, randomness passed in at creation.
// Every list is bounded; a full list drops its oldest entry to take a new one, so
// nothing a peer sends can grow the state without limit.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bittorrent/dht_node.h"
#include "common/hash.h"
#include "encoding/bytes.h"

namespace bittorrent {

inline constexpr std::size_t kDhtNodeIdLen = 20;
inline constexpr std::size_t kDhtMaxNodes = 160;
inline constexpr std::size_t kDhtMaxStoredTorrents = 128;
inline constexpr std::size_t kDhtMaxPeersPerTorrent = 64;
inline constexpr std::uint64_t kDhtPeerLifetimeMs = 1'800'000;
inline constexpr std::size_t kDhtTokenLen = 8;
inline constexpr std::size_t kDhtMaxPending = 256;
inline constexpr std::uint64_t kDhtPendingLifetimeMs = 30'000;
inline constexpr std::uint32_t kDhtQueryPort = 6881;
inline constexpr std::uint32_t kDhtReplyPort = 6882;

using DhtNodeId = std::array<std::uint8_t, kDhtNodeIdLen>;
using DhtToken = std::array<std::uint8_t, kDhtTokenLen>;

// One peer announced for a torrent.
struct DhtPeerEntry {
  common::Hash peer;
  std::uint64_t expires_ms = 0;  // announce time + kDhtPeerLifetimeMs

  friend bool operator==(const DhtPeerEntry&, const DhtPeerEntry&) = default;
};

// The peers announced for one info hash, oldest first.
struct DhtStoredTorrent {
  Bytes info_hash;
  std::vector<DhtPeerEntry> peers;
};

// One query we sent that awaits its reply.
struct DhtPendingTx {
  Bytes tid;                       // 4 bytes: the transaction counter big-endian
  std::string query;               // "ping", "find_node", "get_peers" or "announce_peer"
  std::optional<Bytes> info_hash;  // for get_peers and announce_peer
  common::Hash dest;               // the queried node
  std::uint32_t port = 0;          // its DHT port (never 0)
  std::uint64_t sent_ms = 0;

  friend bool operator==(const DhtPendingTx&, const DhtPendingTx&) = default;
};

// The first instant (unix ms) at which a pending query has expired.
inline std::uint64_t dht_pending_expiry_ms(const DhtPendingTx& tx) { return tx.sent_ms + kDhtPendingLifetimeMs + 1; }

// Whether a node id may belong to the destination hash at the DHT port: id bytes 0-3 are
// hash bytes 0-3, byte 4 is hash byte 4 XOR the port's high byte, byte 5 is hash byte 5
// XOR its low byte (bits above 16 are ignored). Bytes 6-19 are free. False unless the id
// has exactly 20 bytes.
bool dht_node_id_follows_rule(ByteView id, const common::Hash& hash, std::uint32_t port);

// The id for a destination and port by that rule, with the 14 free bytes given.
DhtNodeId make_dht_node_id(const common::Hash& hash, std::uint32_t port, std::span<const std::uint8_t, 14> free_bytes);

struct I2pDht {
  DhtNodeId node_id{};
  common::Hash own_hash;  // our torrent session's destination; refused as a node
  std::uint32_t query_port = kDhtQueryPort;
  std::uint32_t reply_port = kDhtReplyPort;
  std::array<std::uint8_t, 32> token_secret{};
  std::vector<DhtNode> nodes;                // at most kDhtMaxNodes, in insertion order
  std::vector<DhtPendingTx> pending;         // at most kDhtMaxPending, oldest first
  std::vector<DhtStoredTorrent> peer_store;  // at most kDhtMaxStoredTorrents, oldest first
  std::uint32_t next_tid = 1;
  std::uint64_t queries_sent = 0;
  std::uint64_t responses_recv = 0;
  std::uint64_t queries_recv = 0;
  std::uint64_t peers_discovered = 0;

  // A fresh node for our destination: id by the rule with port 6881 and the 14 random
  // bytes, ports 6881/6882, the 32 random bytes as the token secret, empty lists.
  static I2pDht create(const common::Hash& own_hash, std::span<const std::uint8_t, 14> id_random,
                       std::span<const std::uint8_t, 32> token_secret);

  // Stores or refreshes a node; false when refused (our own hash, an id that is not 20
  // bytes or breaks the rule for this hash and port). A known (hash, port) is refreshed
  // in place with the new id and time; a new one, when the table is full, replaces the
  // node seen least recently (the earliest in the table among equals). The same
  // destination at another port is another node.
  bool upsert_node(ByteView id, const common::Hash& hash, std::uint32_t port, std::uint64_t now_ms);

  // Up to n nodes, nearest to the target first by XOR distance over the first 20 bytes
  // (a shorter target counts as zero-padded). n of 0 or less gives none.
  std::vector<DhtNode> closest_nodes(ByteView target, int n) const;

  // The announce token for a requester: the first 8 bytes of SHA-256(secret || hash).
  // The secret never changes, so a token stays valid for the life of the node.
  DhtToken make_token(const common::Hash& requester) const;
  // Whether a token presented by the requester is the one we gave it (constant time).
  bool token_matches(const common::Hash& requester, ByteView token) const;

  // Records an announced peer until now + 30 minutes. An info hash that is not 20 bytes
  // is ignored. A known peer only has its expiry renewed; a 65th peer drops the torrent's
  // oldest, a 129th info hash drops the oldest info hash with its peers.
  void store_peer(ByteView info_hash, const common::Hash& peer, std::uint64_t now_ms);

  // The peers stored for the info hash whose expiry is later than now, in stored order;
  // expired ones met on the way are removed.
  std::vector<common::Hash> live_peers(ByteView info_hash, std::uint64_t now_ms);

  // Records a sent query; with kDhtMaxPending queries already waiting, the oldest is
  // dropped first.
  void add_pending_tx(DhtPendingTx tx);
  // Drops every pending query sent more than 30,000 ms before now.
  void expire_pending_tx(std::uint64_t now_ms);
  // The pending query with this transaction id (same length and bytes), removed from the
  // list and counted in responses_recv; none, changing nothing, when there is no such.
  std::optional<DhtPendingTx> take_pending_tx(ByteView tid);
};

}  // namespace bittorrent
