#include "tunnel/tunnel.h"

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

}  // namespace tunnel
