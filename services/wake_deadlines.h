#pragma once
// When the client services' timers fall due: the loop's wait ends at the earliest of them
// (router::Router::next_wake_ms, through the loop part of services/loop_parts.h). Each instant
// comes from the same deadlines its step compares with; kNoWakeDeadline (router/poll_set.h)
// when the part keeps no timer, now.mono_ms when one is already due.
#include <cstdint>

#include "ntcp2_net/clock.h"

namespace router {

struct Router;

std::uint64_t next_streams_wake_ms(const Router& r, const ntcp2_net::Now& now);         // stream_egress.cpp
std::uint64_t next_http_proxy_wake_ms(const Router& r, const ntcp2_net::Now& now);      // http_proxy.cpp
std::uint64_t next_remote_bridges_wake_ms(const Router& r, const ntcp2_net::Now& now);  // remote_bridges.cpp

}  // namespace router
