#pragma once
// One outbound NTCP2 connection in progress: the non-blocking connect, then
// SessionRequest, SessionCreated and SessionConfirmed, each step doing only what the
// socket allows now. Finishes as an Ntcp2Conn. The owner applies the overall time limit
// to started_ms and drops the record after an error (its socket is closed by then).
#include <cstdint>
#include <optional>
#include <vector>

#include "common/router_info.h"
#include "encoding/bytes.h"
#include "encoding/error.h"
#include "noise/key_pair.h"
#include "ntcp2/block.h"
#include "ntcp2/handshake.h"
#include "ntcp2_net/ntcp2_conn.h"
#include "ntcp2_net/ntcp2_peer.h"
#include "ntcp2_net/tcp_socket.h"

namespace ntcp2_net {

// Largest clock difference to a peer that is accepted, in seconds.
inline constexpr std::int32_t kMaxClockSkewSec = 60;
// Deadline for writing one handshake message.
inline constexpr std::int64_t kHandshakeWriteMs = 250;
// TCP user time-out given to every NTCP2 socket.
inline constexpr std::int32_t kPeerTimeoutMs = 15000;

// True when the two clocks (unix seconds, compared as unsigned 32-bit) are more than
// max_skew_sec apart.
bool clock_skew_exceeds(std::uint32_t remote_s, std::uint32_t local_s, std::int32_t max_skew_sec);

struct PendingNtcp2Dial {
  TcpSocket socket;
  ntcp2::Ntcp2Handshake handshake;
  Bytes msg1;
  std::vector<ntcp2::Ntcp2Block> msg3_blocks;  // own RouterInfo, then 16 bytes of padding
  common::RouterInfo peer_info;
  bool check_clock_skew = true;
  std::int32_t max_skew_sec = kMaxClockSkewSec;
  Bytes rx;
  std::int32_t phase = 0;  // 0 connecting, 1 SessionCreated head, 2 its padding
  std::int32_t want = 0;
  std::uint64_t started_ms = 0;

  // Opens the connection and prepares SessionRequest. On failure nothing stays open.
  static Result<PendingNtcp2Dial> start(const Ntcp2Peer& peer, const common::RouterInfo& dialled,
                                        const noise::KeyPair& static_keys, const common::RouterInfo& own_info,
                                        bool check_clock_skew);

  // None while waiting; the link once SessionConfirmed is written. Every error closes
  // the socket first.
  Result<std::optional<Ntcp2Conn>> step();

 private:
  Result<std::optional<Ntcp2Conn>> advance();
};

}  // namespace ntcp2_net
