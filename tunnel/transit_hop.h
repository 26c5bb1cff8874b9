#pragma once
// A hop this router serves in another router's tunnel.
#include <cstdint>

#include "common/hash.h"
#include "tunnel/hop_keys.h"
#include "tunnel/layer.h"

namespace tunnel {

struct TransitHop {
  std::uint32_t receive_tunnel_id = 0;  // cells arrive here under this id
  // Where cells go on; for an outbound endpoint the tunnel id at the reply gateway, 0
  // when there is none.
  std::uint32_t next_tunnel_id = 0;
  common::Hash next_router;  // the next hop, or the reply target of an outbound endpoint
  Key32 layer_key{};
  Key32 iv_key{};
  bool is_endpoint = false;     // the request carried the outbound-endpoint flag
  std::uint32_t expires_s = 0;  // unix seconds
  // A participant only ever adds its layer.
  LayerKeyCache<LayerEncryptKeys> layer_cache{};

  friend bool operator==(const TransitHop&, const TransitHop&) = default;
};

}  // namespace tunnel
