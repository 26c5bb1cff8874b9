#pragma once
// Records of the BitTorrent client that the router record holds: the engine (its own
// header) and the API's connections.
#include <cstddef>
#include <cstdint>
#include <string>

#include "encoding/bytes.h"
#include "ntcp2_net/tcp_socket.h"
#include "torrent/engine_records.h"

namespace router {

// Where a torrent API connection stands: reading its one request, writing its answer, or,
// with the answer sent and the sending side shut, waiting for the client to hang up so that
// unread request bytes do not make the kernel reset the connection under the answer.
enum class ApiConnPhase : std::uint8_t { Reading, Writing, Draining };

// One connection of the torrent HTTP JSON API: one request, one answer, then closed.
struct TorrentApiConn {
  ntcp2_net::TcpSocket socket;
  Bytes recv_buf;  // received, not yet moved into the head or the body
  bool headers_done = false;
  std::string method;  // upper-cased
  std::string path;    // the request target up to its first "?"
  std::string host;    // the last Host header
  std::string origin;  // the last Origin header; decides the CORS lines of the answer
  bool has_api_header = false;  // X-Ondrel-I2P: 1 (or true, any case) was seen
  std::string content_type;     // the last Content-Type, lower-cased
  std::int64_t content_length = 0;
  Bytes body;
  std::uint64_t accepted_ms = 0;  // monotonic
  bool closed = false;  // ended; dropped from the list when found
  // The answer, written without waiting as the socket takes it.
  ApiConnPhase phase = ApiConnPhase::Reading;
  std::string answer;  // the whole answer, head and body
  std::size_t answer_sent = 0;
  std::uint64_t answered_ms = 0;  // monotonic; when the answer was queued
  std::uint64_t drained_ms = 0;   // monotonic; when the last answer byte was sent
};

}  // namespace router
