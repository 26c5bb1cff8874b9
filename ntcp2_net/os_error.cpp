#include "ntcp2_net/os_error.h"

#include <vector>

#include "encoding/text.h"
#include "ntcp2_net/glue.h"

namespace ntcp2_net {

std::string last_os_error() {
  std::int32_t len = ondrel_i2p_net_last_error_len();
  if (len <= 0) return "unknown OS error";
  Bytes text(static_cast<std::size_t>(len));
  std::int32_t n = ondrel_i2p_net_last_error_copy(text.data(), len);
  text.resize(static_cast<std::size_t>(n));
  auto decoded = encoding::utf8_bytes_to_string(text);
  if (!decoded) return "OS error";
  return *std::move(decoded);
}

}  // namespace ntcp2_net
