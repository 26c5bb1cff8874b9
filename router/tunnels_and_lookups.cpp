// Tunnel building, NetDB lookups and client destinations as the loop sees them. The router
// builds no tunnels and starts no lookups yet: these operations change nothing and report
// no work.
#include "router/router.h"

namespace router {

void Router::poll_tunnel_builds(const Now&) {}

void Router::run_build_policy(const Now&) {}

void Router::step_pending_lookups(const Now&) {}

bool Router::has_pending_lookup(const common::Hash& key, std::uint8_t lookup_type) const {
  for (const PendingNetDbLookup& l : pending_lookups) {
    if (l.key == key && l.lookup_type == lookup_type) return true;
  }
  return false;
}

void Router::start_background_lookup(const common::Hash&, std::uint8_t, const Now&) {}

void Router::republish_all_sessions(const Now&) {}

}  // namespace router
