// The wall clock.
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
