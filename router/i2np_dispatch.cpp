// Received I2NP messages, whatever way they came. DatabaseStore goes into the NetDB (and
// is acknowledged when asked and kept); DeliveryStatus, Data and unknown types have no effect here;
// the other known types have no handler in the router yet and are dropped.
#include <string>
#include <type_traits>
#include <variant>

#include "i2np/message.h"
#include "router/id_counters.h"
#include "router/peer_log.h"
#include "router/router.h"

namespace router {

namespace {

constexpr std::uint64_t kAckExpirationMs = 60000;

void handle_database_store(Router& r, const std::optional<common::Hash>& from,
                           const i2np::I2npPayload::DatabaseStore& store, const Now& now) {
  auto stored = r.netdb.handle_database_store(store.store_type, store.key, store.data, now.wall_s());
  const bool was_stored = stored && *stored;
  const int kind = store.store_type & 0x0F;
  if (kind == 3 || was_stored) {
    print_debug_line(r.debug, "[debug] NetDB DatabaseStore type=" + std::to_string(kind) +
                                  " stored=" + (was_stored ? "true" : "false") + " key=" + store.key.to_b32_address() +
                                  " (len=" + std::to_string(store.data.size()) + ")");
  }

  // Only a store that was kept is acknowledged: acknowledging failures would let anyone make
  // this router send to any gateway it names, for the price of a few bytes.
  if (store.reply_token == 0 || !was_stored) return;
  i2np::I2npPayload ack{i2np::I2npPayload::DeliveryStatus{store.reply_token, now.wall_ms}};
  if (!store.reply_gateway) {
    if (from) r.send_i2np_to_peer(*from, std::move(ack), now);
    return;
  }
  if (store.reply_tunnel_id == 0) {
    r.send_i2np_to_peer(*store.reply_gateway, std::move(ack), now);
    return;
  }
  auto wrapped = i2np::encode_standard_message(take_id(r.next_msg_id), now.wall_ms + kAckExpirationMs, ack);
  if (!wrapped) return;
  r.send_i2np_to_peer(*store.reply_gateway,
                      i2np::I2npPayload{i2np::I2npPayload::TunnelGateway{store.reply_tunnel_id, std::move(*wrapped)}},
                      now);
}

}  // namespace

void Router::handle_i2np_message(const std::optional<common::Hash>& from, const i2np::I2npShortHeader& header,
                                 const i2np::I2npPayload& payload, const Now& now) {
  using P = i2np::I2npPayload;
  std::visit(
      [&](const auto& body) {
        using T = std::decay_t<decltype(body)>;
        if constexpr (std::is_same_v<T, P::DatabaseStore>) {
          handle_database_store(*this, from, body, now);
        } else if constexpr (std::is_same_v<T, P::DeliveryStatus> || std::is_same_v<T, P::Data>) {
          // Nothing waits for these on a direct link.
        } else if constexpr (std::is_same_v<T, P::Unknown>) {
          // A type this router has no use for: ignored without a word.
        } else if (debug) {
          print_debug_line(debug, "[debug] I2NP message type=" + std::to_string(header.msg_type.byte()) +
                                      " id=" + std::to_string(header.msg_id) + " dropped: no handler");
        }
      },
      payload.value);
}

}  // namespace router
