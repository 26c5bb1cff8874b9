#include "tunnel/tunnel_manager.h"

#include <algorithm>

#include "tunnel/cell.h"
#include "tunnel/layer.h"

namespace tunnel {

Result<std::optional<RelayedCell>> TunnelManager::take_cell(std::uint32_t tunnel_id, ByteView cell) const {
  const auto hop = std::ranges::find_if(transit, [&](const TransitHop& t) { return t.receive_tunnel_id == tunnel_id; });
  if (hop == transit.end()) return std::nullopt;
  if (cell.size() != kCellSize) {
    return fail(TunnelError::InvalidLength, msg("TunnelData cell must be 1024 bytes, got ", cell.size()));
  }
  return RelayedCell{hop->next_router, hop->next_tunnel_id, Bytes(cell.begin(), cell.end()), hop->is_endpoint};
}

const LayerEncryptKeys* TunnelManager::layer_keys(std::uint32_t tunnel_id) const {
  const auto hop = std::ranges::find_if(transit, [&](const TransitHop& t) { return t.receive_tunnel_id == tunnel_id; });
  if (hop == transit.end()) return nullptr;
  return &hop->layer_cache.get(hop->layer_key, hop->iv_key);
}

Result<std::optional<RelayedCell>> TunnelManager::relay_cell(std::uint32_t tunnel_id, ByteView cell) const {
  auto out = take_cell(tunnel_id, cell);
  if (out && *out) add_layer(*layer_keys(tunnel_id), CellSpan((*out)->cell.data(), kCellSize));
  return out;
}

}  // namespace tunnel
