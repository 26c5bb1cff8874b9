#include "router/bounded_lists.h"

#include <algorithm>

namespace router {

void backoff_peer(std::vector<PeerBackoff>& list, const common::Hash& peer, std::uint64_t until_ms) {
  for (PeerBackoff& entry : list) {
    if (entry.peer == peer) {
      entry.until_ms = until_ms;
      return;
    }
  }
  if (list.size() >= kPeerBackoffCapacity) list.erase(list.begin());
  list.push_back({peer, until_ms});
}

bool is_backed_off(std::vector<PeerBackoff>& list, const common::Hash& peer, std::uint64_t now_ms) {
  std::erase_if(list, [&](const PeerBackoff& e) { return e.until_ms <= now_ms; });
  return std::any_of(list.begin(), list.end(), [&](const PeerBackoff& e) { return e.peer == peer; });
}

bool try_acquire_reset(std::vector<RatchetReset>& list, const common::Hash& destination, std::uint64_t now_ms,
                       std::uint64_t window_ms) {
  std::erase_if(list, [&](const RatchetReset& e) { return e.time_ms + window_ms < now_ms; });
  if (std::any_of(list.begin(), list.end(), [&](const RatchetReset& e) { return e.destination == destination; })) {
    return false;
  }
  if (list.size() >= kRatchetResetCapacity) list.erase(list.begin());
  list.push_back({destination, now_ms});
  return true;
}

}  // namespace router
