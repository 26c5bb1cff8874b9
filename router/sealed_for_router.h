#pragma once
// A message for another router that travels through an own outbound tunnel, sealed to the
// receiving router's identity key.
#include <optional>

#include "common/hash.h"
#include "i2np/payload.h"
#include "ntcp2_net/clock.h"

namespace router {

struct Router;

// The message as one Local clove of router garlic (with a DateTime block) sealed to the
// X25519 key of the router's RouterInfo, so that the outbound endpoint that hands it over
// can neither read nor change it: what is asked or stored, and where the answer goes.
// None when the RouterInfo is unknown, its key is not a 32-byte X25519 key, or a step fails
// (the random source included); the caller then sends the message as it is.
std::optional<i2np::I2npPayload> seal_for_router(Router& r, const common::Hash& peer, const i2np::I2npPayload& message,
                                                 const ntcp2_net::Now& now);

}  // namespace router
