#pragma once
// A session's streams by local stream id, for the services that own them.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/lease_set2.h"
#include "services/byte_queue.h"
#include "streaming/manager.h"

namespace router {

// The first connection with that local stream id, or null.
streaming::ConnectionPtr find_stream_by_id(const std::vector<streaming::ConnectionPtr>& connections,
                                           std::uint32_t local_stream_id);

// Removes every connection with that id from the manager's connections (the accept queue
// is left as it is).
void remove_stream_by_id(streaming::StreamManager& manager, std::uint32_t local_stream_id);

// The lease a message to the peer goes through: the current leases (end later than now)
// in turn by the rotation counter, or every lease when none is current. The LeaseSet2
// must hold at least one lease.
const common::Lease2& choose_peer_lease(const common::LeaseSet2& lease_set, std::uint32_t now_s,
                                        std::int32_t& rotation);

// Ends the connection at once: a signed RESET is queued for the peer when the peer's
// stream id is known (it is not tracked or resent), and the connection becomes Reset.
// Nothing happens to a connection that is already Closed or Reset.
void reset_stream(streaming::StreamConnection& connection, std::uint64_t now_ms);

// Moves up to max bytes from the front of the connection's received data to the end of
// out; the rest stays in the connection, which keeps within its own bound by not
// acknowledging what does not fit, so the peer waits. The count moved.
std::size_t take_received(streaming::StreamConnection& connection, ByteQueue& out, std::size_t max);

}  // namespace router
