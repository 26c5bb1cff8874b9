#pragma once
// One HTTP tracker of a torrent, reached over a stream of the torrent session, and a
// "stopped" announce that outlives its torrent. The engine holds the records; the tracker
// steps fill them.
#include <cstdint>
#include <optional>
#include <string>

#include "common/hash.h"
#include "encoding/bytes.h"
#include "torrent/tracker_request.h"

namespace router {

enum class TrackerConnState : std::int32_t {
  Idle = 0,        // waiting for next_announce_ms
  LookingUp = 1,   // waiting for the tracker's LeaseSet2
  Requesting = 2,  // stream open, request written, reply being read
};

inline constexpr std::size_t kTrackerMaxResponse = 524288;

struct TorrentTrackerConn {
  std::string url;   // exactly as received; refuses a second copy
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

  // What the tracker has been told, so that it counts us as trackers count: "started" on
  // the first announce (and the first after a stop), "completed" once after a download
  // that finished while it knew us incomplete, "stopped" when the torrent is paused or
  // removed. An event counts as told once the tracker answered it with a reply.
  bittorrent::AnnounceEvent sent_event = bittorrent::AnnounceEvent::None;  // of the request on the stream
  bool sent_incomplete = false;  // the torrent was incomplete when that request was written
  bool announced = false;        // a request was written since the start: the tracker may count us
  bool started = false;          // took "started"
  bool knew_incomplete = false;  // took an announce of the torrent while incomplete
  bool completed_told = false;   // took "completed"
  bool completed_tried = false;  // the early announce of "completed" is spent
};

// A "stopped" announce on its way to a tracker. It holds the whole request, so that it
// needs neither its torrent, which may be gone already, nor an answer: the tracker's reply
// is read and dropped, and the record goes when the stream ends or its deadline passes.
struct StoppedAnnounce {
  common::Hash dest;
  std::uint32_t port = 80;
  std::string request;
  std::uint32_t stream_id = 0;  // 0 until the tracker's LeaseSet2 is known
  bool sent = false;
  std::uint64_t deadline_ms = 0;
};

}  // namespace router
