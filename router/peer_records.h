#pragma once
// Records of NTCP2 peer management held by the router record. Only the fields the loop and
// shutdown use are here; peer management itself fills them in.
#include <cstdint>

#include "common/hash.h"
#include "encoding/bytes.h"
#include "ntcp2_net/ntcp2_conn.h"
#include "ntcp2_net/pending_dial.h"

namespace router {

// An established NTCP2 link to a peer router.
struct PeerSession {
  common::Hash peer;
  ntcp2_net::Ntcp2Conn conn;
  // Last frame received, send progress, message or keep-alive sent (ms since 1970).
  std::uint64_t last_activity_ms = 0;
};

// An outbound NTCP2 connection being dialled.
struct PendingPeerDial {
  common::Hash peer;
  ntcp2_net::PendingNtcp2Dial dial;
};

// An I2NP message waiting for its peer's link.
struct PendingPeerSend {
  common::Hash peer;
  Bytes message;
  std::uint64_t expires_ms = 0;
};

}  // namespace router
