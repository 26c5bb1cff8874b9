#include "torrent/loop_parts.h"

#include <algorithm>

#include "router/loop_parts.h"
#include "router/router.h"
#include "torrent/api_request.h"
#include "torrent/wake_deadlines.h"

namespace router {

namespace {

std::uint64_t next_torrent_wake_ms(const Router& r, const Now& now) {
  std::uint64_t wake = std::min({next_torrent_engine_wake_ms(r, now), next_torrent_trackers_wake_ms(r, now),
                                 next_torrent_dht_wake_ms(r, now), next_torrent_peers_wake_ms(r, now),
                                 next_torrent_requests_wake_ms(r, now), next_torrent_extensions_wake_ms(r, now)});
  if (const auto api = api_next_deadline_ms(r.torrent_api_conns)) wake = std::min(wake, std::max(*api, now.mono_ms));
  return wake;
}

// An API connection is watched while it would be read or written; bytes already in its
// socket's buffer make it ready at once.
void append_api_socket_wants(const Router& r, std::vector<SocketWant>& out) {
  for (const TorrentApiConn& c : r.torrent_api_conns) {
    const ApiConnWants w = api_conn_wants(c);
    if (!w.read && !w.write) continue;
    out.push_back(
        {c.socket.fd, w.read, w.write, w.read && c.socket.rx_start < c.socket.rx_end, PollKind::TorrentApiConn});
  }
}

}  // namespace

Result<void> add_torrent_loop_parts(Router& r) {
  return add_loop_part(r, LoopPart{&next_torrent_wake_ms, &append_api_socket_wants});
}

}  // namespace router
