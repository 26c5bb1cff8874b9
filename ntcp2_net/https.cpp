#include "ntcp2_net/https.h"

#include <algorithm>

#include "encoding/text.h"
#include "ntcp2_net/glue.h"
#include "ntcp2_net/os_error.h"

namespace ntcp2_net {

Result<Bytes> fetch_https(std::string_view url, std::size_t max_bytes) {
  const Bytes url_bytes = encoding::string_to_utf8_bytes(url);
  // URLs longer than the glue takes are refused by the glue, so clamping never cuts one.
  const auto url_len = static_cast<std::int32_t>(std::min<std::size_t>(url_bytes.size(), 0x7fffffff));
  Bytes body(std::min<std::size_t>(max_bytes, 0x7fffffff));
  const std::int32_t n =
      ondrel_i2p_net_fetch_https(url_bytes.data(), url_len, body.data(), static_cast<std::int32_t>(body.size()));
  if (n < 0) return fail(NetError::Io, msg("https fetch(", url, ") failed: ", last_os_error()));
  body.resize(static_cast<std::size_t>(n));
  return body;
}

}  // namespace ntcp2_net
