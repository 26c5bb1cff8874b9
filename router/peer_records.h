#pragma once
// Records of NTCP2 peer management held by the router record. Only the fields the loop and
// shutdown use are here; peer management itself fills them in.
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "common/hash.h"
#include "encoding/bytes.h"
#include "ntcp2_net/tcp_socket.h"

namespace router {

// An established NTCP2 link to a peer router.
struct PeerSession {
  common::Hash peer;
  ntcp2_net::TcpSocket socket;
  std::uint64_t last_activity_ms = 0;
};

// An outbound NTCP2 connection being dialled.
struct PendingPeerDial {
  common::Hash peer;
  ntcp2_net::TcpSocket socket;
};

// An I2NP message waiting for its peer's link.
struct PendingPeerSend {
  common::Hash peer;
  Bytes message;
  std::uint64_t expires_ms = 0;
};

// Ephemeral keys of recent inbound handshakes, shared by all of them (capacity 1,024).
struct ReplayCache {
  std::vector<std::pair<Bytes, std::uint32_t>> entries;
  std::size_t capacity = 1024;
};

// An inbound NTCP2 connection in its handshake.
struct PendingAccept {
  ntcp2_net::TcpSocket socket;
};

}  // namespace router
