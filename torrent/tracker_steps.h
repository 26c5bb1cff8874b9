#pragma once
// The tracker steps' entry for the registry: what trackers hear when a torrent stops.
#include "ntcp2_net/clock.h"
#include "torrent/engine_records.h"

namespace router {

struct Router;

// Called when the torrent is paused or removed, before it changes: every exchange of its
// trackers under way ends, and each tracker announced to since the torrent started gets
// "stopped", queued on the engine with the request written now, so that it needs neither
// the torrent nor an answer (at most kMaxStoppedAnnounces wait, each until its stream ends
// or kStoppedAnnounceWaitMs pass). The trackers are left idle with their schedule, to
// start again when the torrent resumes.
void bt_announce_stopped(Router& r, TorrentEngine& engine, ActiveTorrent& torrent, const ntcp2_net::Now& now);

}  // namespace router
