// The client services as the router loop steps them. The SAM bridge, the HTTP proxy and the
// stream bridges are not built yet: SAM clients are taken on and kept, and the steps report
// no work.
#include "router/router.h"

namespace router {

void Router::push_sam_client(ntcp2_net::TcpSocket socket) {
  SamClientConn client;
  client.socket = std::move(socket);
  sam_clients.push_back(std::move(client));
}

bool Router::step_sam_clients() { return false; }

bool Router::step_http_proxy() { return false; }

bool Router::step_bridges() { return false; }

bool Router::step_remote_bridges() { return false; }

}  // namespace router
