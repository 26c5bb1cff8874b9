#pragma once
// The router's own tunnels and the hops it serves for others, and the relay of one cell
// by such a hop.
#include <cstdint>
#include <optional>
#include <vector>

#include "common/hash.h"
#include "encoding/bytes.h"
#include "encoding/error.h"
#include "tunnel/transit_hop.h"
#include "tunnel/tunnel.h"

namespace tunnel {

// A cell after this router's layer, and where it goes.
struct RelayedCell {
  common::Hash next_router;
  std::uint32_t next_tunnel_id = 0;
  Bytes cell;
  bool is_endpoint = false;  // the cell is cleartext now and ends here

  friend bool operator==(const RelayedCell&, const RelayedCell&) = default;
};

// Each list keeps insertion order. Client services read the numbers of inbound and
// outbound tunnels.
struct TunnelManager {
  std::vector<Tunnel> inbound;
  std::vector<Tunnel> outbound;
  std::vector<TransitHop> transit;

  // The first transit hop receiving on tunnel_id adds its layer to the cell. Nothing
  // when no hop receives on that id (whatever the cell); TunnelError::InvalidLength when
  // the cell is not 1024 bytes.
  Result<std::optional<RelayedCell>> relay_cell(std::uint32_t tunnel_id, ByteView cell) const;
  // relay_cell in two steps, for a relay that layers several cells together: the copy of
  // the cell and its way on, without the layer yet; then the keys that add_layers (layer.h)
  // takes for that hop. Nothing, or a null pointer, when no hop receives on tunnel_id.
  Result<std::optional<RelayedCell>> take_cell(std::uint32_t tunnel_id, ByteView cell) const;
  const LayerEncryptKeys* layer_keys(std::uint32_t tunnel_id) const;
};

}  // namespace tunnel
