#include "services/remote_bridge.h"

#include <string>
#include <utility>

namespace router {

RemoteStreamBridge connecting_remote_bridge(ntcp2_net::TcpSocket socket, const RemoteBridgeStart& start) {
  RemoteStreamBridge b;
  b.socket = std::move(socket);
  b.session_id = std::string(start.session_id);
  b.peer_hash = start.peer_hash;
  b.peer_x25519 = Bytes(start.peer_x25519.begin(), start.peer_x25519.end());
  b.gateway = start.lease.gateway;
  b.tunnel_id = start.lease.tunnel_id;
  b.stream_id = start.stream_id;
  b.state = RemoteBridgeState::Connecting;
  b.silent = start.silent;
  b.started_ms = start.now_ms;
  return b;
}

}  // namespace router
