#pragma once
// One peer connection of a torrent, and an accepted stream whose handshake has not yet
// said which torrent it wants.
//
// Times are monotonic milliseconds (Now.mono_ms), as the stream manager's are.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/hash.h"
#include "encoding/bytes.h"
#include "torrent/piece_flags.h"

namespace router {

// Plain integers: the API shows them as "state".
enum class PeerConnState : std::int32_t {
  LookingUp = 0,      // waiting for the peer's LeaseSet2
  Connecting = 1,     // streaming connection opening
  HandshakeSent = 2,  // own 68-byte handshake sent, waiting for the peer's
  Connected = 3,      // handshakes exchanged, messages flow
  Closed = 4,         // to be removed
};

// What we keep of a peer's extension handshake. Ids are 1 to 255, -1 when absent.
struct PeerExtHandshake {
  std::int32_t ut_metadata = -1;
  std::int32_t i2p_pex = -1;
  std::int32_t i2p_dht = -1;
  std::optional<std::int32_t> metadata_size;  // 1 to 16,777,215
  std::string client;                         // the peer's "v"
  // The DHT port the peer announced with i2p_dht, 0 while none.
  std::uint32_t dht_port = 0;
};

// One outstanding block request of a connection.
struct InflightRequest {
  std::int32_t piece = 0;
  std::uint32_t begin = 0;
  std::uint32_t length = 0;
  std::uint64_t sent_ms = 0;

  friend bool operator==(const InflightRequest&, const InflightRequest&) = default;
};

struct TorrentPeerConn {
  common::Hash peer;
  std::int32_t state = static_cast<std::int32_t>(PeerConnState::LookingUp);
  std::uint64_t state_since_ms = 0;
  std::uint64_t last_recv_ms = 0;
  std::uint64_t last_send_ms = 0;
  std::uint64_t last_flush_ms = 0;   // when the own LeaseSet2 was last attached to a flush
  std::uint64_t last_lookup_ms = 0;  // when a lookup of the peer's LeaseSet2 was last started
  std::int32_t publish_gen = 0;      // TorrentEngine.publish_gen at that flush
  std::uint32_t stream_id = 0;       // 0 before the connect
  Bytes remote_x25519;               // from the peer's LeaseSet2; empty until known
  std::optional<common::Hash> lease_gateway;
  std::uint32_t lease_tunnel_id = 0;
  Bytes recv_buf;  // at most kPeerRecvBufMax plus what one stream read brings
  Bytes send_buf;  // at most kPeerSendBufMax
  bool handshake_sent = false;
  bool post_handshake_sent = false;
  bool peer_choking = true;
  bool am_choking = true;
  bool am_interested = false;
  bool peer_has_pieces = false;
  bool peer_has_all = false;
  std::optional<PeerExtHandshake> ext;
  std::string client;
  PieceFlags peer_bitfield;               // one 0/1 flag per piece
  std::vector<InflightRequest> inflight;  // at most kMaxInflightPerPeer
  std::uint64_t blocks_recv = 0;
  bool dht_pinged = false;
  bool stalled_syn_noted = false;
  std::string close_reason;
  // Pieces this peer alone delivered that failed their SHA-1; at kMaxFailedPiecesPerPeer
  // the connection is closed and the peer backed off.
  std::uint32_t failed_pieces = 0;
  // The peer's handshake set the extension-protocol bit.
  bool peer_supports_ext = false;
  // A Have, Bitfield, HaveAll or HaveNone was seen (the first one's debug line).
  bool seen_piece_info = false;
};

// What a connection's failure says about the peer's ratchet session
// (Router::bt_mark_peer_ratchet_stale). The session counts as stale when nothing came from the
// peer for quiet_s seconds; throttle marks it only when the router-wide reset window grants
// it; remove_lease_set forgets the peer's LeaseSet2 as well, whatever the session showed.
struct RatchetMarking {
  std::uint64_t quiet_s = 0;
  bool remove_lease_set = false;
  bool throttle = false;
};

// An accepted stream waiting for the peer's handshake.
struct TorrentInboundConn {
  std::uint32_t stream_id = 0;
  common::Hash peer;
  Bytes remote_x25519;         // empty while the remote LeaseSet2 is unknown
  common::Hash lease_gateway;  // the own router hash while unknown
  std::uint32_t lease_tunnel_id = 0;
  std::uint64_t accepted_ms = 0;
  Bytes recv_buf;  // at most one handshake's worth is kept waiting
};

inline PeerConnState peer_state(const TorrentPeerConn& c) { return static_cast<PeerConnState>(c.state); }
inline void set_peer_state(TorrentPeerConn& c, PeerConnState s) { c.state = static_cast<std::int32_t>(s); }

}  // namespace router
