// Tunnel building, NetDB lookups and client destinations as the loop and the dispatcher
// see them. The router builds no tunnels, takes part in none and neither starts nor
// answers lookups yet: these operations change nothing and report no work, and a build
// reply or request, a lookup or a search reply that arrives is dropped here.
#include "router/router.h"

namespace router {

bool Router::try_complete_pending_tunnel_build(std::uint32_t, const std::vector<Bytes>&, const Now&) { return false; }

void Router::handle_short_tunnel_build(std::uint32_t msg_id, const std::vector<Bytes>& records, const Now& now) {
  (void)try_complete_pending_tunnel_build(msg_id, records, now);
}

void Router::handle_database_lookup_msg(const std::optional<common::Hash>&, const i2np::I2npPayload::DatabaseLookup&,
                                        const Now&) {}

void Router::handle_database_search_reply_msg(const i2np::I2npPayload::DatabaseSearchReply&, const Now&) {}

void Router::complete_lookups_for_hash(const common::Hash&, const Now&) {}

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
