#include "ntcp2_net/tcp_listener.h"

#include <algorithm>
#include <utility>

#include "encoding/text.h"
#include "ntcp2_net/glue.h"
#include "ntcp2_net/os_error.h"

namespace ntcp2_net {

TcpListener::TcpListener(TcpListener&& other) noexcept : fd(std::exchange(other.fd, -1)), port(other.port) {}

TcpListener& TcpListener::operator=(TcpListener&& other) noexcept {
  if (this != &other) {
    close();
    fd = std::exchange(other.fd, -1);
    port = other.port;
  }
  return *this;
}

TcpListener::~TcpListener() { close(); }

Result<TcpListener> TcpListener::bind(std::string_view host, int port) {
  Bytes name = encoding::string_to_utf8_bytes(host);
  // Longer names are refused by the glue; clamping only keeps the count in range.
  auto len = static_cast<std::int32_t>(std::min<std::size_t>(name.size(), 0x7fffffff));
  std::int32_t fd = ondrel_i2p_net_tcp_listen(name.data(), len, port);
  if (fd < 0) return fail(NetError::Io, msg("listen(", host, ":", port, ") failed: ", last_os_error()));
  std::int32_t bound = ondrel_i2p_net_tcp_local_port(fd);
  return TcpListener(fd, bound > 0 ? bound : port);
}

Result<std::optional<TcpSocket>> TcpListener::accept(int timeout_ms) {
  if (fd < 0) return fail(NetError::Closed);
  std::int32_t conn = ondrel_i2p_net_tcp_accept(fd, timeout_ms);
  if (conn == -2) return std::optional<TcpSocket>{};
  if (conn < 0) return fail(NetError::Io, msg("accept failed: ", last_os_error()));
  return std::optional<TcpSocket>(TcpSocket(conn));
}

void TcpListener::close() {
  if (fd >= 0) {
    ondrel_i2p_net_tcp_close(fd);
    fd = -1;
  }
}

}  // namespace ntcp2_net
