// Tunnel building as the loop and the dispatcher see it. The router builds no tunnels and
// takes part in none yet: these operations change nothing and report no work, and a build
// reply or request that arrives is dropped here.
#include "router/router.h"

namespace router {

bool Router::try_complete_pending_tunnel_build(std::uint32_t, const std::vector<Bytes>&, const Now&) { return false; }

void Router::handle_short_tunnel_build(std::uint32_t msg_id, const std::vector<Bytes>& records, const Now& now) {
  (void)try_complete_pending_tunnel_build(msg_id, records, now);
}

void Router::poll_tunnel_builds(const Now&) {}

void Router::run_build_policy(const Now&) {}

}  // namespace router
