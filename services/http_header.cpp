#include "services/http_header.h"

#include <algorithm>
#include <cstring>

#include "encoding/text.h"

namespace router {

std::optional<HttpHeaderEnd> find_http_header_end(ByteView bytes, std::size_t n) {
  n = std::min(n, bytes.size());
  const std::uint8_t* data = bytes.data();
  // An LF is the first byte of LF LF and the second of CR LF CR LF, so a marker can only
  // begin at an LF or just before one: visit the LFs in order.
  for (std::size_t at = 0; at < n;) {
    const void* lf = std::memchr(data + at, '\n', n - at);
    if (lf == nullptr) return std::nullopt;
    const auto j = static_cast<std::size_t>(static_cast<const std::uint8_t*>(lf) - data);
    // CR LF CR LF beginning at j - 1.
    if (j >= 1 && data[j - 1] == '\r' && j + 2 < n && data[j + 1] == '\r' && data[j + 2] == '\n') {
      return HttpHeaderEnd{j - 1, 4};
    }
    // LF LF beginning at j.
    if (j + 1 < n && data[j + 1] == '\n') return HttpHeaderEnd{j, 2};
    at = j + 1;
  }
  return std::nullopt;
}

std::optional<HttpHeaderField> parse_http_header_line(std::string_view line) {
  const auto colon = line.find(':');
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  const HttpHeaderField field{encoding::trim(line.substr(0, colon)), encoding::trim(line.substr(colon + 1))};
  if (field.name.empty()) return std::nullopt;
  return field;
}

}  // namespace router
