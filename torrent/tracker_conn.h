#pragma once
// One HTTP tracker of a torrent, reached over a stream of the torrent session. The
// engine holds the records; the tracker steps fill them.
#include <cstdint>
#include <optional>
#include <string>

#include "common/hash.h"
#include "encoding/bytes.h"

namespace router {

enum class TrackerConnState : std::int32_t {
  Idle = 0,        // waiting for next_announce_ms
  LookingUp = 1,   // waiting for the tracker's LeaseSet2
  Requesting = 2,  // stream open, request written, reply being read
};

inline constexpr std::size_t kTrackerMaxResponse = 524288;

struct TorrentTrackerConn {
  std::string url;  // exactly as received; refuses a second copy
  std::string host;  // lower case, ending in ".i2p"
  std::uint32_t port = 80;
  std::string path = "/";
  std::int32_t state = static_cast<std::int32_t>(TrackerConnState::Idle);
  std::uint64_t state_since_ms = 0;
  std::uint64_t next_announce_ms = 0;  // 0: at once
  std::uint32_t stream_id = 0;
  std::optional<common::Hash> dest;
  bool sent_req = false;
  Bytes response;  // at most kTrackerMaxResponse
};

}  // namespace router
