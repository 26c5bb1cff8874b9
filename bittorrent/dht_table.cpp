#include "bittorrent/dht_table.h"

#include <algorithm>
#include <iterator>

#include "crypto/ct_eq.h"
#include "crypto/sha256.h"

namespace bittorrent {

namespace {

bool same_bytes(ByteView a, ByteView b) { return std::ranges::equal(a, b); }

// The XOR distance of an id to a target, over at most 20 bytes; zero where the target
// has no byte.
DhtNodeId distance(ByteView id, ByteView target) {
  DhtNodeId d{};
  const std::size_t n = std::min({id.size(), target.size(), kDhtNodeIdLen});
  for (std::size_t j = 0; j < n; ++j) d[j] = static_cast<std::uint8_t>(id[j] ^ target[j]);
  return d;
}

}  // namespace

bool dht_node_id_follows_rule(ByteView id, const common::Hash& hash, std::uint32_t port) {
  if (id.size() != kDhtNodeIdLen) return false;
  for (std::size_t i = 0; i < 4; ++i) {
    if (id[i] != hash.bytes[i]) return false;
  }
  return id[4] == static_cast<std::uint8_t>(hash.bytes[4] ^ ((port >> 8) & 0xFF)) &&
         id[5] == static_cast<std::uint8_t>(hash.bytes[5] ^ (port & 0xFF));
}

DhtNodeId make_dht_node_id(const common::Hash& hash, std::uint32_t port, std::span<const std::uint8_t, 14> free_bytes) {
  DhtNodeId id{};
  std::copy_n(hash.bytes.begin(), 4, id.begin());
  id[4] = static_cast<std::uint8_t>(hash.bytes[4] ^ ((port >> 8) & 0xFF));
  id[5] = static_cast<std::uint8_t>(hash.bytes[5] ^ (port & 0xFF));
  std::ranges::copy(free_bytes, id.begin() + 6);
  return id;
}

I2pDht I2pDht::create(const common::Hash& own_hash, std::span<const std::uint8_t, 14> id_random,
                      std::span<const std::uint8_t, 32> token_secret) {
  I2pDht dht;
  dht.node_id = make_dht_node_id(own_hash, kDhtQueryPort, id_random);
  dht.own_hash = own_hash;
  std::ranges::copy(token_secret, dht.token_secret.begin());
  return dht;
}

bool I2pDht::upsert_node(ByteView id, const common::Hash& hash, std::uint32_t port, std::uint64_t now_ms) {
  if (hash == own_hash || !dht_node_id_follows_rule(id, hash, port)) return false;
  DhtNode node;
  node.id.assign(id.begin(), id.end());
  node.hash = hash;
  node.port = port;
  node.last_seen_ms = now_ms;
  for (DhtNode& known : nodes) {
    if (known.hash == hash && known.port == port) {
      known = node;
      return true;
    }
  }
  if (nodes.size() >= kDhtMaxNodes) {
    // min_element keeps the first of equal elements: the earliest in table order.
    auto stalest = std::ranges::min_element(nodes, {}, &DhtNode::last_seen_ms);
    nodes.erase(stalest);
  }
  nodes.push_back(node);
  return true;
}

std::vector<DhtNode> I2pDht::closest_nodes(ByteView target, int n) const {
  if (n <= 0) return {};
  std::vector<std::pair<DhtNodeId, const DhtNode*>> ranked;
  ranked.reserve(nodes.size());
  for (const DhtNode& node : nodes) ranked.emplace_back(distance(node.id, target), &node);
  const std::size_t count = std::min(static_cast<std::size_t>(n), ranked.size());
  // std::array compares lexicographically as unsigned bytes: the first differing byte decides.
  std::ranges::partial_sort(ranked, ranked.begin() + static_cast<std::ptrdiff_t>(count), {},
                            &std::pair<DhtNodeId, const DhtNode*>::first);
  std::vector<DhtNode> out;
  out.reserve(count);
  for (std::size_t i = 0; i < count; ++i) out.push_back(*ranked[i].second);
  return out;
}

DhtToken I2pDht::make_token(const common::Hash& requester) const {
  crypto::Sha256 h;
  h.update(ByteView(token_secret));
  h.update(requester.view());
  const crypto::Sha256Digest digest = h.finalize();
  DhtToken token{};
  std::copy_n(digest.begin(), kDhtTokenLen, token.begin());
  return token;
}

bool I2pDht::token_matches(const common::Hash& requester, ByteView token) const {
  const DhtToken expected = make_token(requester);
  return crypto::ct_eq(ByteView(expected), token);
}

void I2pDht::store_peer(ByteView info_hash, const common::Hash& peer, std::uint64_t now_ms) {
  if (info_hash.size() != 20) return;
  const DhtPeerEntry entry{peer, now_ms + kDhtPeerLifetimeMs};
  for (DhtStoredTorrent& torrent : peer_store) {
    if (!same_bytes(torrent.info_hash, info_hash)) continue;
    for (DhtPeerEntry& known : torrent.peers) {
      if (known.peer == peer) {
        known = entry;
        return;
      }
    }
    if (torrent.peers.size() >= kDhtMaxPeersPerTorrent) {
      torrent.peers.erase(
          torrent.peers.begin(),
          torrent.peers.begin() + static_cast<std::ptrdiff_t>(torrent.peers.size() - kDhtMaxPeersPerTorrent + 1));
    }
    torrent.peers.push_back(entry);
    return;
  }
  if (peer_store.size() >= kDhtMaxStoredTorrents) {
    peer_store.erase(peer_store.begin(),
                     peer_store.begin() + static_cast<std::ptrdiff_t>(peer_store.size() - kDhtMaxStoredTorrents + 1));
  }
  peer_store.push_back(DhtStoredTorrent{Bytes(info_hash.begin(), info_hash.end()), {entry}});
}

std::vector<common::Hash> I2pDht::live_peers(ByteView info_hash, std::uint64_t now_ms) {
  std::vector<common::Hash> out;
  for (DhtStoredTorrent& torrent : peer_store) {
    if (!same_bytes(torrent.info_hash, info_hash)) continue;
    std::erase_if(torrent.peers, [now_ms](const DhtPeerEntry& e) { return e.expires_ms <= now_ms; });
    for (const DhtPeerEntry& e : torrent.peers) out.push_back(e.peer);
    break;
  }
  return out;
}

void I2pDht::add_pending_tx(DhtPendingTx tx) {
  if (pending.size() >= kDhtMaxPending) {
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(pending.size() - kDhtMaxPending + 1));
  }
  pending.push_back(std::move(tx));
}

void I2pDht::expire_pending_tx(std::uint64_t now_ms) {
  std::erase_if(pending, [now_ms](const DhtPendingTx& tx) { return now_ms >= dht_pending_expiry_ms(tx); });
}

std::optional<DhtPendingTx> I2pDht::take_pending_tx(ByteView tid) {
  auto it = std::ranges::find_if(pending, [tid](const DhtPendingTx& tx) { return same_bytes(tx.tid, tid); });
  if (it == pending.end()) return std::nullopt;
  DhtPendingTx found = std::move(*it);
  pending.erase(it);
  ++responses_recv;
  return found;
}

}  // namespace bittorrent
