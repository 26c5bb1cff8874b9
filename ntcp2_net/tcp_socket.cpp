#include "ntcp2_net/tcp_socket.h"

#include <algorithm>
#include <utility>

#include "ntcp2_net/glue.h"
#include "ntcp2_net/os_error.h"

namespace ntcp2_net {

namespace {

constexpr std::int64_t kMaxPollSliceMs = 5000;
// The most a direct read adds to a caller's buffer at once (it grows by what it asks first).
constexpr std::uint64_t kMaxDirectRead = 65536;

// A write's deadline is measured on the monotonic clock, so it neither stretches nor
// shrinks when the wall clock is stepped.
std::int64_t monotonic_ms() { return static_cast<std::int64_t>(ondrel_i2p_net_monotonic_ms()); }

}  // namespace

TcpSocket::TcpSocket(TcpSocket&& other) noexcept
    : fd(std::exchange(other.fd, -1)),
      rx_buf(other.rx_buf),
      rx_start(std::exchange(other.rx_start, 0)),
      rx_end(std::exchange(other.rx_end, 0)),
      last_read_short(std::exchange(other.last_read_short, false)) {}

TcpSocket& TcpSocket::operator=(TcpSocket&& other) noexcept {
  if (this != &other) {
    close();
    fd = std::exchange(other.fd, -1);
    rx_buf = other.rx_buf;
    rx_start = std::exchange(other.rx_start, 0);
    rx_end = std::exchange(other.rx_end, 0);
    last_read_short = std::exchange(other.last_read_short, false);
  }
  return *this;
}

TcpSocket::~TcpSocket() { close(); }

void TcpSocket::close() {
  if (fd >= 0) {
    ondrel_i2p_net_tcp_close(fd);
    fd = -1;
  }
}

Result<bool> TcpSocket::poll_readable() {
  if (rx_start < rx_end) return true;
  if (fd < 0) return fail(NetError::Closed);
  std::int32_t r = ondrel_i2p_net_tcp_poll_readable(fd, 0);
  if (r < 0) return fail(NetError::Io, msg("poll failed: ", last_os_error()));
  return r > 0;
}

Result<Bytes> TcpSocket::read_some(std::size_t max) {
  auto hand_out = [&] {
    std::size_t n = std::min(rx_end - rx_start, max);
    Bytes out(rx_buf.begin() + static_cast<std::ptrdiff_t>(rx_start),
              rx_buf.begin() + static_cast<std::ptrdiff_t>(rx_start + n));
    rx_start += n;
    return out;
  };
  if (rx_start < rx_end) return hand_out();
  if (fd < 0) return fail(NetError::Closed);
  // Never waits, also on a socket left in blocking mode: the whole router would stop.
  std::int32_t k = ondrel_i2p_net_tcp_recv_nb(fd, rx_buf.data(), static_cast<std::int32_t>(rx_buf.size()));
  if (k == -2) return fail(NetError::Timeout);
  if (k < 0) return fail(NetError::Io, msg("recv failed: ", last_os_error()));
  rx_start = 0;
  rx_end = static_cast<std::size_t>(k);
  if (k == 0) return Bytes{};
  return hand_out();
}

Result<std::size_t> TcpSocket::pump_nonblocking(Bytes& out, std::int64_t want) {
  if (want <= 0) return std::size_t{0};
  if (fd < 0) return fail(NetError::Closed);
  const auto wanted = static_cast<std::uint64_t>(want);
  std::size_t appended = 0;
  while (appended < wanted) {
    if (rx_start < rx_end) {
      std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(rx_end - rx_start, wanted - appended));
      out.insert(out.end(), rx_buf.begin() + static_cast<std::ptrdiff_t>(rx_start),
                 rx_buf.begin() + static_cast<std::ptrdiff_t>(rx_start + n));
      rx_start += n;
      appended += n;
      continue;
    }
    // A long read goes straight into out, in one receive and without the copy through the
    // socket's own buffer; a short one fills that buffer, which may then hold what follows.
    const std::uint64_t rest = wanted - appended;
    if (rest >= kRxCapacity) {
      const std::size_t base = out.size();
      const auto chunk = static_cast<std::int32_t>(std::min<std::uint64_t>(rest, kMaxDirectRead));
      out.resize(base + static_cast<std::size_t>(chunk));
      const std::int32_t k = ondrel_i2p_net_tcp_recv_nb(fd, out.data() + base, chunk);
      out.resize(base + static_cast<std::size_t>(std::max(k, 0)));
      last_read_short = k < chunk;
      if (k == -2) break;
      if (k < 0) return fail(NetError::Io, msg("recv_nb failed: ", last_os_error()));
      if (k == 0) {
        if (appended == 0) return fail(NetError::Closed);
        break;
      }
      appended += static_cast<std::size_t>(k);
      continue;
    }
    std::int32_t k = ondrel_i2p_net_tcp_recv_nb(fd, rx_buf.data(), static_cast<std::int32_t>(rx_buf.size()));
    last_read_short = k < static_cast<std::int32_t>(rx_buf.size());
    if (k == -2) break;
    if (k < 0) return fail(NetError::Io, msg("recv_nb failed: ", last_os_error()));
    if (k == 0) {
      rx_start = rx_end = 0;
      if (appended == 0) return fail(NetError::Closed);
      break;
    }
    rx_start = 0;
    rx_end = static_cast<std::size_t>(k);
  }
  return appended;
}

Result<void> TcpSocket::write_all(ByteView data, std::int64_t deadline_ms) {
  if (fd < 0) return fail(NetError::Closed);
  if (data.empty()) return {};
  const std::int64_t deadline = monotonic_ms() + std::max<std::int64_t>(deadline_ms, 0);
  std::size_t sent = 0;
  while (sent < data.size()) {
    std::size_t rest = std::min<std::size_t>(data.size() - sent, 0x7fffffff);
    std::int32_t n = ondrel_i2p_net_tcp_send(fd, data.data() + sent, 0, static_cast<std::int32_t>(rest));
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0) return fail(NetError::Closed);
    if (n != -2) return fail(NetError::Io, msg("send failed: ", last_os_error()));

    std::int64_t now = monotonic_ms();
    if (now >= deadline) return fail(NetError::Timeout);
    auto slice = static_cast<std::int32_t>(std::min(deadline - now, kMaxPollSliceMs));
    std::int32_t writable = ondrel_i2p_net_tcp_poll_writable(fd, slice);
    if (writable < 0) return fail(NetError::Io, msg("poll writable failed: ", last_os_error()));
    if (writable == 0 && monotonic_ms() >= deadline) return fail(NetError::Timeout);
  }
  return {};
}

Result<bool> TcpSocket::fill_to(Bytes& buf, std::size_t want) {
  if (buf.size() >= want) return true;
  if (fd < 0) return fail(NetError::Closed);
  auto got = pump_nonblocking(buf, static_cast<std::int64_t>(want - buf.size()));
  if (!got) return std::unexpected(std::move(got.error()));
  return buf.size() >= want;
}

}  // namespace ntcp2_net
