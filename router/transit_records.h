#pragma once
// What the router keeps to judge requests to take part in other routers' tunnels: the
// ephemeral keys of the requests it accepted lately, so that a build message seen on the
// way (by the hop before us, say) cannot be replayed to add hop after hop.
#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <set>

#include "encoding/bytes.h"

namespace router {

// Limits on participation. A request is accepted only while fewer than kMaxTransitHops
// hops are served; a hop lives at most kMaxTransitLifetimeS (the one lifetime the network
// uses); a request's time may lie at most kRequestAheadS ahead of ours or kRequestBehindS
// behind; its ephemeral key is remembered for kAcceptedKeyKeepMs, longer than that window
// plus the minute the request time is rounded to, so a replay is refused either as seen
// or as too old.
inline constexpr std::size_t kMaxTransitHops = 5000;
inline constexpr std::uint32_t kMaxTransitLifetimeS = 600;
inline constexpr std::uint64_t kRequestAheadS = 5 * 60;
inline constexpr std::uint64_t kRequestBehindS = 10 * 60;
inline constexpr std::uint64_t kAcceptedKeyKeepMs = 16 * 60 * 1000;
inline constexpr std::size_t kMaxAcceptedKeys = 16384;

// The ephemeral keys of accepted requests, oldest first, each kept kAcceptedKeyKeepMs
// (monotonic ms). Lookups are logarithmic whatever keys a peer chooses. A full cache
// refuses new requests rather than forget a key that could still be replayed.
class AcceptedBuildKeys {
 public:
  using Key = std::array<std::uint8_t, 32>;

  // Forgets the keys accepted kAcceptedKeyKeepMs or longer before now_ms.
  void prune(std::uint64_t now_ms);
  bool contains(ByteView key) const;
  bool full() const { return order_.size() >= kMaxAcceptedKeys; }
  std::size_t size() const { return order_.size(); }
  // Remembers a key (no effect when already known or full).
  void add(ByteView key, std::uint64_t now_ms);

 private:
  struct Entry {
    Key key;
    std::uint64_t accepted_ms;
  };
  std::deque<Entry> order_;
  std::set<Key> keys_;
};

}  // namespace router
