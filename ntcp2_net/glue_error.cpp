// The process-wide last-error buffer of the glue.
#include <algorithm>
#include <cstring>

#include "ntcp2_net/glue.h"
#include "ntcp2_net/glue_detail.h"

namespace {
// The text of the most recent glue failure, NUL-terminated, at most 255 bytes. The
// only global of the router: the glue is called from its single thread.
char g_net_last_error[256] = {0};
}  // namespace

namespace ntcp2_net::glue_detail {

void set_error(const char* text) {
  if (text == nullptr) text = "";
  std::size_t n = std::min<std::size_t>(std::strlen(text), sizeof(g_net_last_error) - 1);
  std::memcpy(g_net_last_error, text, n);
  g_net_last_error[n] = '\0';
}

void set_errno_error(int err) {
  char scratch[256];
  // GNU strerror_r: returns either scratch or a static text.
  const char* text = strerror_r(err, scratch, sizeof(scratch));
  set_error(text);
}

bool copy_arg(const std::uint8_t* bytes, std::int32_t len, std::int32_t min_len, std::int32_t max_len, char* out) {
  if (bytes == nullptr || len < min_len || len > max_len) return false;
  const auto n = static_cast<std::size_t>(len);
  if (std::memchr(bytes, 0, n) != nullptr) return false;
  std::memcpy(out, bytes, n);
  out[n] = '\0';
  return true;
}

}  // namespace ntcp2_net::glue_detail

extern "C" {

std::int32_t ondrel_i2p_net_last_error_len(void) { return static_cast<std::int32_t>(std::strlen(g_net_last_error)); }

std::int32_t ondrel_i2p_net_last_error_copy(std::uint8_t* buf, std::int32_t capacity) {
  if (buf == nullptr || capacity <= 0) return 0;
  std::int32_t n = std::min(ondrel_i2p_net_last_error_len(), capacity);
  std::memcpy(buf, g_net_last_error, static_cast<std::size_t>(n));
  return n;
}

}  // extern "C"
