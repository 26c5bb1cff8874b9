#include "ntcp2_net/random.h"

#include <limits>

#include "ntcp2_net/glue.h"
#include "ntcp2_net/os_error.h"

namespace ntcp2_net {

Result<Bytes> random_bytes(std::size_t n) {
  if (n > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    return fail(NetError::Io, msg("failed to read random bytes: request of ", n, " bytes is too large"));
  }
  Bytes out(n);
  std::int32_t got = ondrel_i2p_net_random_bytes(out.data(), static_cast<std::int32_t>(n));
  if (got != static_cast<std::int32_t>(n)) {
    return fail(NetError::Io, msg("failed to read random bytes: ", last_os_error()));
  }
  return out;
}

}  // namespace ntcp2_net
