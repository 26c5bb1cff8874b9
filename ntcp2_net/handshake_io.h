#pragma once
// What the dial and accept records share: the socket settings of an NTCP2 connection, a
// fresh ephemeral key per connection, the handshake messages read a whole message at a
// time, and the clock check against the peer's timestamp.
#include <cstddef>
#include <cstdint>
#include <optional>

#include "encoding/bytes.h"
#include "encoding/error.h"
#include "ntcp2/handshake.h"
#include "ntcp2_net/tcp_socket.h"

namespace ntcp2_net {

// Largest clock difference to a peer that is accepted, in seconds.
inline constexpr std::int32_t kMaxClockSkewSec = 60;
// Deadline for writing one handshake message.
inline constexpr std::int64_t kHandshakeWriteMs = 250;
// TCP user time-out given to every NTCP2 socket.
inline constexpr std::int32_t kPeerTimeoutMs = 15000;
// Random padding this side puts into each handshake message it writes.
inline constexpr std::size_t kHandshakePaddingLen = 16;

// True when the two clocks (unix seconds, compared as unsigned 32-bit) are more than
// max_skew_sec apart.
bool clock_skew_exceeds(std::uint32_t remote_s, std::uint32_t local_s, std::int32_t max_skew_sec);

// The settings of every NTCP2 socket, dialled or accepted: keep-alive with a 15,000 ms TCP
// user time-out, and TCP_NODELAY, since links carry small messages that must not wait for
// the acknowledgement of earlier ones (a tunnel build, a stream's data and its reply). A
// setting that fails leaves the socket usable.
void prepare_ntcp2_socket(int fd);

// Gives the handshake its ephemeral key, fresh from the random source.
Result<void> set_fresh_ephemeral(ntcp2::Ntcp2Handshake& handshake);

// The next handshake message of exactly `want` bytes, once the socket has delivered all of
// them (collected in rx across calls without waiting; rx is empty again afterwards); none
// while more must come. Failures as TcpSocket::fill_to.
Result<std::optional<Bytes>> take_message(TcpSocket& socket, Bytes& rx, std::size_t want);

}  // namespace ntcp2_net
