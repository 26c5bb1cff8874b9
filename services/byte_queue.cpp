#include "services/byte_queue.h"

#include <algorithm>

#include "ntcp2_net/glue.h"
#include "ntcp2_net/os_error.h"

namespace router {

namespace {

// Receives at most this much in one call; larger reads gain nothing on loopback.
constexpr std::size_t kReceiveChunk = 64 * 1024;
// The consumed front is dropped once it is this large and more than half the buffer.
constexpr std::size_t kCompactAt = 64 * 1024;

}  // namespace

void ByteQueue::append(ByteView data) {
  if (empty()) clear();
  bytes.insert(bytes.end(), data.begin(), data.end());
}

void ByteQueue::consume(std::size_t n) {
  start += std::min(n, size());
  if (start == bytes.size()) {
    clear();
  } else if (start >= kCompactAt && start * 2 > bytes.size()) {
    bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(start));
    start = 0;
  }
}

void ByteQueue::clear() {
  bytes.clear();
  start = 0;
}

Result<std::size_t> send_queued(ntcp2_net::TcpSocket& socket, ByteQueue& queue) {
  if (socket.fd < 0) return fail(NetError::Closed);
  std::size_t sent = 0;
  while (!queue.empty()) {
    const ByteView front = queue.front();
    const auto count = static_cast<std::int32_t>(std::min<std::size_t>(front.size(), 0x7fffffff));
    const std::int32_t n = ondrel_i2p_net_tcp_send(socket.fd, front.data(), 0, count);
    if (n == -2) break;
    if (n < 0) return fail(NetError::Io, msg("send failed: ", ntcp2_net::last_os_error()));
    if (n == 0) return fail(NetError::Closed);
    queue.consume(static_cast<std::size_t>(n));
    sent += static_cast<std::size_t>(n);
  }
  return sent;
}

Result<std::size_t> receive_into(ntcp2_net::TcpSocket& socket, ByteQueue& queue, std::size_t max) {
  if (socket.fd < 0) return fail(NetError::Closed);
  if (queue.empty()) queue.clear();
  std::size_t appended = 0;
  if (socket.rx_start < socket.rx_end && max > 0) {
    const std::size_t n = std::min(socket.rx_end - socket.rx_start, max);
    const auto from = socket.rx_buf.begin() + static_cast<std::ptrdiff_t>(socket.rx_start);
    queue.bytes.insert(queue.bytes.end(), from, from + static_cast<std::ptrdiff_t>(n));
    socket.rx_start += n;
    appended += n;
  }
  while (appended < max) {
    const std::size_t want = std::min(kReceiveChunk, max - appended);
    const std::size_t old_size = queue.bytes.size();
    queue.bytes.resize(old_size + want);
    const std::int32_t k =
        ondrel_i2p_net_tcp_recv_nb(socket.fd, queue.bytes.data() + old_size, static_cast<std::int32_t>(want));
    queue.bytes.resize(old_size + static_cast<std::size_t>(std::max(k, 0)));
    if (k == -2) break;
    if (k < 0) return fail(NetError::Io, msg("recv failed: ", ntcp2_net::last_os_error()));
    if (k == 0) {
      if (appended == 0) return fail(NetError::Closed);
      break;
    }
    appended += static_cast<std::size_t>(k);
  }
  return appended;
}

}  // namespace router
