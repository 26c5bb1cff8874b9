#pragma once
// One connected TCP socket with its own receive buffer.
#include <array>
#include <cstddef>
#include <cstdint>

#include "encoding/bytes.h"
#include "encoding/error.h"

namespace ntcp2_net {

// Owned by exactly one record at a time: move-only, and the descriptor is closed when
// the socket is destroyed. Callers that close by hand call ondrel_i2p_net_tcp_close
// and set `fd` to -1 (or call close()). Every operation on a closed socket
// (fd < 0) fails with NetError::Closed; no operation waits except write_all.
struct TcpSocket {
  static constexpr std::size_t kRxCapacity = 4096;

  int fd = -1;
  // Bytes rx_buf[rx_start, rx_end) were received but not yet handed out.
  std::array<std::uint8_t, kRxCapacity> rx_buf{};
  std::size_t rx_start = 0;
  std::size_t rx_end = 0;
  // Whether the last receive of pump_nonblocking took less than it asked for (nothing at
  // all when it would block): the kernel held no more at that moment. A reader that has
  // used up what it took can end its pass there instead of asking once more only to hear
  // that the socket would block; what arrives later wakes the loop's wait.
  bool last_read_short = false;

  TcpSocket() = default;
  // Takes ownership of a connected descriptor (accepted, or from
  // ondrel_i2p_net_tcp_connect_nb).
  explicit TcpSocket(int descriptor) : fd(descriptor) {}
  TcpSocket(const TcpSocket&) = delete;
  TcpSocket& operator=(const TcpSocket&) = delete;
  TcpSocket(TcpSocket&& other) noexcept;
  TcpSocket& operator=(TcpSocket&& other) noexcept;
  ~TcpSocket();

  // Closes the descriptor (errors ignored) and marks the socket closed. Harmless twice.
  void close();

  // True when bytes are buffered or the socket is readable now (also at end of stream
  // or on a socket error). Never waits. NetError::Io "poll failed: ".
  Result<bool> poll_readable();

  // Up to max bytes: buffered ones first, else one non-waiting receive of up to 4,096
  // bytes. Empty at end of stream. NetError::Timeout when nothing can be read without
  // waiting; NetError::Io "recv failed: ".
  Result<Bytes> read_some(std::size_t max);

  // Appends up to `want` bytes to out without waiting: buffered bytes, then
  // non-waiting receives until the socket would block. Returns the count appended.
  // End of stream with nothing appended in this call is NetError::Closed;
  // NetError::Io "recv_nb failed: ". Bytes appended before a failure stay in out.
  Result<std::size_t> pump_nonblocking(Bytes& out, std::int64_t want);

  // Tops buf up towards want bytes without waiting: true once buf holds want bytes, false
  // while more must come. A closed socket is NetError::Closed; failures as pump_nonblocking.
  Result<bool> fill_to(Bytes& buf, std::size_t want);

  // Sends every byte, waiting for writability in slices of at most 5,000 ms until
  // deadline_ms have passed (measured on the monotonic clock). NetError::Closed
  // (also when a send writes nothing), NetError::Timeout, NetError::Io "send failed: "
  // or "poll writable failed: ". Bytes sent before a failure stay sent.
  Result<void> write_all(ByteView data, std::int64_t deadline_ms);
};

}  // namespace ntcp2_net
