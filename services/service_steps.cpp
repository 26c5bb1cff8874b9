// The client services that are not built yet, as the router loop steps them: the HTTP
// proxy and the bridges between local sockets and I2P streams.
#include "router/router.h"

namespace router {

bool Router::step_http_proxy(const Now&) { return false; }

bool Router::step_remote_bridges(const Now& now) { return step_stream_connections(now); }

// Streams to destinations of other routers are carried by the remote bridges, which do not
// exist yet: the connect is answered as a stream that could not be opened, and the client
// is closed, rather than left waiting for ever.
void Router::initiate_remote_stream(std::int32_t client_id, const SamSession&, const common::Destination&,
                                    const common::LeaseSet2&, bool silent, std::uint32_t, std::uint32_t,
                                    const Now&) {
  SamClientConn* client = find_sam_client(client_id);
  if (client == nullptr || client->closed) return;
  if (!silent) send_sam_line(*client, "STREAM STATUS RESULT=I2P_ERROR");
  close_sam_client(*client);
}

}  // namespace router
