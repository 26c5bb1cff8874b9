#pragma once
// A remote stream bridge as it starts: a local socket joined to a stream just opened towards
// a peer, waiting for the peer's SYN-ACK.
#include <array>
#include <cstdint>
#include <string_view>

#include "common/hash.h"
#include "common/lease_set2.h"
#include "ntcp2_net/tcp_socket.h"
#include "services/service_records.h"

namespace router {

// What a new bridge is started with.
struct RemoteBridgeStart {
  std::string_view session_id;  // the session whose stream manager opened the stream
  common::Hash peer_hash;
  const std::array<std::uint8_t, 32>& peer_x25519;
  const common::Lease2& lease;  // where packets to the peer go first
  std::uint32_t stream_id = 0;  // the new connection's local stream id
  std::uint64_t now_ms = 0;     // monotonic: the start of the connect limit
  bool silent = false;          // no SAM status lines to the local side
};

// A bridge in state Connecting with the socket and nothing queued either way yet.
RemoteStreamBridge connecting_remote_bridge(ntcp2_net::TcpSocket socket, const RemoteBridgeStart& start);

}  // namespace router
