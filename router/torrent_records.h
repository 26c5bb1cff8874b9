#pragma once
// Records of the BitTorrent client that the router record holds: the engine (its own
// header) and the API's connections.
#include <cstddef>
#include <cstdint>
#include <string>

#include "encoding/bytes.h"
#include "services/http_connection.h"
#include "torrent/engine_records.h"

namespace router {

// Where a torrent API connection stands: reading its one request, writing its answer, or,
// with the answer sent and the sending side shut, waiting for the client to hang up so that
// unread request bytes do not make the kernel reset the connection under the answer.
using ApiConnPhase = HttpConnPhase;

// One connection of the torrent HTTP JSON API: one request, one answer, then closed. The
// HTTP connection holds its socket, the bytes received and not yet moved into the head or
// the body, the accept time and the answer written without waiting as the socket takes it.
struct TorrentApiConn : HttpConnection {
  bool headers_done = false;
  std::string method;           // upper-cased
  std::string path;             // the request target up to its first "?"
  std::string host;             // the last Host header
  std::string origin;           // the last Origin header; decides the CORS lines of the answer
  bool has_api_header = false;  // X-Ondrel-I2P: 1 (or true, any case) was seen
  std::string content_type;     // the last Content-Type, lower-cased
  std::int64_t content_length = 0;
  Bytes body;
};

}  // namespace router
