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
// The longest wait of an idle router, a bound on timers not computed exactly.
inline constexpr std::uint64_t kIdleWakeCapMs = 1000;
// The longest wait while some descriptor is left out.
inline constexpr std::uint64_t kQuietWaitMs = 10;

// One wait shared by routers that had nothing to do in their last pass (the program has
// one; the in-process test network several), until a socket of one of them is ready, the
// earliest timer of any falls due, or wake_by_ms (monotonic) comes. Timers are measured
// from now; a wait lasts at least 1 ms unless a socket is ready.
void wait_for_events(std::span<Router* const> routers, const ntcp2_net::Now& now, std::uint64_t wake_by_ms);

// The earliest monotonic instant at which a timer of each part falls due; kNoWakeDeadline
// when the part keeps none. A timer already due gives now.mono_ms.
std::uint64_t next_peers_wake_ms(const Router& r, const ntcp2_net::Now& now);         // peers.cpp
std::uint64_t next_lookups_wake_ms(const Router& r, const ntcp2_net::Now& now);       // lookups.cpp
std::uint64_t next_builds_wake_ms(const Router& r, const ntcp2_net::Now& now);        // tunnel_build.cpp
std::uint64_t next_maintenance_wake_ms(const Router& r, const ntcp2_net::Now& now);   // loop.cpp
std::uint64_t next_streams_wake_ms(const Router& r, const ntcp2_net::Now& now);       // services/stream_egress.cpp

}  // namespace router
