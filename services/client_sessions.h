#pragma once
// Building a local client destination (a SAM session, the HTTP proxy's own session).
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/destination.h"
#include "noise/key_pair.h"
#include "router/destinations.h"
#include "router/router.h"

namespace router {

// The private keys of a client destination: X25519 key pair and Ed25519 seed.
struct ClientSessionKeys {
  noise::KeyPair encryption;
  std::array<std::uint8_t, 32> signing_seed{};
};

// A session record for the destination: its hash, b32 address, a tunnel id taken from
// Router.next_tunnel_id and, with keys, the ratchet state and a stream manager whose first
// stream id is then taken from Router.next_stream_id_seed. Without keys the session can
// neither receive nor open streams.
SamSession build_client_session(Router& r, std::string_view id, const common::Destination& destination,
                                std::string public_b64, const std::optional<ClientSessionKeys>& keys);
// The same for a transient destination, with its keys.
SamSession build_client_session(Router& r, std::string_view id, const TransientDestination& transient);

}  // namespace router
