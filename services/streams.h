#pragma once
// A session's streams by local stream id, for the services that own them.
#include <cstdint>
#include <vector>

#include "streaming/manager.h"

namespace router {

// The first connection with that local stream id, or null.
streaming::ConnectionPtr find_stream_by_id(const std::vector<streaming::ConnectionPtr>& connections,
                                           std::uint32_t local_stream_id);

// Removes every connection with that id from the manager's connections (the accept queue
// is left as it is).
void remove_stream_by_id(streaming::StreamManager& manager, std::uint32_t local_stream_id);

}  // namespace router
