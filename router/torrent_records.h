#pragma once
// Records of the BitTorrent client that the router record holds: the engine (its own
// header) and the API's connections.
#include "ntcp2_net/tcp_socket.h"
#include "torrent/engine_records.h"

namespace router {

// One connection of the torrent HTTP JSON API.
struct TorrentApiConn {
  ntcp2_net::TcpSocket socket;
  bool closed = false;
};

}  // namespace router
