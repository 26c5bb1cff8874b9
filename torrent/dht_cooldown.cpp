#include "torrent/dht_cooldown.h"

#include <algorithm>

namespace router {

bool bt_dht_cooldown_allow(std::vector<DhtCooldownEntry>& list, const common::Hash& node, ByteView info_hash,
                           std::uint64_t now_ms, std::uint64_t cooldown_ms) {
  bool asked_recently = false;
  std::erase_if(list, [&](const DhtCooldownEntry& e) {
    const bool live = now_ms < e.asked_ms + cooldown_ms;
    if (live && e.node == node && std::ranges::equal(e.info_hash, info_hash)) asked_recently = true;
    return !live;
  });
  if (asked_recently) return false;
  if (list.size() >= kDhtCooldownMaxEntries) {
    list.erase(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(list.size() - kDhtCooldownMaxEntries + 1));
  }
  list.push_back(DhtCooldownEntry{node, Bytes(info_hash.begin(), info_hash.end()), now_ms});
  return true;
}

}  // namespace router
