// The torrent API's handling of arbitrary client bytes: the request head, the body members it
// searches for, the flexible Base64, the decimal reader and the escaping of what it echoes.
// No crash, and every result keeps the form the server relies on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "encoding/text.h"
#include "fuzz/support/check.h"
#include "services/http_proxy_request.h"
#include "torrent/api_endpoints.h"
#include "torrent/api_json.h"
#include "torrent/api_request.h"

namespace {

using fuzz_support::check;

// Inside quotes, every quote and backslash is escaped, no control character is left, and the
// text is UTF-8 without surrogates.
void check_escaped(std::string_view in) {
  const std::string out = router::api_json_escape(in);
  // Written at a pointer, into exactly the room it promises to stay within.
  const std::size_t room = 3 * in.size() + 8;
  const auto buf = std::make_unique<char[]>(room);
  check(std::string_view(buf.get(), static_cast<std::size_t>(router::api_json_escape_to(buf.get(), in) - buf.get())) ==
        out);
  check(encoding::utf8_bytes_to_string(encoding::string_to_utf8_bytes(out)).has_value());
  for (std::size_t i = 0; i + 1 < out.size(); ++i) {
    check(!(static_cast<unsigned char>(out[i]) == 0xED && static_cast<unsigned char>(out[i + 1]) >= 0xA0));
  }
  for (std::size_t i = 0; i < out.size(); ++i) {
    const auto c = static_cast<unsigned char>(out[i]);
    check(c >= 0x20);
    if (c == '\\') {
      check(i + 1 < out.size());
      const char e = out[i + 1];
      check(e == '"' || e == '\\' || e == 'n' || e == 'r' || e == 't');
      ++i;
    } else {
      check(c != '"');
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView bytes(data, size);
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  router::TorrentApiConn conn;
  const auto end = router::find_http_header_end(bytes, size);
  const ByteView head = end ? bytes.first(end->head_length) : bytes;
  if (router::api_parse_header_block(conn, head)) {
    check(conn.headers_done);
    check(!conn.method.empty());
    for (const char c : conn.method) check(!(c >= 'a' && c <= 'z') && c != ' ');
    check(conn.path.find('?') == std::string::npos);
    check(conn.content_length >= 0 && conn.content_length <= 100'000'009);
    check(encoding::ascii_lower(conn.content_type) == conn.content_type);
    // The answer's head stays one line per header whatever the client sent as Origin.
    const std::string answer = router::api_response_text(200, "OK", "{}", conn.origin);
    const std::size_t head_end = answer.find("\r\n\r\n");
    check(head_end != std::string::npos && answer.substr(head_end + 4) == "{}");
    if (router::api_is_allowed_origin(conn.origin)) {
      const std::string o = encoding::ascii_lower(encoding::trim(conn.origin));
      check(o.starts_with("http://127.0.0.1") || o.starts_with("http://localhost") || o.starts_with("http://[::1]") ||
            o.starts_with("vex-extension://"));
      check(o.find_first_of("\r\n") == std::string::npos);
    }
  } else {
    check(!conn.headers_done);
  }

  const std::int64_t n = router::api_parse_decimal(text);
  check(n >= 0 && n <= 100'000'009);
  const std::uint32_t port = router::api_bootstrap_port(text);
  check(port >= 1 && port <= 65535);
  // An escape is never longer than what it stands for, and never stands for a surrogate: a
  // body of UTF-8 gives members of UTF-8.
  const bool utf8_body = encoding::utf8_bytes_to_string(bytes).has_value();
  for (const std::string_view key : {"uri", "torrent_b64", "info_hash", "download_dir", "b32"}) {
    if (const auto value = router::api_json_get_string(text, key)) {
      check(value->size() <= size);
      if (utf8_body) check(encoding::utf8_bytes_to_string(encoding::string_to_utf8_bytes(*value)).has_value());
    }
  }
  if (const auto decoded = router::api_decode_base64_flexible(text)) check(decoded->size() <= size);
  check_escaped(text);
  return 0;
}
