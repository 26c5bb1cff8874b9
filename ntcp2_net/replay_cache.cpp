#include "ntcp2_net/replay_cache.h"

#include "crypto/ct_eq.h"

namespace ntcp2_net {

bool ReplayCache::seen_or_record(ByteView key, std::uint32_t now_s) {
  for (auto it = entries.begin(); it != entries.end();) {
    if (static_cast<std::uint64_t>(it->second) + kReplayWindowSec < now_s) {
      it = entries.erase(it);
      continue;
    }
    if (crypto::ct_eq(it->first, key)) return true;
    ++it;
  }
  if (entries.size() >= capacity && !entries.empty()) entries.pop_front();
  entries.emplace_back(Bytes(key.begin(), key.end()), now_s);
  return false;
}

}  // namespace ntcp2_net
