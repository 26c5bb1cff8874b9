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
#include "ntcp2_net/clock.h"
#include "ntcp2_net/handshake_io.h"
#include "ntcp2_net/ntcp2_conn.h"
#include "ntcp2_net/ntcp2_peer.h"
#include "ntcp2_net/tcp_socket.h"

namespace ntcp2_net {

// Where a dial stands: the connect in progress, SessionRequest written and the head of
// SessionCreated awaited, then its padding; Done once SessionConfirmed is written.
enum class DialPhase : std::uint8_t { Connecting, CreatedHead, CreatedPadding, Done };

struct PendingNtcp2Dial {
  TcpSocket socket;
  ntcp2::Ntcp2Handshake handshake;
  Bytes msg1;
  std::vector<ntcp2::Ntcp2Block> msg3_blocks;  // own RouterInfo, then 16 bytes of padding
  common::RouterInfo peer_info;
  bool check_clock_skew = true;
  std::int32_t max_skew_sec = kMaxClockSkewSec;
  Bytes rx;
  DialPhase phase = DialPhase::Connecting;
  std::int32_t want = 0;
  std::uint64_t started_ms = 0;  // monotonic

  // Opens the connection and prepares SessionRequest, stamped with now's wall clock. On
  // failure nothing stays open.
  static Result<PendingNtcp2Dial> start(const Ntcp2Peer& peer, const common::RouterInfo& dialled,
                                        const noise::KeyPair& static_keys, const common::RouterInfo& own_info,
                                        bool check_clock_skew, const Now& now);

  // None while waiting; the link once SessionConfirmed is written. now's wall clock is
  // checked against the peer's. Every error closes the socket first.
  Result<std::optional<Ntcp2Conn>> step(const Now& now);

 private:
  Result<std::optional<Ntcp2Conn>> advance(const Now& now);
};

}  // namespace ntcp2_net
