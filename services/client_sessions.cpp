// The end of a client session. A session lives as long as the SAM connection that created
// it, so an application that restarts gets its id back and a destination nobody uses is
// no longer published.
#include <algorithm>

#include "router/router.h"

namespace router {

namespace {

void close_bridge(StreamBridge& b) {
  b.socket_a.close();
  b.socket_b.close();
}

}  // namespace

void Router::end_session(std::string_view first) {
  std::vector<std::string> ending{std::string(first)};
  while (!ending.empty()) {
    const std::string id = std::move(ending.back());
    ending.pop_back();
    const auto it = std::find_if(sessions.begin(), sessions.end(), [&](const SamSession& s) { return s.id == id; });
    if (it == sessions.end()) continue;
    const common::Hash hash = it->dest_hash;
    sessions.erase(it);
    // Another session of the same destination (the same saved key) still speaks for it.
    if (std::none_of(sessions.begin(), sessions.end(), [&](const SamSession& s) { return s.dest_hash == hash; })) {
      netdb.remove_lease_set2(hash);
    }
    std::erase_if(bridges, [&](StreamBridge& b) {
      if (b.session_a != id && b.session_b != id) return false;
      close_bridge(b);
      for (std::string& s : b.owned_sessions) ending.push_back(std::move(s));
      return true;
    });
    for (SamClientConn& c : sam_clients) {
      if (!c.closed && c.state == SamClientState::Accepting && c.accept_id == id) close_sam_client(c);
    }
  }
}

}  // namespace router
