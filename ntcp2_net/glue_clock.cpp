// The wall clock and the monotonic clock.
#include <poll.h>
#include <time.h>

#include "ntcp2_net/glue.h"

extern "C" std::uint64_t ondrel_i2p_net_unix_time_ms(void) {
  timespec ts{};
  if (clock_gettime(CLOCK_REALTIME, &ts) == 0) {
    if (ts.tv_sec < 0) return 0;
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
  }
  time_t now = time(nullptr);
  return now < 0 ? 0 : static_cast<std::uint64_t>(now) * 1000u;
}

extern "C" std::uint64_t ondrel_i2p_net_monotonic_ms(void) {
  // CLOCK_MONOTONIC cannot fail on Linux for a valid timespec; the zero reading is only a
  // guard and keeps every interval from firing.
  timespec ts{};
  if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0 || ts.tv_sec < 0) return 0;
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

extern "C" void ondrel_i2p_net_idle_wait(std::int32_t ms) {
  if (ms > 0) (void)poll(nullptr, 0, ms);
}
