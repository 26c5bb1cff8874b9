#pragma once
// Records of NTCP2 peer management held by the router record: established links, dials in
// progress and I2NP messages waiting for a link.
#include <cstdint>
#include <vector>

#include "common/hash.h"
#include "i2np/payload.h"
#include "ntcp2_net/ntcp2_conn.h"
#include "ntcp2_net/ntcp2_peer.h"
#include "ntcp2_net/pending_dial.h"

namespace router {

// An established NTCP2 link to a peer router.
struct PeerSession {
  common::Hash peer;
  ntcp2_net::Ntcp2Conn conn;
  // Last frame received, send progress, message or keep-alive sent (monotonic ms).
  std::uint64_t last_activity_ms = 0;
  bool inbound = false;                 // the peer dialled this router
  std::uint64_t messages_received = 0;  // I2NP blocks read off the link
};

// An outbound NTCP2 connection being dialled.
struct PendingPeerDial {
  common::Hash peer;
  ntcp2_net::PendingNtcp2Dial dial;
};

// An I2NP message waiting for its peer's link, or for local delivery when the peer is
// this router.
struct PendingPeerSend {
  common::Hash peer;
  std::uint32_t msg_id = 0;
  std::uint32_t expiration_s = 0;  // the short header's expiration (unix seconds)
  i2np::I2npPayload payload;
  std::uint64_t queued_ms = 0;  // monotonic
  std::size_t bytes = 0;        // what it holds: its encoded body and this record
};

// Bounds of the messages waiting for links: per peer and in all.
inline constexpr std::size_t kMaxQueuedBytesPerPeer = 256 * 1024;
inline constexpr std::size_t kMaxQueuedBytesTotal = 8 * 1024 * 1024;

// NTCP2 sessions and handshakes (both ways) held at once; inbound connections beyond are
// refused at accept, and no dial starts.
inline constexpr std::size_t kMaxNtcp2Links = 512;
// Descriptors kept free for the router's own needs: the 16 dials it may have in progress,
// and a few to close, log, reseed and serve local clients with. Inbound connections never
// hold them.
inline constexpr std::int32_t kDescriptorReserve = 24;

// A peer that public mode dials and builds through: its NTCP2 host is an IPv4 address
// other than "127.0.0.1" and "0.0.0.0", and outside the reserved ranges unless
// allow_reserved (set only by tests whose network runs on 127.0.0.x).
bool is_usable_public_peer(const ntcp2_net::Ntcp2Peer& peer, bool allow_reserved);

// Byte comparison of the hash with every entry.
bool is_peer_in_list(const common::Hash& peer, const std::vector<common::Hash>& list);

}  // namespace router
