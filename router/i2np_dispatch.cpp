// Received I2NP messages, whatever way they came: each type goes to its handler once its
// way in and its depth admit it (message_origin.h). DatabaseStore goes into the NetDB with
// its follow-ups here, and is acknowledged when asked and kept; a DeliveryStatus confirms
// a store of an own LeaseSet2; a Data message outside garlic and unknown types have no
// effect.
#include <algorithm>
#include <string>
#include <type_traits>
#include <variant>

#include "i2np/message.h"
#include "netdb/netdb.h"
#include "router/id_counters.h"
#include "router/peer_log.h"
#include "router/publication.h"
#include "router/router.h"

namespace router {

namespace {

constexpr std::uint64_t kAckExpirationMs = 60000;

// A RouterInfo just stored ends the background lookups for it, and a floodfill becomes
// one more router that the pending LeaseSet lookups may ask.
void follow_stored_router_info(Router& r, const common::Hash& key) {
  std::erase_if(r.pending_lookups, [&](const PendingNetDbLookup& l) {
    return l.purpose == kLookupInBackground && l.lookup_type == LookupKind::RouterInfo && l.key == key;
  });
  const netdb::RouterInfoPtr info = r.netdb.get_router_info(key);
  if (!info || !netdb::is_floodfill(*info)) return;
  for (PendingNetDbLookup& l : r.pending_lookups) {
    if (l.lookup_type != LookupKind::LeaseSet || is_peer_in_list(key, l.queried) ||
        is_peer_in_list(key, l.candidates)) {
      continue;
    }
    l.candidates.push_back(key);
  }
}

void handle_database_store(Router& r, const Arrival& arrival, const i2np::I2npPayload::DatabaseStore& store,
                           const Now& now) {
  auto stored = r.store_from_network(store, now);
  const bool was_stored = stored && *stored;
  const int kind = store.store_type & 0x0F;
  if (kind == common::LeaseSet2::kStoreType || was_stored) {
    print_debug_line(r.debug, "[debug] NetDB DatabaseStore type=" + std::to_string(kind) +
                                  " stored=" + (was_stored ? "true" : "false") + " key=" + store.key.to_b32_address() +
                                  " (len=" + std::to_string(store.data.size()) + ")");
  }
  if (was_stored && kind == common::LeaseSet2::kStoreType) r.complete_lookups_for_hash(store.key, now);
  if (was_stored && kind == 0) follow_stored_router_info(r, store.key);

  // Only a store that was kept and addressed to this router is acknowledged: acknowledging
  // failures would let anyone make this router send to any gateway it names for the price
  // of a few bytes, and the acknowledgement of a store that came anonymously would go where
  // its sender says and tell it which router we are.
  if (store.reply_token == 0 || !was_stored || arrival.origin != MessageOrigin::Direct) return;
  i2np::I2npPayload ack{i2np::I2npPayload::DeliveryStatus{store.reply_token, now.wall_ms}};
  if (!store.reply_gateway) {
    if (arrival.from) r.send_i2np_to_peer(*arrival.from, std::move(ack), now);
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
  dispatch_i2np_message(Arrival{from, MessageOrigin::Direct, 0}, header, payload, now);
}

void Router::dispatch_i2np_message(const Arrival& arrival, const i2np::I2npShortHeader& header,
                                   const i2np::I2npPayload& payload, const Now& now) {
  using P = i2np::I2npPayload;
  // Relayed cells queued in the same pass go on before anything else is handled.
  if (!std::holds_alternative<P::TunnelData>(payload.value)) flush_transit_cells(now);
  if (!admit_message(debug, arrival, payload)) return;
  std::visit(
      [&](const auto& body) {
        using T = std::decay_t<decltype(body)>;
        if constexpr (std::is_same_v<T, P::DatabaseStore>) {
          handle_database_store(*this, arrival, body, now);
        } else if constexpr (std::is_same_v<T, P::DatabaseLookup>) {
          handle_database_lookup_msg(arrival.from, body, now);
        } else if constexpr (std::is_same_v<T, P::DatabaseSearchReply>) {
          handle_database_search_reply_msg(body, now);
        } else if constexpr (std::is_same_v<T, P::Garlic>) {
          handle_garlic(arrival, body.data, now);
        } else if constexpr (std::is_same_v<T, P::TunnelData>) {
          relay_tunnel_data(arrival, body, now);
        } else if constexpr (std::is_same_v<T, P::TunnelGateway>) {
          relay_tunnel_gateway(arrival, body, now);
        } else if constexpr (std::is_same_v<T, P::ShortTunnelBuild>) {
          handle_short_tunnel_build(header.msg_id, body.records, now);
        } else if constexpr (std::is_same_v<T, P::OutboundTunnelBuildReply>) {
          (void)try_complete_pending_tunnel_build(header.msg_id, body.records, now);
        } else if constexpr (std::is_same_v<T, P::DeliveryStatus>) {
          // The confirmation of a LeaseSet2 store. In public mode it was asked for only
          // through an own inbound tunnel.
          if (!public_mode || arrival.origin == MessageOrigin::OwnInbound) {
            (void)confirm_lease_set_store(*this, body.msg_id);
          }
        } else {
          // Data: a client's data reaches it only inside garlic. Unknown: a type this
          // router has no use for.
          static_assert(std::is_same_v<T, P::Data> || std::is_same_v<T, P::Unknown>);
        }
      },
      payload.value);
}

}  // namespace router
