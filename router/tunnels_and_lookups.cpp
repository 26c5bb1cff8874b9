// NetDB lookups and client destinations as the loop and the dispatcher see them. The
// router neither starts nor answers lookups yet: these operations change nothing and
// report no work, and a lookup or a search reply that arrives is dropped here.
#include "router/router.h"

namespace router {

void Router::handle_database_lookup_msg(const std::optional<common::Hash>&, const i2np::I2npPayload::DatabaseLookup&,
                                        const Now&) {}

void Router::handle_database_search_reply_msg(const i2np::I2npPayload::DatabaseSearchReply&, const Now&) {}

void Router::complete_lookups_for_hash(const common::Hash&, const Now&) {}

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
