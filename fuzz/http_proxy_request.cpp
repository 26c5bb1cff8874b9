// The HTTP proxy's head handling on arbitrary browser bytes: no crash, the end marker found
// is the first one, and a request that is accepted comes out as a head that is clean (no
// control character, one Host line, the fixed tail) and that parses back to itself.
#include "services/http_proxy_request.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "encoding/text.h"
#include "fuzz/support/check.h"
#include "services/http_proxy_pages.h"

namespace {

using fuzz_support::check;

std::size_t count_host_lines(std::string_view head) {
  std::size_t n = 0;
  for (const auto& line : router::split_crlf_or_lf_lines(head)) {
    if (encoding::ascii_lower(line).starts_with("host:")) ++n;
  }
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView bytes(data, size);
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  {
    const auto crlf = text.find("\r\n\r\n");
    const auto lflf = text.find("\n\n");
    const auto end = router::find_http_header_end(bytes, size);
    if (crlf == std::string_view::npos && lflf == std::string_view::npos) {
      check(!end.has_value());
    } else {
      check(end.has_value());
      const bool crlf_first = crlf != std::string_view::npos && (lflf == std::string_view::npos || crlf < lflf);
      check(end->head_length == (crlf_first ? crlf : lflf));
      check(end->separator_length == (crlf_first ? 4u : 2u));
    }
  }

  std::size_t lfs = 0;
  for (char c : text) lfs += c == '\n' ? 1 : 0;
  check(router::split_crlf_or_lf_lines(text).size() == lfs + 1);
  (void)router::parse_authority_host_port(text);
  (void)router::is_i2p_referer(text);
  if (auto port = router::parse_u32_port_exact(text)) check(*port >= 1);

  const std::string escaped = router::escape_html(text);
  check(escaped.find_first_of("<>\"") == std::string::npos);
  const auto page = router::http_proxy_error_page(400, "Bad Request", text, 0);
  check(page.head.find("Content-Length: " + std::to_string(page.body.size()) + "\r\n") != std::string::npos);

  const auto request = router::parse_http_proxy_request(bytes);
  if (!request) {
    check(request.error().status >= 400 && request.error().status <= 505);
    return 0;
  }
  const std::string& head = request->head;
  check(head.ends_with("\r\nUser-Agent: ZEZI/6.66 (AN/ON)\r\nConnection: close\r\n\r\n"));
  check(request->host.size() > 4 && request->host.ends_with(".i2p"));
  check(request->path.starts_with("/"));
  check(request->port >= 1);
  check(request->address_helper.has_value() == request->location.has_value());
  for (std::size_t i = 0; i < head.size(); ++i) {
    const auto c = static_cast<unsigned char>(head[i]);
    if (c == '\r') check(i + 1 < head.size() && head[i + 1] == '\n');
    if (c == '\n') check(i > 0 && head[i - 1] == '\r');
    if (c < 0x20 && c != '\r' && c != '\n' && c != '\t') std::abort();
    if (c == 0x7F) std::abort();
  }
  check(count_host_lines(head) == 1);

  // The rewritten head, read as a request of its own, is left as it is.
  const auto again = router::parse_http_proxy_request(as_bytes(std::string_view(head).substr(0, head.size() - 4)));
  check(again.has_value());
  check(*again == *request);
  return 0;
}
