#pragma once
// One inbound NTCP2 connection in progress: SessionRequest, SessionCreated and
// SessionConfirmed on an accepted socket, each step going as far as the received bytes
// allow. The responder's checks run in a fixed order (options decrypt, network id,
// version, clock, replay), so a key enters the replay cache only when everything before
// passed. Finishes as an Ntcp2Conn whose peer proved the static key its RouterInfo names.
// The replay cache is shared by every accept of a router and handed to each step, so the
// record holds no pointer into its owner, which may move.
#include <cstdint>
#include <optional>

#include "encoding/bytes.h"
#include "encoding/error.h"
#include "noise/key_pair.h"
#include "ntcp2/handshake.h"
#include "ntcp2_net/clock.h"
#include "ntcp2_net/handshake_io.h"
#include "ntcp2_net/ntcp2_conn.h"
#include "ntcp2_net/replay_cache.h"
#include "ntcp2_net/tcp_socket.h"

namespace ntcp2_net {

// Where an accept stands: awaiting the head of SessionRequest, its padding, then the whole
// SessionConfirmed; Done once the link is handed out.
enum class AcceptPhase : std::uint8_t { RequestHead, RequestPadding, Confirmed, Done };

struct PendingNtcp2Accept {
  TcpSocket socket;
  ntcp2::Ntcp2Handshake handshake;
  bool check_clock_skew = true;
  std::int32_t max_skew_sec = kMaxClockSkewSec;
  std::int32_t network_id = 2;
  Bytes rx;
  AcceptPhase phase = AcceptPhase::RequestHead;
  std::int32_t want = 64;
  std::uint64_t started_ms = 0;  // monotonic

  // Prepares the responder for an accepted socket (switched to non-blocking here). On
  // failure the socket is closed.
  static Result<PendingNtcp2Accept> start(TcpSocket socket, const noise::KeyPair& static_keys, ByteView router_hash,
                                          ByteView published_iv, bool check_clock_skew, const Now& now);

  // None while waiting; the link once SessionConfirmed is read and checked. now's wall
  // clock is checked against the peer's and stamps SessionCreated; a SessionRequest that
  // passes its checks enters replay_cache. Every error closes the socket first.
  Result<std::optional<Ntcp2Conn>> step(ReplayCache& replay_cache, const Now& now);

 private:
  Result<std::optional<Ntcp2Conn>> advance(ReplayCache& replay_cache, const Now& now);
  Result<void> check_request(const ntcp2::SessionRequestOptions& options, ReplayCache& replay_cache, const Now& now);
  Result<Ntcp2Conn> finish(ByteView msg3);
};

// The RouterInfo blocks of SessionConfirmed, checked against the static key the handshake
// proved. The first block must be a RouterInfo; each RouterInfo must decode, carry a valid
// Ed25519 signature and name that key as "s" of at least one NTCP2 address and of none
// that differs. Gives the last RouterInfo checked.
Result<common::RouterInfo> check_peer_router_info(const std::vector<ntcp2::Ntcp2Block>& blocks, ByteView proven_static);

}  // namespace ntcp2_net
