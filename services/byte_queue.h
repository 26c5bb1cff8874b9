#pragma once
// Bytes on their way to or from a local socket, moved without ever waiting: a queue that
// reads what a socket holds now and sends what a socket takes now. Local clients are
// written only through such queues, each bounded by its owner, so a client that stops
// reading holds up nothing but its own queue.
#include <cstddef>

#include "encoding/bytes.h"
#include "encoding/error.h"
#include "ntcp2_net/tcp_socket.h"

namespace router {

// The most a local output queue (a SAM client's replies, one direction of a bridge) holds.
inline constexpr std::size_t kLocalQueueCapacity = 256 * 1024;

// A first-in first-out byte queue; the front is bytes[start, end).
struct ByteQueue {
  Bytes bytes;
  std::size_t start = 0;

  std::size_t size() const { return bytes.size() - start; }
  bool empty() const { return size() == 0; }
  ByteView front() const { return ByteView(bytes).subspan(start); }
  void append(ByteView data);
  // Drops the first n bytes (at most size()).
  void consume(std::size_t n);
  void clear();
};

// Sends from the front of the queue what the socket takes without waiting and drops what
// was sent. The count sent; NetError::Closed or NetError::Io when the socket failed (the
// queue then keeps what was not sent).
Result<std::size_t> send_queued(ntcp2_net::TcpSocket& socket, ByteQueue& queue);

// Appends to the queue up to max bytes the socket holds now: its own receive buffer
// first, then non-waiting receives until the socket would block. The count appended;
// NetError::Closed at the end of the stream when nothing was appended, NetError::Io on a
// receive failure (bytes appended before it stay in the queue).
Result<std::size_t> receive_into(ntcp2_net::TcpSocket& socket, ByteQueue& queue, std::size_t max);

}  // namespace router
