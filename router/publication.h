#pragma once
// Publishing the LeaseSet2s of the local client destinations to the floodfills.
//
// A publication builds the session's LeaseSet2 and stores it at the kPublishFloodfills
// floodfills closest to its destination. Each store asks for a DeliveryStatus under a token
// of its own, to come back through an own inbound tunnel (outside public mode, without
// one, straight to the router); through an outbound tunnel the store is sealed to the
// floodfill, so that the endpoint can neither read nor change where the confirmation goes.
// A store that is not confirmed within kStoreConfirmMs goes again to the closest floodfill
// not tried yet, at most kMaxStoreResends times per publication; after that the
// publication rests until the next tunnel event or its republication date.
//
// Nothing is lost for want of tunnels: in public mode a publication that finds no inbound
// or no outbound tunnel waits, and goes out when the next one is built (Router::
// republish_all_sessions for an inbound tunnel, publish_unconfirmed_sessions for an outbound
// one). A LeaseSet2 is published again whenever the inbound tunnels change and before its
// earliest lease ends, so that the floodfills never hold only leases that are gone; this
// keeps alive too the 600 s lease naming the router itself that a session outside public
// mode has while it has no inbound tunnel.
//
// Bounds: a session has at most kPublishFloodfills unconfirmed stores and tries at most
// kPublishFloodfills + kMaxStoreResends floodfills per publication.
#include <cstddef>
#include <cstdint>

#include "ntcp2_net/clock.h"

namespace router {

struct Router;
struct PendingStore;

inline constexpr std::size_t kPublishFloodfills = 3;
inline constexpr std::uint64_t kStoreConfirmMs = 10000;
inline constexpr std::size_t kMaxStoreResends = 3;
// A LeaseSet2 is republished this long before its earliest lease ends, and again when that
// lease has ended.
inline constexpr std::uint32_t kRepublishBeforeEndS = 60;

// The monotonic instant from which an unconfirmed store counts as lost.
std::uint64_t store_lost_ms(const PendingStore& store);

// The tunnel event of a new outbound tunnel: every session whose LeaseSet2 no floodfill
// has confirmed and none is about to (its publication waits for tunnels or gave up) is
// published.
void publish_unconfirmed_sessions(Router& r, const ntcp2_net::Now& now);

// A DeliveryStatus with this message id arrived: the store it confirms is done. True when
// a pending store had the token.
bool confirm_lease_set_store(Router& r, std::uint32_t token);

// The publication pass: the stores lost by now go to the next floodfills, and the sessions
// whose republication date has come are published again.
void step_publications(Router& r, const ntcp2_net::Now& now);

}  // namespace router
