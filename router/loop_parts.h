#pragma once
// The loop's extension table: the packages built on the router record (the client
// services, the torrent engine) add their timers and sockets to the loop's wait here, so
// that the core calls none of their functions by name. Each package registers its part
// once, right after the record is started (the program: cmd_router::add_loop_parts); the
// wait (Router::next_wake_ms, Router::collect_poll_fds) takes the core's own timers and
// sockets, then those of every part in the table, in the order they were added.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "encoding/error.h"
#include "ntcp2_net/clock.h"
#include "router/poll_set.h"

namespace router {

struct Router;

// A socket a part wants the wait to watch: named only while an event on it would let the
// part's step make progress, so a socket that is not read never wakes the loop.
struct SocketWant {
  int fd = -1;
  bool read = false;   // its step would read it
  bool write = false;  // bytes are queued for it
  bool ready = false;  // read bytes already wait in the socket's own buffer
  PollKind kind = PollKind::SamClient;
};

// One part of the loop. Either function may be null.
struct LoopPart {
  // The earliest monotonic instant at which a timer of the part falls due, from the same
  // deadlines its step compares with; kNoWakeDeadline when it keeps none, now.mono_ms when
  // one is already due.
  std::uint64_t (*next_wake_ms)(const Router& r, const ntcp2_net::Now& now) = nullptr;
  // Appends the part's sockets the wait watches.
  void (*append_socket_wants)(const Router& r, std::vector<SocketWant>& out) = nullptr;

  friend bool operator==(const LoopPart&, const LoopPart&) = default;
};

// The most parts a router holds.
inline constexpr std::size_t kMaxLoopParts = 4;

// The parts a router holds, in the order they were added.
struct LoopParts {
  std::array<LoopPart, kMaxLoopParts> parts{};
  std::size_t count = 0;

  std::span<const LoopPart> added() const { return std::span<const LoopPart>(parts.data(), count); }
};

// Adds a part to the router's table. A part already there is not added again; a part that
// does not fit (kMaxLoopParts held) is refused with an error, and the table stays as it is.
Result<void> add_loop_part(Router& r, const LoopPart& part);

}  // namespace router
