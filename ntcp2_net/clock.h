#pragma once
// One reading of the router's two clocks.
//
// Intervals (handshake limits, idle closes, back-offs, queue ages, stall limits, the
// maintenance and status periods) are measured on the monotonic clock: it never jumps, so
// NTP, a suspend or a user changing the date neither pauses every timer nor fires them all
// at once. The wall clock is used only for times that go on the wire or are compared with
// a peer's: NTCP2 timestamps and the clock-skew check, RouterInfo and LeaseSet2
// published/expires, I2NP expirations, DeliveryStatus timestamps, tunnel and lease end
// dates.
//
// The loop reads both once per pass (read_now) and passes the value down to every step;
// nothing below the loop reads a clock itself, so a test moves time by passing its own Now.
// Only a wait inside one call (TcpSocket::write_all's deadline) reads the monotonic clock
// while it waits.
#include <cstdint>

namespace ntcp2_net {

struct Now {
  std::uint64_t mono_ms = 0;  // monotonic milliseconds: intervals and deadlines
  std::uint64_t wall_ms = 0;  // milliseconds since 1970: the wire and peers' times

  // Whole unix seconds, as the wire carries them.
  std::uint32_t wall_s() const { return static_cast<std::uint32_t>(wall_ms / 1000); }
  // The instant ms later on both clocks.
  Now after(std::uint64_t ms) const { return Now{mono_ms + ms, wall_ms + ms}; }
};

// Both clocks, read now.
Now read_now();

// Waits ms milliseconds doing nothing: the loop's idle interval when there is no socket to
// wait on (a listener that fails to accept must not end the wait at once).
void idle_wait(std::int32_t ms);

}  // namespace ntcp2_net
