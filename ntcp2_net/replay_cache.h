#pragma once
// The ephemeral keys of recent SessionRequests, shared by every inbound handshake of a
// router, so a recorded SessionRequest cannot be played back within 120 seconds.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <utility>

#include "encoding/bytes.h"

namespace ntcp2_net {

inline constexpr std::uint32_t kReplayWindowSec = 120;
inline constexpr std::size_t kReplayCapacity = 1024;

struct ReplayCache {
  // (key, unix second when seen), oldest first. An entry is live while seen + 120 >= now.
  std::deque<std::pair<Bytes, std::uint32_t>> entries;
  std::size_t capacity = kReplayCapacity;

  // Walks the entries from the oldest, dropping expired ones on the way. True when a
  // live entry holds the key (compared in constant time); otherwise the key is recorded
  // at now_s, the oldest entry giving way when the cache is full.
  bool seen_or_record(ByteView key, std::uint32_t now_s);
};

}  // namespace ntcp2_net
