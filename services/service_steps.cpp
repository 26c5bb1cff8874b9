// The client services as the router loop steps them. The SAM bridge, the HTTP proxy and the
// stream bridges are not built yet: SAM clients are taken on and held (bounded), what they
// send is buffered (bounded), and a client that hangs up is closed and forgotten.
#include <algorithm>

#include "router/router.h"

namespace router {

namespace {

// Clients the bridge has not answered yet; beyond this the oldest is closed. A process out
// of descriptors must not be kept there by clients that never speak.
constexpr std::size_t kMaxWaitingSamClients = 64;
// What a client may send before the bridge reads it.
constexpr std::size_t kMaxSamInput = 4096;

bool waiting(const SamClientConn& c) { return !c.closed && c.state == SamClientState::AwaitingHello; }

void close_client(SamClientConn& c) {
  c.socket.close();
  c.closed = true;
  Bytes().swap(c.input);
}

}  // namespace

void Router::push_sam_client(ntcp2_net::TcpSocket socket) {
  if (static_cast<std::size_t>(std::count_if(sam_clients.begin(), sam_clients.end(), waiting)) >=
      kMaxWaitingSamClients) {
    close_client(*std::find_if(sam_clients.begin(), sam_clients.end(), waiting));
  }
  SamClientConn client;
  client.socket = std::move(socket);
  sam_clients.push_back(std::move(client));
  forget_closed_sam_clients();
}

bool Router::step_sam_clients(const Now&) {
  bool did_work = false;
  for (SamClientConn& c : sam_clients) {
    if (c.closed || c.input.size() >= kMaxSamInput) continue;
    auto got = c.socket.pump_nonblocking(c.input, static_cast<std::int64_t>(kMaxSamInput - c.input.size()));
    if (got && *got == 0) continue;
    did_work = true;
    if (!got) close_client(c);  // hung up or failed
  }
  forget_closed_sam_clients();
  return did_work;
}

void Router::forget_closed_sam_clients() {
  if (std::none_of(sam_clients.begin(), sam_clients.end(), [](const SamClientConn& c) { return c.closed; })) return;
  // Lookups name their client by position: move each to the client's new position, or to
  // none when its client is gone.
  std::vector<std::int32_t> new_index(sam_clients.size(), -1);
  std::int32_t next = 0;
  for (std::size_t i = 0; i < sam_clients.size(); ++i) {
    if (!sam_clients[i].closed) new_index[i] = next++;
  }
  for (PendingNetDbLookup& l : pending_lookups) {
    if (l.client_index >= 0 && static_cast<std::size_t>(l.client_index) < new_index.size()) {
      l.client_index = new_index[static_cast<std::size_t>(l.client_index)];
    }
  }
  std::erase_if(sam_clients, [](const SamClientConn& c) { return c.closed; });
}

bool Router::step_http_proxy(const Now&) { return false; }

bool Router::step_bridges(const Now&) { return false; }

bool Router::step_remote_bridges(const Now& now) { return step_stream_connections(now); }

}  // namespace router
