#include "ntcp2_net/random.h"

#include <limits>

#include "ntcp2_net/glue.h"
#include "ntcp2_net/os_error.h"

namespace ntcp2_net {

Result<void> fill_random(std::span<std::uint8_t> out) {
  if (out.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    return fail(NetError::Io, msg("failed to read random bytes: request of ", out.size(), " bytes is too large"));
  }
  const std::int32_t got = ondrel_i2p_net_random_bytes(out.data(), static_cast<std::int32_t>(out.size()));
  if (got != static_cast<std::int32_t>(out.size())) {
    return fail(NetError::Io, msg("failed to read random bytes: ", last_os_error()));
  }
  return {};
}

Result<Bytes> random_bytes(std::size_t n) {
  Bytes out(n);
  if (auto filled = fill_random(out); !filled) return std::unexpected(std::move(filled.error()));
  return out;
}

}  // namespace ntcp2_net
