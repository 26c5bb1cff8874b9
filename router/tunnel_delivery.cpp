// The ends of tunnels: reading the cleartext cells that come out of a tunnel and
// delivering the messages they carry, and sending messages into the router's own
// outbound tunnels.
#include <algorithm>
#include <string>
#include <utility>
#include <variant>

#include "encoding/reader.h"
#include "i2np/message.h"
#include "ntcp2_net/random.h"
#include "router/id_counters.h"
#include "router/peer_log.h"
#include "router/random.h"
#include "router/router.h"
#include "tunnel/cell.h"

namespace router {

namespace {

constexpr std::uint64_t kMessageExpirationMs = 60000;
constexpr std::uint32_t kLocalExpirationS = 60;

}  // namespace

void Router::consume_cleartext_cell(const tunnel::CellSource& source, ByteView cell, int carrier_depth, const Now& now,
                                    bool checksum_checked) {
  // Every fragment is read before any is delivered, so a cell that breaks part-way
  // delivers nothing.
  auto fragments = checksum_checked ? tunnel::unpack_checked_tunnel_cell(cell) : tunnel::unpack_tunnel_cell(cell);
  if (!fragments) {
    print_debug_line(debug, "[debug] unpack_tunnel_cell checksum/format error");
    return;
  }
  const MessageOrigin origin =
      source.kind == tunnel::CellSource::Kind::OwnInbound ? MessageOrigin::OwnInbound : MessageOrigin::Direct;
  const Arrival arrival{std::nullopt, origin, carrier_depth + 1};
  for (tunnel::TunnelFragment& fragment : *fragments) {
    if (auto done = reassembler.add(source, std::move(fragment))) {
      deliver_reassembled_payload(arrival, done->delivery, done->message, now);
    }
  }
}

void Router::deliver_reassembled_payload(const Arrival& arrival, const tunnel::TunnelDelivery& delivery,
                                         ByteView message, const Now& now) {
  encoding::Reader reader(message);
  auto decoded = i2np::decode_standard_message(reader);
  if (!decoded) return;
  auto& [header, payload] = *decoded;

  if (std::holds_alternative<tunnel::TunnelDelivery::Local>(delivery.value)) {
    const i2np::I2npShortHeader short_header{header.msg_type, header.msg_id, now.wall_s() + kLocalExpirationS};
    dispatch_i2np_message(arrival, short_header, payload, now);
    return;
  }
  // At the end of an own inbound tunnel only Local counts: the gateway, whoever it is,
  // must not be able to make this router send to a router it names and so learn whose
  // tunnel this is. Forwarding is the outbound endpoint's job.
  if (arrival.origin == MessageOrigin::OwnInbound) {
    print_debug_line(debug, "[debug] inbound tunnel message type=" + std::to_string(header.msg_type.byte()) +
                                " for another router dropped");
    return;
  }
  if (const auto* to_router = std::get_if<tunnel::TunnelDelivery::Router>(&delivery.value)) {
    send_i2np_to_peer(to_router->router, std::move(payload), now, header.msg_id);
    return;
  }
  const auto& to_tunnel = std::get<tunnel::TunnelDelivery::Tunnel>(delivery.value);
  send_i2np_to_peer(
      to_tunnel.router,
      i2np::I2npPayload{i2np::I2npPayload::TunnelGateway{to_tunnel.tunnel_id, Bytes(message.begin(), message.end())}},
      now);
}

Result<void> Router::send_through_tunnel(std::uint32_t outbound_tunnel_id, const tunnel::TunnelDelivery& delivery,
                                         const i2np::I2npPayload& payload, std::optional<std::uint32_t> msg_id,
                                         const Now& now) {
  const auto found = std::ranges::find_if(
      tunnels.outbound, [outbound_tunnel_id](const tunnel::Tunnel& t) { return t.tunnel_id == outbound_tunnel_id; });
  if (found == tunnels.outbound.end()) {
    return fail(RouterError::Message, msg("unknown outbound tunnel ", outbound_tunnel_id));
  }
  if (found->hops.empty()) return fail(RouterError::Message, "outbound tunnel has zero hops");

  const std::uint32_t id = msg_id ? *msg_id : take_id(next_msg_id);
  auto message = i2np::encode_standard_message(id, now.wall_ms + kMessageExpirationMs, payload);
  if (!message) return wrap(RouterError::I2np, std::move(message.error()));
  std::array<std::uint8_t, tunnel::kCellIvSize> iv{};
  if (auto taken = system_random.take(iv); !taken) return std::unexpected(std::move(taken.error()));
  // Only as much filler as the cells will hold: most messages fill all but one cell.
  auto padding = filler_random.non_zero_bytes(tunnel::padding_needed(delivery, message->size()));
  if (!padding) return wrap(RouterError::Net, std::move(padding.error()));
  auto cells = tunnel::fragment_message_to_cells(delivery, take_id(next_msg_id), *message, iv, *padding);
  if (!cells) return wrap(RouterError::Tunnel, std::move(cells.error()));

  // Sending never touches the tunnel lists, so the tunnel stays where it is.
  const tunnel::Tunnel& out = *found;
  const common::Hash first_hop = out.hops.front().router;
  const std::uint32_t first_receive_id = out.hops.front().receive_tunnel_id;
  // The cells leave together, in one write, unless the caller already holds link sends.
  return holding_link_sends(now, [&]() -> Result<void> {
    if (auto prepared = out.prepare_outbound_cells(*cells); !prepared) {
      return wrap(RouterError::Tunnel, std::move(prepared.error()));
    }
    for (Bytes& cell : *cells) {
      send_i2np_to_peer(first_hop, i2np::I2npPayload{i2np::I2npPayload::TunnelData{first_receive_id, std::move(cell)}},
                        now);
    }
    return {};
  });
}

void Router::send_routed_i2np(const common::Hash& router_hash, std::optional<std::uint32_t> tunnel_id,
                              const i2np::I2npPayload& payload, const Now& now) {
  if (!tunnels.outbound.empty()) {
    const std::size_t index = take_rotation(outbound_rotation, tunnels.outbound.size());
    const tunnel::TunnelDelivery delivery =
        tunnel_id ? tunnel::TunnelDelivery{tunnel::TunnelDelivery::Tunnel{*tunnel_id, router_hash}}
                  : tunnel::TunnelDelivery{tunnel::TunnelDelivery::Router{router_hash}};
    auto sent = send_through_tunnel(tunnels.outbound[index].tunnel_id, delivery, payload, std::nullopt, now);
    if (sent) return;
    // Outside public mode the message also goes directly, so one that failed part-way
    // through the tunnel may arrive twice.
    if (public_mode) {
      print_debug_line(
          debug, "[debug] routed send through outbound tunnel failed, message dropped: " + to_string(sent.error()));
      return;
    }
  } else if (public_mode) {
    // Its callers send client data and LeaseSet2s: sent directly, the receiver (a lease's
    // gateway, a floodfill) would learn which router hosts the destination.
    print_debug_line(debug, "[debug] routed send without an outbound tunnel, message dropped");
    return;
  }

  if (!tunnel_id) {
    send_i2np_to_peer(router_hash, payload, now);
    return;
  }
  auto message = i2np::encode_standard_message(take_id(next_msg_id), now.wall_ms + kMessageExpirationMs, payload);
  if (!message) return;
  send_i2np_to_peer(router_hash, i2np::I2npPayload{i2np::I2npPayload::TunnelGateway{*tunnel_id, std::move(*message)}},
                    now);
}

}  // namespace router
