// TunnelData and TunnelGateway messages: the end of an own inbound tunnel, a hop of another
// router's tunnel (sending its cells on, or reading them as its outbound endpoint), its
// inbound gateway, or a TunnelGateway for no hop of ours, whose message is for this router.
#include <algorithm>
#include <string>
#include <utility>

#include "ntcp2_net/random.h"
#include "router/id_counters.h"
#include "router/peer_log.h"
#include "router/random.h"
#include "router/router.h"
#include "tunnel/cell.h"

namespace router {

namespace {

// One cell through the transit hop receiving on tunnel_id: sent on to the next hop, or
// read here when this router is the tunnel's outbound endpoint. An unknown id or a relay
// error drops the cell.
void relay_one_cell(Router& r, std::uint32_t tunnel_id, ByteView cell, int carrier_depth, const Now& now) {
  auto relayed = r.tunnels.relay_cell(tunnel_id, cell);
  if (!relayed || !*relayed) return;
  tunnel::RelayedCell& out = **relayed;
  if (out.is_endpoint) {
    r.consume_cleartext_cell({tunnel::CellSource::Kind::TransitEndpoint, tunnel_id}, out.cell, carrier_depth, now);
    return;
  }
  r.send_i2np_to_peer(out.next_router,
                      i2np::I2npPayload{i2np::I2npPayload::TunnelData{out.next_tunnel_id, std::move(out.cell)}}, now);
}

}  // namespace

void Router::relay_tunnel_data(const Arrival& arrival, const i2np::I2npPayload::TunnelData& message, const Now& now) {
  // An id that is an own inbound tunnel's is ours even when a transit hop shares it.
  const auto own =
      std::ranges::find_if(tunnels.inbound, [&](const tunnel::Tunnel& t) { return t.tunnel_id == message.tunnel_id; });
  if (own == tunnels.inbound.end()) {
    relay_one_cell(*this, message.tunnel_id, message.data, arrival.depth, now);
    return;
  }
  auto clear = own->decrypt_inbound_cell(message.data);
  if (!clear) {
    print_debug_line(debug, "[debug] inbound tunnel " + std::to_string(message.tunnel_id) + " decrypt error");
    return;
  }
  consume_cleartext_cell({tunnel::CellSource::Kind::OwnInbound, message.tunnel_id}, *clear, arrival.depth, now);
}

void Router::relay_tunnel_gateway(const Arrival& arrival, const i2np::I2npPayload::TunnelGateway& message,
                                  const Now& now) {
  const bool gateway = std::ranges::any_of(
      tunnels.transit, [&](const tunnel::TransitHop& h) { return h.receive_tunnel_id == message.tunnel_id; });
  if (!gateway) {
    // Whatever the id: this is how messages sent to a lease naming this router arrive.
    deliver_reassembled_payload(arrival.inner(arrival.origin), tunnel::TunnelDelivery{}, message.data, now);
    return;
  }
  auto iv = ntcp2_net::random_bytes(tunnel::kCellIvSize);
  if (!iv) return;
  auto padding = non_zero_random_bytes();
  if (!padding) return;
  auto cells =
      tunnel::fragment_message_to_cells(tunnel::TunnelDelivery{}, take_id(next_msg_id), message.data, *iv, *padding);
  if (!cells) return;
  for (const Bytes& cell : *cells) relay_one_cell(*this, message.tunnel_id, cell, arrival.depth, now);
}

}  // namespace router
