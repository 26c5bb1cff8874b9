#pragma once
// When the torrent engine's timers fall due: the loop's wait ends at the earliest of them
// (router::Router::next_wake_ms, through the loop part of torrent/loop_parts.h). Each instant
// comes from the same deadlines its step compares with; kNoWakeDeadline (router/poll_set.h)
// while the engine is not stepped or the part keeps no timer, now.mono_ms when one is already
// due. The API's connections have their own (api_next_deadline_ms, torrent/api_request.h).
#include <cstdint>

#include "ntcp2_net/clock.h"

namespace router {

struct Router;

std::uint64_t next_torrent_engine_wake_ms(const Router& r, const ntcp2_net::Now& now);      // torrent_steps.cpp
std::uint64_t next_torrent_trackers_wake_ms(const Router& r, const ntcp2_net::Now& now);    // tracker_steps.cpp
std::uint64_t next_torrent_dht_wake_ms(const Router& r, const ntcp2_net::Now& now);         // dht_steps.cpp
std::uint64_t next_torrent_peers_wake_ms(const Router& r, const ntcp2_net::Now& now);       // peer_steps.cpp
std::uint64_t next_torrent_requests_wake_ms(const Router& r, const ntcp2_net::Now& now);    // piece_exchange.cpp
std::uint64_t next_torrent_extensions_wake_ms(const Router& r, const ntcp2_net::Now& now);  // extensions.cpp

}  // namespace router
