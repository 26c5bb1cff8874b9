#pragma once
// One node of the I2P DHT: its node id, its destination and its DHT query port.
#include <cstdint>

#include "common/hash.h"
#include "encoding/bytes.h"

namespace bittorrent {

struct DhtNode {
  Bytes id;  // 20 bytes for every node the client keeps or sends
  common::Hash hash;
  std::uint32_t port = 0;
  std::uint64_t last_seen_ms = 0;  // unix ms
  friend bool operator==(const DhtNode&, const DhtNode&) = default;
};

}  // namespace bittorrent
