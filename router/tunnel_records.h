#pragma once
// Tunnel records held by the router record: the tunnel package's own records, and the
// build that waits for its reply, which only the router's tunnel building touches.
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "tunnel/hop_keys.h"
#include "tunnel/reassembler.h"
#include "tunnel/tunnel.h"
#include "tunnel/tunnel_manager.h"

namespace router {

struct PendingTunnelBuild {
  std::uint32_t tunnel_id = 0;
  bool outbound = false;
  std::vector<tunnel::TunnelHop> hops;
  std::vector<std::pair<std::size_t, tunnel::HopKeys>> hop_keys;  // (slot index, keys) in hop order
  std::uint32_t msg_id = 0;                                       // the reply arrives under this message id
  std::uint32_t started_s = 0;
  std::uint32_t expires_s = 0;   // started_s + 600
  std::uint64_t started_ms = 0;  // monotonic: the build's time-out runs from here
  std::optional<tunnel::Key32> garlic_reply_key;
  std::optional<std::array<std::uint8_t, 8>> garlic_reply_tag;
};

}  // namespace router
