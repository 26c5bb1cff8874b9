#include "ntcp2_net/clock.h"

#include "ntcp2_net/glue.h"

namespace ntcp2_net {

Now read_now() { return Now{ondrel_i2p_net_monotonic_ms(), ondrel_i2p_net_unix_time_ms()}; }

void idle_wait(std::int32_t ms) { ondrel_i2p_net_idle_wait(ms); }

}  // namespace ntcp2_net
