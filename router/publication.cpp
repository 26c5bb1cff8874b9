#include "router/publication.h"

#include <algorithm>
#include <utility>

#include "netdb/utc_date.h"
#include "router/id_counters.h"
#include "router/poll_set.h"
#include "router/random.h"
#include "router/router.h"
#include "router/sealed_for_router.h"

namespace router {

namespace {

using P = i2np::I2npPayload;

// In public mode a LeaseSet2 leases only inbound tunnels and goes out only through an
// outbound one: a direct store would tell the floodfill which router hosts the destination.
bool tunnels_allow_publication(const Router& r) {
  return !r.public_mode || (!r.tunnels.inbound.empty() && !r.tunnels.outbound.empty());
}

// Up to n floodfills closest to the session's destination that this publication has not
// tried, closest first; never the router itself.
std::vector<common::Hash> untried_floodfills(const Router& r, const SamSession& session, std::size_t n,
                                             const Now& now) {
  std::vector<common::Hash> excluded{r.router_hash()};
  excluded.insert(excluded.end(), session.publication.tried.begin(), session.publication.tried.end());
  std::vector<common::Hash> out;
  for (const netdb::RouterInfoPtr& info :
       r.netdb.closest_peers(session.dest_hash, netdb::format_utc_date(now.wall_s()), n, true, excluded)) {
    out.push_back(info->identity.keys_and_cert.hash());
  }
  return out;
}

// The gateway hop of the live inbound tunnel the k-th store of a publication asks its
// confirmation through (the stores take the tunnels in turn), or none without one.
const tunnel::TunnelHop* reply_gateway(const Router& r, std::size_t k, const Now& now) {
  std::vector<const tunnel::TunnelHop*> gateways;
  for (const tunnel::Tunnel& t : r.tunnels.inbound) {
    if (t.expires_s > now.wall_s() && !t.hops.empty()) gateways.push_back(&t.hops.front());
  }
  return gateways.empty() ? nullptr : gateways[k % gateways.size()];
}

// Stores the LeaseSet2 at one floodfill, asking for its confirmation, and records the
// store. False when the confirmation has no way back (in public mode only through an
// inbound tunnel) or the random source fails; then nothing is sent.
bool send_store(Router& r, SamSession& session, const Bytes& lease_set, const common::Hash& floodfill, const Now& now) {
  LeaseSetPublication& publication = session.publication;
  auto token_bytes = random_bytes(4);
  if (!token_bytes) return false;
  const std::uint32_t token = std::max<std::uint32_t>(u32_from_be_prefix(*token_bytes), 1);

  P::DatabaseStore store;
  store.key = session.dest_hash;
  store.store_type = common::LeaseSet2::kStoreType;
  store.reply_token = token;
  if (const tunnel::TunnelHop* gateway = reply_gateway(r, publication.tried.size(), now)) {
    store.reply_gateway = gateway->router;
    store.reply_tunnel_id = gateway->receive_tunnel_id;
  } else if (!r.public_mode) {
    store.reply_gateway = r.router_hash();  // tunnel id 0: straight to the router
  } else {
    return false;
  }
  store.data = lease_set;
  P message{std::move(store)};
  if (!r.tunnels.outbound.empty()) {
    if (std::optional<P> sealed = seal_for_router(r, floodfill, message, now)) message = std::move(*sealed);
  }
  r.send_routed_i2np(floodfill, std::nullopt, message, now);
  publication.tried.push_back(floodfill);
  publication.stores.push_back(PendingStore{token, floodfill, now.mono_ms});
  return true;
}

// When the LeaseSet2 is published again: kRepublishBeforeEndS before its earliest lease
// (or the LeaseSet2 itself) ends, or, when that is already past, at that end, which the
// next LeaseSet2 no longer leases. Never sooner than a second from now.
std::uint64_t republish_due_ms(const common::LeaseSet2& lease_set, const Now& now) {
  std::uint64_t end_s = std::uint64_t{lease_set.published} + lease_set.expires;
  for (const common::Lease2& lease : lease_set.leases) end_s = std::min<std::uint64_t>(end_s, lease.end_date);
  const std::uint64_t now_s = now.wall_s();
  std::uint64_t at_s = end_s > now_s + kRepublishBeforeEndS ? end_s - kRepublishBeforeEndS : end_s;
  at_s = std::max(at_s, now_s + 1);
  return mono_at_wall_ms(now, at_s * 1000);
}

// Sends the session's current LeaseSet2 to the next untried floodfill in place of a lost
// store. Nothing when the publication has used its resends, no floodfill is left or the
// LeaseSet2 is no longer live (its republication is due then).
void resend_lost_store(Router& r, SamSession& session, const Now& now) {
  LeaseSetPublication& publication = session.publication;
  if (publication.resends >= kMaxStoreResends || !session.last_lease_set) return;
  const common::LeaseSet2& lease_set = *session.last_lease_set;
  if (now.wall_s() >= lease_set.published + lease_set.expires) return;
  const std::vector<common::Hash> next = untried_floodfills(r, session, 1, now);
  if (next.empty()) return;
  auto bytes = lease_set.to_bytes();
  if (!bytes) return;
  ++publication.resends;
  (void)send_store(r, session, *bytes, next.front(), now);
}

}  // namespace

std::uint64_t store_lost_ms(const PendingStore& store) { return store.sent_ms + kStoreConfirmMs; }

void Router::publish_session_leaseset2(SamSession& session, const Now& now) {
  LeaseSetPublication& publication = session.publication;
  publication = LeaseSetPublication{};  // what the last publication still waited for is moot
  if (!tunnels_allow_publication(*this)) {
    publication.waiting_for_tunnels = true;
    return;
  }
  const std::optional<common::LeaseSet2> lease_set = build_session_leaseset2(session, now);
  if (!lease_set) {
    // In public mode: no inbound tunnel can be leased yet.
    publication.waiting_for_tunnels = public_mode;
    return;
  }
  publication.republish_ms = republish_due_ms(*lease_set, now);
  auto bytes = lease_set->to_bytes();
  if (!bytes) return;
  for (const common::Hash& floodfill : untried_floodfills(*this, session, kPublishFloodfills, now)) {
    if (!send_store(*this, session, *bytes, floodfill, now)) break;
  }
}

void Router::republish_all_sessions(const Now& now) {
  for (SamSession& session : sessions) publish_session_leaseset2(session, now);
}

void publish_unconfirmed_sessions(Router& r, const Now& now) {
  for (SamSession& session : r.sessions) {
    const LeaseSetPublication& publication = session.publication;
    const bool unconfirmed = publication.stores.empty() && publication.confirmed.empty();
    if (publication.waiting_for_tunnels || unconfirmed) r.publish_session_leaseset2(session, now);
  }
}

bool confirm_lease_set_store(Router& r, std::uint32_t token) {
  if (token == 0) return false;
  for (SamSession& session : r.sessions) {
    LeaseSetPublication& publication = session.publication;
    const auto found =
        std::ranges::find_if(publication.stores, [&](const PendingStore& s) { return s.token == token; });
    if (found == publication.stores.end()) continue;
    publication.confirmed.push_back(found->floodfill);
    publication.stores.erase(found);
    return true;
  }
  return false;
}

void step_publications(Router& r, const Now& now) {
  for (SamSession& session : r.sessions) {
    LeaseSetPublication& publication = session.publication;
    if (now.mono_ms >= publication.republish_ms) {
      r.publish_session_leaseset2(session, now);
      continue;
    }
    const std::size_t lost = std::erase_if(
        publication.stores, [&](const PendingStore& store) { return now.mono_ms >= store_lost_ms(store); });
    if (lost == 0) continue;
    if (!tunnels_allow_publication(r)) {
      // The tunnels the stores went through are gone: all again with the next tunnel.
      publication = LeaseSetPublication{};
      publication.waiting_for_tunnels = true;
      continue;
    }
    for (std::size_t i = 0; i < lost; ++i) resend_lost_store(r, session, now);
  }
}

// The stores' confirmation limits and the republication dates.
std::uint64_t next_publications_wake_ms(const Router& r, const Now& now) {
  std::uint64_t wake = kNoWakeDeadline;
  for (const SamSession& session : r.sessions) {
    wake = std::min(wake, session.publication.republish_ms);
    for (const PendingStore& store : session.publication.stores) wake = std::min(wake, store_lost_ms(store));
  }
  return wake == kNoWakeDeadline ? wake : std::max(wake, now.mono_ms);
}

}  // namespace router
