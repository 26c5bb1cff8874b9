#pragma once
// The parts of one engine pass that concern peer connections: inbound streams until their
// handshake names a torrent, and each torrent's dialling and connection steps.
#include <string_view>
#include <vector>

#include "common/hash.h"
#include "ntcp2_net/clock.h"
#include "router/session_records.h"
#include "torrent/engine_records.h"

namespace router {

struct Router;

// The session with this id, or null.
SamSession* bt_find_session(std::vector<SamSession>& sessions, std::string_view id);

// The engine when a pass steps it (the engine and its session with a stream manager
// exist), else null: only then do the engine's timers count for the loop's wait.
const TorrentEngine* bt_stepped_engine(const Router& r);

// Takes at most 8 streams from the accept queue and matches waiting ones to a torrent by
// their handshake. True when something was done.
bool bt_step_inbound(Router& r, TorrentEngine& engine, SamSession& session, const ntcp2_net::Now& now);

// Dials known peers while the torrent is incomplete and has fewer than 16 connections,
// then steps every connection once, removing those that closed.
bool bt_step_torrent_peers(Router& r, TorrentEngine& engine, SamSession& session, ActiveTorrent& torrent,
                           const ntcp2_net::Now& now);

// Closes the stream (its CLOSE sent at once when the peer's LeaseSet2 is known) and
// removes it from the session's manager; errors are ignored.
void bt_close_stream(Router& r, SamSession& session, std::uint32_t stream_id, const ntcp2_net::Now& now);

// Starts a lookup of the peer's LeaseSet2 unless one is pending.
void bt_start_lease_lookup(Router& r, const common::Hash& peer, const ntcp2_net::Now& now);

// True when the buffer starts with a whole peer wire frame.
bool bt_has_complete_frame(const Bytes& buffer);

}  // namespace router
