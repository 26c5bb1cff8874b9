#pragma once
// Records of the BitTorrent client that the router record holds. Only the fields the router
// core touches are here; the torrent engine fills them in.
#include "ntcp2_net/tcp_socket.h"

namespace router {

struct TorrentEngine {};

// One connection of the torrent HTTP JSON API.
struct TorrentApiConn {
  ntcp2_net::TcpSocket socket;
  bool closed = false;
};

}  // namespace router
