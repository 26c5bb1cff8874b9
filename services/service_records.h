#pragma once
// Records of client services that the router record holds: SAM control connections,
// HTTP proxy connections and the stream bridges. The router core reads and closes their
// sockets; client services own the rest of their fields. Every socket a record holds stays
// in its record (and so in one of the router's lists) for as long as it is open.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/hash.h"
#include "encoding/bytes.h"
#include "ntcp2_net/tcp_socket.h"
#include "services/byte_queue.h"
#include "services/http_connection.h"

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
  std::int32_t id = 0;   // unique among the clients of the process's life, never 0
  ByteQueue out;         // replies the socket has not taken yet, at most 256 KiB
  bool spoke = false;    // has sent a complete line
  bool greeted = false;  // a HELLO VERSION agreed on a version; nothing is carried out before
  // The sessions this connection created: they end when the connection ends (or, once the
  // connection carries a stream, when that stream's bridge ends).
  std::vector<std::string> created_sessions;
};

enum class HttpProxyConnState : std::uint8_t {
  ReadingHead = 0,       // the request head is being read
  AwaitingLeaseSet = 1,  // the target's LeaseSet2 is being looked up; the socket is not read
  Answering = 2,         // an error page or redirect is being sent, then the connection ends
};

// One browser connection of the HTTP proxy, until its socket goes to a bridge: the HTTP
// connection (its socket, request bytes read so far until the head is complete, accept
// time, and the answer of one that is answered here) and what the proxy made of its
// request. Times are monotonic milliseconds.
struct HttpProxyConn : HttpConnection {
  HttpProxyConnState state = HttpProxyConnState::ReadingHead;
  std::string host;                         // of the parsed request, lower case
  std::optional<common::Hash> lookup_hash;  // whose LeaseSet2 is awaited
  std::uint16_t port = 80;
  Bytes request;  // the rewritten head and the body bytes that came with it
};

// A local socket-to-socket pump. Each direction has its own bounded queue; while a queue
// is full its source is not read. A side whose input ends has the other side's write
// direction shut down once the queue towards it is empty; a side that cannot be written
// stops the direction towards it. The bridge ends when both directions have ended.
struct StreamBridge {
  ntcp2_net::TcpSocket socket_a;            // the SAM connector (the browser for the HTTP proxy)
  ntcp2_net::TcpSocket socket_b;            // the accepting SAM client
  bool a_done = false;                      // A's input ended
  bool b_done = false;                      // B's input ended
  bool a_failed = false;                    // a write to A failed
  bool b_failed = false;                    // a write to B failed
  bool a_shut = false;                      // A's write direction is shut down
  bool b_shut = false;                      // B's write direction is shut down
  ByteQueue to_a;                           // from B, not yet taken by A
  ByteQueue to_b;                           // from A, not yet taken by B
  std::string session_a;                    // the sessions of the two sides ("" for none): when one
  std::string session_b;                    // ends, the bridge is closed
  std::vector<std::string> owned_sessions;  // end together with the bridge
};

enum class RemoteBridgeState : std::uint8_t {
  Connecting = 0,   // waiting for the peer's SYN-ACK
  Established = 1,  // pumping
};

// A pump between a local socket (a SAM client's, or a browser's for the HTTP proxy) and an
// I2P streaming connection of a local session. Times are monotonic milliseconds.
//
// Nothing is lost at either end: bytes the stream has not taken wait in pending_out, and
// the stream is closed only once the local side has ended and pending_out is empty; bytes
// the socket has not taken wait in to_local, and while it is full the rest stays in the
// connection (whose own bound makes the peer wait). Both queues hold at most 256 KiB; the
// local socket is not read while pending_out is full.
struct RemoteStreamBridge {
  ntcp2_net::TcpSocket socket;
  std::string session_id;  // whose stream manager holds the connection
  common::Hash peer_hash{};
  Bytes peer_x25519;  // packets go out only when it has 32 bytes
  common::Hash gateway{};
  std::uint32_t tunnel_id = 0;
  std::uint32_t stream_id = 0;  // the connection's local stream id
  RemoteBridgeState state = RemoteBridgeState::Connecting;
  bool silent = false;         // no SAM status lines (always for HTTP bridges)
  bool closing = false;        // the local side ended and the stream's CLOSE was queued
  bool eof_delivered = false;  // the peer's close was passed on as a write shutdown
  bool removed = false;        // set when the bridge leaves the list
  std::uint64_t started_ms = 0;
  ByteQueue pending_out;  // local bytes not yet taken by the stream
  bool is_http = false;   // failures are answered with HTTP error pages
  std::string host;       // the request's host for those pages
  std::uint64_t close_started_ms = 0;
  bool syn_stall_checked = false;
  ByteQueue to_local;         // stream bytes (and status lines) not yet taken by the socket
  bool local_done = false;    // the local input ended (end of stream or read error)
  bool local_failed = false;  // a write to the socket failed: nothing more goes to it
  // The connect failed: the stream is gone, the answer in to_local is sent, then the write
  // side is shut down and the socket drained until the client hangs up or a short while
  // passes.
  bool finishing = false;
  bool finish_shut = false;
  std::uint64_t finishing_ms = 0;
  // The sessions the local client created on this connection: they end with the bridge.
  std::vector<std::string> owned_sessions;
};

}  // namespace router
