#pragma once
// The loop's only wait: one poll over every socket the loop reads (links and handshakes,
// listeners, local clients, bridges) and every link with bytes to send, until one is
// ready or the earliest timer of the router falls due.
//
// A descriptor that ends a wait although the pass after it finds nothing to do (a
// listener whose connection cannot be taken for want of descriptors, a socket whose side is
// paused and not read) would end every later wait at once: such descriptors are left out of
// the waits that follow, which then last at most kQuietWaitMs, until a pass does work.
#include <cstdint>
#include <limits>
#include <span>

#include "ntcp2_net/clock.h"

namespace router {

struct Router;

// Whose socket a poll entry is (ntcp2_net::PollSet tags).
enum class PollKind : std::uint8_t {
  Ntcp2Listener,
  SamListener,
  HttpProxyListener,
  TorrentApiListener,
  Link,
  Accept,
  Dial,
  SamClient,
  HttpProxyConn,
  TorrentApiConn,
  Bridge,
  RemoteBridge,
};

// No deadline from the caller.
inline constexpr std::uint64_t kNoWakeDeadline = std::numeric_limits<std::uint64_t>::max();
// The longest wait of an idle router. The timers of the loop's parts are the wait's
// deadlines (the next_*_wake_ms functions, each from the deadlines its step compares with), so
// none fires late; the limit is a safety bound on what no deadline foresees, such as a
// wall-clock date that comes sooner than the monotonic clock said because the clock was set.
inline constexpr std::uint64_t kIdleWakeCapMs = 1000;
// The longest wait while some descriptor is left out.
inline constexpr std::uint64_t kQuietWaitMs = 10;

// One wait shared by routers that had nothing to do in their last pass (the program has
// one; the in-process test network several), until a socket of one of them is ready, the
// earliest timer of any falls due, or wake_by_ms (monotonic) comes. Timers are measured
// from now; a wait lasts at least 1 ms unless a socket is ready.
void wait_for_events(std::span<Router* const> routers, const ntcp2_net::Now& now, std::uint64_t wake_by_ms);

// The earliest monotonic instant at which a timer of each part of the core falls due;
// kNoWakeDeadline when the part keeps none. A timer already due gives now.mono_ms. The client
// services and the torrent engine give theirs through the loop parts they add to the router
// (router/loop_parts.h); the loop's wait (Router::next_wake_ms) takes the earliest of all.
std::uint64_t next_peers_wake_ms(const Router& r, const ntcp2_net::Now& now);         // peers.cpp
std::uint64_t next_lookups_wake_ms(const Router& r, const ntcp2_net::Now& now);       // lookups.cpp
std::uint64_t next_builds_wake_ms(const Router& r, const ntcp2_net::Now& now);        // tunnel_build.cpp
std::uint64_t next_maintenance_wake_ms(const Router& r, const ntcp2_net::Now& now);   // loop.cpp
std::uint64_t next_publications_wake_ms(const Router& r, const ntcp2_net::Now& now);  // publication.cpp

// The monotonic instant at which the wall clock reaches wall_ms (unix milliseconds), both
// clocks going on from now at the same pace; now.mono_ms for a date already reached. Timers
// kept in wall-clock dates (lease and DHT dates) are turned into wait deadlines by it.
inline std::uint64_t mono_at_wall_ms(const ntcp2_net::Now& now, std::uint64_t wall_ms) {
  return wall_ms > now.wall_ms ? now.mono_ms + (wall_ms - now.wall_ms) : now.mono_ms;
}

}  // namespace router
