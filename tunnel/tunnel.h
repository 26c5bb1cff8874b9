#pragma once
// One of this router's own tunnels and its hops.
#include <cstdint>
#include <span>
#include <vector>

#include "common/hash.h"
#include "encoding/bytes.h"
#include "encoding/error.h"
#include "tunnel/hop_keys.h"
#include "tunnel/layer.h"

namespace tunnel {

struct TunnelHop {
  common::Hash router;
  std::uint32_t receive_tunnel_id = 0;  // where the hop receives cells
  std::uint32_t next_tunnel_id = 0;     // where it sends them on
  Key32 layer_key{};
  Key32 iv_key{};
  // Both kinds of own tunnel only ever remove this hop's layer.
  LayerKeyCache<LayerDecryptKeys> layer_cache{};

  friend bool operator==(const TunnelHop&, const TunnelHop&) = default;
};

// hops are in travel order: hops[0] receives a cell first. Inbound: hops[0] is the
// gateway and the last hop delivers to this router under tunnel_id. Outbound: this router
// is the gateway and sends to hops[0] under its receive_tunnel_id; the last hop is the
// endpoint, and tunnel_id names the tunnel within this router.
struct Tunnel {
  std::uint32_t tunnel_id = 0;
  bool outbound = false;
  std::vector<TunnelHop> hops;
  std::uint32_t started_s = 0;  // unix seconds when the build began
  std::uint32_t expires_s = 0;  // started_s + 600

  // Removes every hop's layer, the last hop's first. Inbound: what the hops added on the
  // way, leaving the cleartext cell. Outbound (prepare_outbound_cell, the same
  // operation): layers added in advance that the hops then strip one by one, so the
  // endpoint holds the cleartext. A tunnel without hops returns the cell unchanged;
  // otherwise a cell that is not 1024 bytes fails with TunnelError::InvalidLength.
  Result<Bytes> decrypt_inbound_cell(ByteView cell) const;
  Result<Bytes> prepare_outbound_cell(ByteView cell) const { return decrypt_inbound_cell(cell); }
  // prepare_outbound_cell on every cell, in place, the cells' layers removed side by side.
  // Fails with TunnelError::InvalidLength, changing nothing, when a cell is not 1024 bytes.
  Result<void> prepare_outbound_cells(std::span<Bytes> cells) const;

  friend bool operator==(const Tunnel&, const Tunnel&) = default;
};

}  // namespace tunnel
