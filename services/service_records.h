#pragma once
// Records of client services that the router record holds: SAM control connections,
// HTTP proxy connections and the stream bridges. The router core reads and closes their
// sockets; client services own the rest of their fields.
#include <cstdint>
#include <string>

#include "encoding/bytes.h"
#include "ntcp2_net/tcp_socket.h"

namespace router {

enum class SamClientState : std::uint8_t { AwaitingHello, Ready };

// One SAM control connection. A finished client is marked closed and then forgotten
// (removed from the router's list; pending lookups naming it by position are moved along).
struct SamClientConn {
  ntcp2_net::TcpSocket socket;
  Bytes input;
  std::string session_id;
  SamClientState state = SamClientState::AwaitingHello;
  std::string accept_id;
  bool silent = false;
  bool closed = false;
};

// One browser connection of the HTTP proxy.
struct HttpProxyConn {
  ntcp2_net::TcpSocket socket;
  bool closed = false;
};

// A local socket-to-socket pump.
struct StreamBridge {
  ntcp2_net::TcpSocket socket_a;
  ntcp2_net::TcpSocket socket_b;
};

// A pump between a local socket and an I2P stream.
struct RemoteStreamBridge {
  ntcp2_net::TcpSocket socket;
  bool removed = false;
};

}  // namespace router
