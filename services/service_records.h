#pragma once
// Records of client services that the router record holds: SAM control connections,
// HTTP proxy connections and the stream bridges. The router core reads and closes their
// sockets; client services own the rest of their fields. Every socket a record holds stays
// in its record (and so in one of the router's lists) for as long as it is open.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "encoding/bytes.h"
#include "ntcp2_net/tcp_socket.h"
#include "services/byte_queue.h"

namespace router {

enum class SamClientState : std::uint8_t {
  Command,    // lines are read and answered
  Accepting,  // waits in STREAM ACCEPT for a connector; not read meanwhile
  Bridged,    // its socket went to a bridge; the record is then dropped
};

// One SAM control connection. A finished client (closed, or bridged) is removed from the
// router's list in the same pass; pending lookups name their client by its id, so an
// answer for a client that is gone finds nothing and is dropped.
struct SamClientConn {
  ntcp2_net::TcpSocket socket;
  Bytes inbuf;  // read and not yet taken as a line; a line longer than 64 KiB closes the client
  std::optional<std::string> session_id;  // the last session this connection created
  SamClientState state = SamClientState::Command;
  std::string accept_id;  // the session of a pending STREAM ACCEPT
  bool silent = false;    // SILENT of that STREAM ACCEPT
  bool closed = false;
  std::int32_t id = 0;  // unique among the clients of the process's life, never 0
  ByteQueue out;        // replies the socket has not taken yet, at most 256 KiB
  bool spoke = false;   // has sent a complete line
  // The sessions this connection created: they end when the connection ends (or, once the
  // connection carries a stream, when that stream's bridge ends).
  std::vector<std::string> created_sessions;
};

// One browser connection of the HTTP proxy.
struct HttpProxyConn {
  ntcp2_net::TcpSocket socket;
  bool closed = false;
};

// A local socket-to-socket pump. Each direction has its own bounded queue; while a queue
// is full its source is not read. A side whose input ends has the other side's write
// direction shut down once the queue towards it is empty; a side that cannot be written
// stops the direction towards it. The bridge ends when both directions have ended.
struct StreamBridge {
  ntcp2_net::TcpSocket socket_a;  // the SAM connector (the browser for the HTTP proxy)
  ntcp2_net::TcpSocket socket_b;  // the accepting SAM client
  bool a_done = false;            // A's input ended
  bool b_done = false;            // B's input ended
  bool a_failed = false;          // a write to A failed
  bool b_failed = false;          // a write to B failed
  bool a_shut = false;            // A's write direction is shut down
  bool b_shut = false;            // B's write direction is shut down
  ByteQueue to_a;                 // from B, not yet taken by A
  ByteQueue to_b;                 // from A, not yet taken by B
  std::string session_a;          // the sessions of the two sides ("" for none): when one
  std::string session_b;          // ends, the bridge is closed
  std::vector<std::string> owned_sessions;  // end together with the bridge
};

// A pump between a local socket and an I2P stream.
struct RemoteStreamBridge {
  ntcp2_net::TcpSocket socket;
  bool removed = false;
};

}  // namespace router
