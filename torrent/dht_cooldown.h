#pragma once
// The (node, info hash) pairs the DHT asked recently, so that the same node is not asked
// about the same torrent again before its cool-down has passed. Pure: time passed in.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/hash.h"
#include "encoding/bytes.h"

namespace router {

inline constexpr std::size_t kDhtCooldownMaxEntries = 512;

struct DhtCooldownEntry {
  common::Hash node;  // the asked node's destination
  Bytes info_hash;
  std::uint64_t asked_ms = 0;  // unix ms

  friend bool operator==(const DhtCooldownEntry&, const DhtCooldownEntry&) = default;
};

// True, recording (node, info hash, now), when the pair was not asked within the last
// cool-down ms; false, adding nothing, while it was. Entries whose cool-down has passed are
// dropped on the way; a full list (512) drops its oldest entries to take the new one.
bool bt_dht_cooldown_allow(std::vector<DhtCooldownEntry>& list, const common::Hash& node, ByteView info_hash,
                           std::uint64_t now_ms, std::uint64_t cooldown_ms);

}  // namespace router
