#include "tunnel/tunnel.h"

#include <algorithm>
#include <ranges>

#include "tunnel/cell.h"

namespace tunnel {

Result<Bytes> Tunnel::decrypt_inbound_cell(ByteView cell) const {
  if (hops.empty()) return Bytes(cell.begin(), cell.end());
  if (cell.size() != kCellSize) {
    return fail(TunnelError::InvalidLength, msg("TunnelData cell must be 1024 bytes, got ", cell.size()));
  }
  Bytes out(cell.begin(), cell.end());
  for (const TunnelHop& hop : std::views::reverse(hops)) {
    remove_layer(hop.layer_cache.get(hop.layer_key, hop.iv_key), CellSpan(out.data(), kCellSize));
  }
  return out;
}

Result<void> Tunnel::prepare_outbound_cells(std::span<Bytes> cells) const {
  for (const Bytes& cell : cells) {
    if (cell.size() != kCellSize) {
      return fail(TunnelError::InvalidLength, msg("TunnelData cell must be 1024 bytes, got ", cell.size()));
    }
  }
  std::vector<std::uint8_t*> pointers;
  pointers.reserve(cells.size());
  for (Bytes& cell : cells) pointers.push_back(cell.data());
  std::vector<const LayerDecryptKeys*> keys(cells.size());
  for (const TunnelHop& hop : std::views::reverse(hops)) {
    std::ranges::fill(keys, &hop.layer_cache.get(hop.layer_key, hop.iv_key));
    remove_layers(keys, pointers);
  }
  return {};
}

}  // namespace tunnel
