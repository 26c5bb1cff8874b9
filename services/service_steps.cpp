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

bool Router::step_sam_clients(const Now&) { return false; }

bool Router::step_http_proxy(const Now&) { return false; }

bool Router::step_bridges(const Now&) { return false; }

bool Router::step_remote_bridges(const Now&) { return false; }

}  // namespace router
