#pragma once
// Which way a received I2NP message came in, and what each way may carry.
//
// A message sent to this router by its identity (over a link, out of its own send queue,
// at the end of another router's outbound tunnel, or by a TunnelGateway for no hop of
// ours) may be of any type: its sender knows which router it talks to. Messages that
// reach the router without their sender knowing it is this router -- out of one of its
// own inbound tunnels, in a clove of garlic that a client destination opened, in the
// reply to one of its lookups -- are kept from the handlers that answer, acknowledge or
// act as the router: an answer or acknowledgement sent where such a sender says, or a
// RouterInfo it planted, would tie the tunnel or destination to this router. Those ways
// carry only what they exist for.
//
// Messages also nest: a clove inside garlic, the message a TunnelGateway delivers here,
// a message joined from tunnel cells. Each is one level deeper than the message that
// carried it, and dispatch stops at a fixed depth, so a message of nested wrappers can
// neither recurse deeply nor hold a copy of itself at every level.
#include <cstdint>
#include <optional>
#include <string_view>

#include "common/hash.h"
#include "i2np/payload.h"

namespace router {

enum class MessageOrigin : std::uint8_t {
  Direct,         // addressed to this router by its identity
  OwnInbound,     // out of one of this router's inbound tunnels
  SessionGarlic,  // a clove of garlic opened by a client destination's session
  LookupReply,    // a clove of the sealed answer to one of this router's lookups
};

// Real traffic nests two deep at most (a clove of garlic out of an inbound tunnel); a
// message this deep is dropped.
inline constexpr int kMaxNesting = 4;

struct Arrival {
  std::optional<common::Hash> from;  // the router at the other end of the link, if any
  MessageOrigin origin = MessageOrigin::Direct;
  int depth = 0;  // 0 for a message that arrived as it is

  // The arrival of a message carried inside this one.
  Arrival inner(MessageOrigin inner_origin) const { return {std::nullopt, inner_origin, depth + 1}; }
};

// Whether a message of this kind may come in this way:
//   Direct        every type
//   OwnInbound    Garlic, DatabaseStore, DatabaseSearchReply, DeliveryStatus,
//                 OutboundTunnelBuildReply
//   SessionGarlic Data, DeliveryStatus, and DatabaseStore of a LeaseSet2
//   LookupReply   DatabaseStore, DatabaseSearchReply
bool origin_accepts(MessageOrigin origin, const i2np::I2npPayload& payload);

// "link", "inbound tunnel", "session garlic" or "lookup reply".
std::string_view origin_name(MessageOrigin origin);

// True when the message may be handled: it is not nested too deep and its way in
// accepts it. Otherwise, with debug, prints one "[debug] " line saying why it is dropped.
bool admit_message(bool debug, const Arrival& arrival, const i2np::I2npPayload& payload);

}  // namespace router
