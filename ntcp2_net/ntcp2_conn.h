#pragma once
// One established NTCP2 link: a non-blocking socket, the data-phase keys, a queue of
// encrypted frames waiting to be sent, and the partly read incoming frame. Nothing here
// waits: sends stop when the socket would block, reads take only what the socket holds
// and never more than the current field needs. The link never closes its own socket;
// its owner does after an error.
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "common/router_info.h"
#include "encoding/bytes.h"
#include "encoding/error.h"
#include "i2np/payload.h"
#include "ntcp2/block.h"
#include "ntcp2/data_session.h"
#include "ntcp2_net/clock.h"
#include "ntcp2_net/tcp_socket.h"

namespace ntcp2_net {

// Above this many queued bytes a send is refused.
inline constexpr std::int32_t kMaxQueuedBytes = 262144;
// A send queue that makes no progress for longer than this fails the link.
inline constexpr std::uint64_t kSendStallMs = 10000;
// A received frame must be whole this long after its first byte arrived, or the link
// fails: a peer must not hold a link by sending part of a frame and then nothing.
inline constexpr std::uint64_t kFrameStallMs = 10000;
// Sent frame buffers a link keeps for reuse, each of at most kSpareFrameCapacity bytes.
inline constexpr std::size_t kSpareFrames = 4;
inline constexpr std::size_t kSpareFrameCapacity = 65536;

struct Ntcp2Conn {
  TcpSocket socket;
  ntcp2::Ntcp2DataSession session;
  // The RouterInfo dialled, or the one the peer sent in SessionConfirmed (which names the
  // static key it proved).
  common::RouterInfo peer_info;
  Bytes rx;                        // the part of the length field or frame read so far
  std::int32_t rx_frame_len = -1;  // -1 while reading the length field
  std::deque<Bytes> tx_queue;      // whole wire frames, oldest first
  std::int32_t tx_offset = 0;      // bytes of the head frame already sent
  std::int32_t tx_queued = 0;      // unsent bytes in the queue and in tx_open
  // The next frame being gathered (hold_i2np_nb): room for its length field, then its
  // encoded blocks; sealed where it lies behind the queue before anything else is queued
  // or sent. Empty while nothing is gathered.
  Bytes tx_open;
  // Buffers of frames already sent, kept for the next frames to be gathered in (at most
  // kSpareFrames), so that a busy link does not allocate per frame.
  std::vector<Bytes> tx_spare;
  std::uint64_t stall_since_ms = 0;  // monotonic; 0 while the queue is not stalled
  std::uint64_t rx_started_ms = 0;   // monotonic; first byte of the frame being read, 0 between frames

  // Encrypts the blocks as one frame, queues it and tries to flush. Refused without any
  // change when more than 262,144 bytes wait (NetError::Io "NTCP2 outbound send queue
  // full") or when the blocks do not fit one frame (NetError::Protocol around
  // Ntcp2Error::Malformed); a refused send leaves the link usable.
  Result<void> send_blocks_nb(const std::vector<ntcp2::Ntcp2Block>& blocks, const Now& now);
  // One I2NP message with the short header, in a frame of its own.
  Result<void> send_i2np_nb(std::uint32_t message_id, std::uint32_t expiration, const i2np::I2npPayload& payload,
                            const Now& now);
  // As send_blocks_nb and send_i2np_nb, without the flush: the frame waits in the queue for
  // the owner's next flush, which sends every queued frame in one write.
  Result<void> queue_blocks_nb(const std::vector<ntcp2::Ntcp2Block>& blocks);
  Result<void> queue_i2np_nb(std::uint32_t message_id, std::uint32_t expiration, const i2np::I2npPayload& payload);
  // One I2NP message gathered with the others held since the last flush into shared frames
  // of up to 16 KiB of blocks (a longer message has a frame of its own): fewer, larger
  // frames cost less to seal, open and write. Refused as send_blocks_nb.
  Result<void> hold_i2np_nb(std::uint32_t message_id, std::uint32_t expiration, const i2np::I2npPayload& payload);
  // Seals what hold_i2np_nb gathered as one frame at the end of the queue.
  Result<void> seal_open_frame();
  // Bytes wait to be sealed or sent.
  bool has_unsent() const { return !tx_queue.empty() || !tx_open.empty(); }
  // The head frame has left: its buffer goes to the spares.
  void drop_sent_frame();
  // Sends what the socket takes now, up to 64 queued frames per write; true when any byte
  // left in this call. A queue that makes no progress for more than 10,000 ms (monotonic)
  // fails with NetError::Timeout.
  Result<bool> flush_nonblocking(const Now& now);
  // The blocks of the next whole frame, or none while it is incomplete. A frame that fails
  // authentication fails with NetError::Protocol; one still incomplete more than 10,000 ms
  // (monotonic) after its first byte arrived fails with NetError::Timeout.
  Result<std::optional<std::vector<ntcp2::Ntcp2Block>>> recv_blocks_nb(const Now& now);
};

// A new link: empty receive state, empty queue.
Ntcp2Conn make_ntcp2_conn(TcpSocket socket, ntcp2::Ntcp2DataSession session, common::RouterInfo peer_info);

}  // namespace ntcp2_net
