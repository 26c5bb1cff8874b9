#include "router/message_origin.h"

#include <string>
#include <type_traits>
#include <variant>

#include "common/lease_set2.h"
#include "router/peer_log.h"

namespace router {

bool origin_accepts(MessageOrigin origin, const i2np::I2npPayload& payload) {
  using P = i2np::I2npPayload;
  return std::visit(
      [origin](const auto& body) {
        using T = std::decay_t<decltype(body)>;
        switch (origin) {
          case MessageOrigin::Direct: return true;
          case MessageOrigin::OwnInbound:
            return std::is_same_v<T, P::Garlic> || std::is_same_v<T, P::DatabaseStore> ||
                   std::is_same_v<T, P::DatabaseSearchReply> || std::is_same_v<T, P::DeliveryStatus> ||
                   std::is_same_v<T, P::OutboundTunnelBuildReply>;
          case MessageOrigin::SessionGarlic:
            if constexpr (std::is_same_v<T, P::DatabaseStore>) {
              return (body.store_type & 0x0F) == common::LeaseSet2::kStoreType;
            } else {
              return std::is_same_v<T, P::Data> || std::is_same_v<T, P::DeliveryStatus>;
            }
          case MessageOrigin::LookupReply:
            return std::is_same_v<T, P::DatabaseStore> || std::is_same_v<T, P::DatabaseSearchReply>;
        }
        return false;
      },
      payload.value);
}

std::string_view origin_name(MessageOrigin origin) {
  switch (origin) {
    case MessageOrigin::Direct: return "link";
    case MessageOrigin::OwnInbound: return "inbound tunnel";
    case MessageOrigin::SessionGarlic: return "session garlic";
    case MessageOrigin::LookupReply: return "lookup reply";
  }
  return "?";
}

bool admit_message(bool debug, const Arrival& arrival, const i2np::I2npPayload& payload) {
  if (arrival.depth >= kMaxNesting) {
    print_debug_line(debug, "[debug] I2NP message type=" + std::to_string(payload.msg_type().byte()) + " nested " +
                                std::to_string(arrival.depth) + " deep, dropped");
    return false;
  }
  if (!origin_accepts(arrival.origin, payload)) {
    print_debug_line(debug, "[debug] I2NP message type=" + std::to_string(payload.msg_type().byte()) + " from " +
                                std::string(origin_name(arrival.origin)) + " dropped");
    return false;
  }
  return true;
}

}  // namespace router
