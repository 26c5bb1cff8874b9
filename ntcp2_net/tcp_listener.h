#pragma once
// A listening TCP socket.
#include <cstdint>
#include <optional>
#include <string_view>

#include "encoding/error.h"
#include "ntcp2_net/tcp_socket.h"

namespace ntcp2_net {

// Move-only; the descriptor is closed when the listener is destroyed. Operations on a
// closed listener (fd < 0) fail with NetError::Closed.
struct TcpListener {
  int fd = -1;
  // The port actually bound (the kernel's choice when bound to port 0).
  int port = 0;

  TcpListener() = default;
  TcpListener(int descriptor, int bound_port) : fd(descriptor), port(bound_port) {}
  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;
  TcpListener(TcpListener&& other) noexcept;
  TcpListener& operator=(TcpListener&& other) noexcept;
  ~TcpListener();

  // An IPv4 listener on host:port (port 0 for any). NetError::Io
  // "listen(" host ":" port ") failed: " and the OS text.
  static Result<TcpListener> bind(std::string_view host, int port);

  // A new connection, or none when none came within timeout_ms (0 does not wait).
  // NetError::Io "accept failed: " and the OS text.
  Result<std::optional<TcpSocket>> accept(int timeout_ms);

  // Closes the descriptor (errors ignored) and marks the listener closed.
  void close();
};

}  // namespace ntcp2_net
