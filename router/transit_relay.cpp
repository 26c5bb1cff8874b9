// TunnelData and TunnelGateway messages: the end of an own inbound tunnel, a hop of another
// router's tunnel (sending its cells on, or reading them as its outbound endpoint), its
// inbound gateway, or a TunnelGateway for no hop of ours, whose message is for this router.
#include <algorithm>
#include <array>
#include <span>
#include <string>
#include <utility>

#include "ntcp2_net/random.h"
#include "router/id_counters.h"
#include "router/peer_log.h"
#include "router/random.h"
#include "router/router.h"
#include "tunnel/cell.h"
#include "tunnel/layer.h"

namespace router {

namespace {

// A cell that has its layer: sent on to the next hop, or read here when this router is
// the tunnel's outbound endpoint.
void pass_on(Router& r, std::uint32_t tunnel_id, tunnel::RelayedCell& out, int carrier_depth, const Now& now,
             bool checksum_checked = false) {
  if (out.is_endpoint) {
    r.consume_cleartext_cell({tunnel::CellSource::Kind::TransitEndpoint, tunnel_id}, out.cell, carrier_depth, now,
                             checksum_checked);
    return;
  }
  r.send_i2np_to_peer(out.next_router,
                      i2np::I2npPayload{i2np::I2npPayload::TunnelData{out.next_tunnel_id, std::move(out.cell)}}, now);
}

// One cell through the transit hop receiving on tunnel_id: at once, or queued for the
// layers of the cells read in the same pass to be added together. An unknown id or a relay error drops
// the cell.
void relay_one_cell(Router& r, std::uint32_t tunnel_id, ByteView cell, int carrier_depth, const Now& now) {
  if (!r.batch_transit_cells) {
    auto relayed = r.tunnels.relay_cell(tunnel_id, cell);
    if (relayed && *relayed) pass_on(r, tunnel_id, **relayed, carrier_depth, now);
    return;
  }
  auto taken = r.tunnels.take_cell(tunnel_id, cell);
  if (!taken || !*taken) return;
  r.queued_transit_cells.push_back({tunnel_id, carrier_depth, std::move(**taken)});
  if (r.queued_transit_cells.size() >= Router::kQueuedTransitCells) r.flush_transit_cells(now);
}

}  // namespace

void Router::flush_transit_cells(const Now& now) {
  if (queued_transit_cells.empty()) return;
  // What the cells' handling sends or reads comes back here with nothing queued: cells
  // that arrive meanwhile go at once, as they would have without the queue.
  std::swap(queued_transit_cells, flushing_transit_cells);
  const bool batching = std::exchange(batch_transit_cells, false);
  std::array<const tunnel::LayerEncryptKeys*, kQueuedTransitCells> keys{};
  std::array<std::uint8_t*, kQueuedTransitCells> cells{};
  std::array<bool, kQueuedTransitCells> layered{};
  std::size_t n = 0;
  for (std::size_t i = 0; i < flushing_transit_cells.size() && i < kQueuedTransitCells; ++i) {
    // Nothing else was handled since the cells were queued, so their hops are still there;
    // a cell whose hop is not is dropped all the same.
    const tunnel::LayerEncryptKeys* k = tunnels.layer_keys(flushing_transit_cells[i].tunnel_id);
    if (k == nullptr) continue;
    layered[i] = true;
    keys[n] = k;
    cells[n] = flushing_transit_cells[i].relayed.cell.data();
    ++n;
  }
  tunnel::add_layers(std::span(keys).first(n), std::span(cells).first(n));
  // The cells that end here are cleartext now: their checksums are hashed together too. A
  // cell that fails is read as before, which drops it.
  std::array<ByteView, kQueuedTransitCells> clear{};
  std::array<std::size_t, kQueuedTransitCells> clear_index{};
  std::array<bool, kQueuedTransitCells> checked{};
  std::size_t ends = 0;
  for (std::size_t i = 0; i < flushing_transit_cells.size() && i < kQueuedTransitCells; ++i) {
    if (!layered[i] || !flushing_transit_cells[i].relayed.is_endpoint) continue;
    clear[ends] = flushing_transit_cells[i].relayed.cell;
    clear_index[ends++] = i;
  }
  std::array<bool, kQueuedTransitCells> ok{};
  tunnel::check_cell_checksums(std::span(clear).first(ends), std::span(ok).first(ends));
  for (std::size_t j = 0; j < ends; ++j) checked[clear_index[j]] = ok[j];
  for (std::size_t i = 0; i < flushing_transit_cells.size() && i < kQueuedTransitCells; ++i) {
    QueuedTransitCell& q = flushing_transit_cells[i];
    if (layered[i]) pass_on(*this, q.tunnel_id, q.relayed, q.carrier_depth, now, checked[i]);
  }
  flushing_transit_cells.clear();
  batch_transit_cells = batching;
}

void Router::relay_tunnel_data(const Arrival& arrival, const i2np::I2npPayload::TunnelData& message, const Now& now) {
  // An id that is an own inbound tunnel's is ours even when a transit hop shares it.
  const auto own =
      std::ranges::find_if(tunnels.inbound, [&](const tunnel::Tunnel& t) { return t.tunnel_id == message.tunnel_id; });
  if (own == tunnels.inbound.end()) {
    relay_one_cell(*this, message.tunnel_id, message.data, arrival.depth, now);
    return;
  }
  flush_transit_cells(now);
  auto clear = own->decrypt_inbound_cell(message.data);
  if (!clear) {
    print_debug_line(debug, "[debug] inbound tunnel " + std::to_string(message.tunnel_id) + " decrypt error");
    return;
  }
  consume_cleartext_cell({tunnel::CellSource::Kind::OwnInbound, message.tunnel_id}, *clear, arrival.depth, now);
}

void Router::relay_tunnel_gateway(const Arrival& arrival, const i2np::I2npPayload::TunnelGateway& message,
                                  const Now& now) {
  flush_transit_cells(now);
  const bool gateway = std::ranges::any_of(
      tunnels.transit, [&](const tunnel::TransitHop& h) { return h.receive_tunnel_id == message.tunnel_id; });
  if (!gateway) {
    // Whatever the id: this is how messages sent to a lease naming this router arrive.
    deliver_reassembled_payload(arrival.inner(arrival.origin), tunnel::TunnelDelivery{}, message.data, now);
    return;
  }
  std::array<std::uint8_t, tunnel::kCellIvSize> iv{};
  if (!system_random.take(iv)) return;
  auto padding = filler_random.non_zero_bytes(tunnel::padding_needed(tunnel::TunnelDelivery{}, message.data.size()));
  if (!padding) return;
  auto cells =
      tunnel::fragment_message_to_cells(tunnel::TunnelDelivery{}, take_id(next_msg_id), message.data, iv, *padding);
  if (!cells) return;
  for (const Bytes& cell : *cells) relay_one_cell(*this, message.tunnel_id, cell, arrival.depth, now);
}

}  // namespace router
