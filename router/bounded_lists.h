#pragma once
// The two bounded lists of the router record whose rules are shared by their users:
// peer back-offs (at most 512) and ratchet-reset attempts (at most 256). Both drop their
// oldest entry when full.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/hash.h"

namespace router {

struct PeerBackoff {
  common::Hash peer;
  std::uint64_t until_ms;
};

struct RatchetReset {
  common::Hash destination;
  std::uint64_t time_ms;
};

inline constexpr std::size_t kPeerBackoffCapacity = 512;
inline constexpr std::size_t kRatchetResetCapacity = 256;

// Backs a peer off until until_ms: an entry of that peer is overwritten in place; a new
// one is appended, after removing the oldest entry when the list is full.
void backoff_peer(std::vector<PeerBackoff>& list, const common::Hash& peer, std::uint64_t until_ms);

// Removes every entry whose time has passed, then tells whether the peer is still listed.
bool is_backed_off(std::vector<PeerBackoff>& list, const common::Hash& peer, std::uint64_t now_ms);

// One reset attempt for a destination with window window_ms: entries older than the window
// are dropped; refused (false) while the destination still has an entry; otherwise
// (destination, now) is appended, after removing the oldest entry when the list is full.
bool try_acquire_reset(std::vector<RatchetReset>& list, const common::Hash& destination, std::uint64_t now_ms,
                       std::uint64_t window_ms);

}  // namespace router
