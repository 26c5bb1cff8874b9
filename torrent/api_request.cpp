#include "torrent/api_request.h"

#include <algorithm>
#include <array>

#include "encoding/text.h"
#include "torrent/api_json.h"

namespace router {

namespace {

bool all_digits(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// Empty, or ":" followed by digits that form a port.
bool is_optional_port(std::string_view rest) {
  if (rest.empty()) return true;
  return rest.front() == ':' && all_digits(rest.substr(1)) && encoding::parse_port(rest.substr(1)).has_value();
}

constexpr std::array<std::string_view, 3> kLoopbackNames = {"127.0.0.1", "localhost", "[::1]"};

}  // namespace

ApiConnWants api_conn_wants(const TorrentApiConn& conn) { return http_conn_wants(conn, true); }

std::optional<std::uint64_t> api_next_deadline_ms(const std::vector<TorrentApiConn>& conns) {
  std::optional<std::uint64_t> first;
  for (const TorrentApiConn& c : conns) {
    if (c.closed) continue;
    const std::uint64_t at = http_conn_due_ms(c, kApiConnLimits);
    if (!first || at < *first) first = at;
  }
  return first;
}

bool api_parse_header_block(TorrentApiConn& conn, ByteView head) {
  auto decoded = encoding::utf8_bytes_to_string(head);
  if (!decoded) return false;
  std::string text;
  text.reserve(decoded->size());
  for (const char c : *decoded) {
    if (c != '\r') text += c;
  }

  std::size_t pos = 0;
  bool first = true;
  while (pos < text.size()) {
    const std::size_t lf = text.find('\n', pos);
    const std::string_view line =
        std::string_view(text).substr(pos, lf == std::string::npos ? std::string::npos : lf - pos);
    pos = lf == std::string::npos ? text.size() : lf + 1;

    if (first) {
      first = false;
      const std::size_t b1 = line.find(' ');
      if (b1 == std::string_view::npos || b1 == 0) return false;
      const std::size_t b2 = line.find(' ', b1 + 1);
      if (b2 == std::string_view::npos || b2 < b1 + 2) return false;
      conn.method = encoding::ascii_upper(line.substr(0, b1));
      const std::string_view target = line.substr(b1 + 1, b2 - b1 - 1);
      conn.path = std::string(target.substr(0, target.find('?')));
      continue;
    }

    // A line that is no header is passed over.
    const std::optional<HttpHeaderField> field = parse_http_header_line(line);
    if (!field) continue;
    const std::string name = encoding::ascii_lower(field->name);
    const std::string_view value = field->value;
    if (name == "host") {
      conn.host = std::string(value);
    } else if (name == "origin") {
      conn.origin = std::string(value);
    } else if (name == "content-length") {
      conn.content_length = api_parse_decimal(value);
    } else if (name == "content-type") {
      conn.content_type = encoding::ascii_lower(value);
    } else if (name == "x-ondrel-i2p") {
      if (value == "1" || encoding::ascii_lower(value) == "true") conn.has_api_header = true;
    }
  }
  if (first) return false;  // no line at all (an empty first line is an empty text here)
  conn.headers_done = true;
  return true;
}

bool api_is_loopback_host(std::string_view host) {
  const std::string h = encoding::ascii_lower(encoding::trim(host));
  if (h.empty()) return true;
  for (const std::string_view name : kLoopbackNames) {
    if (h == name || h.starts_with(std::string(name) + ":")) return true;
  }
  return false;
}

bool api_is_allowed_origin(std::string_view origin) {
  const std::string o = encoding::ascii_lower(encoding::trim(origin));
  constexpr std::string_view kExtension = "vex-extension://";
  if (o.starts_with(kExtension)) {
    // An extension's origin is its scheme and its id, nothing else.
    const std::string_view id = std::string_view(o).substr(kExtension.size());
    return !id.empty() && id.find_first_of("/?#@ ") == std::string_view::npos;
  }
  constexpr std::string_view kHttp = "http://";
  if (!o.starts_with(kHttp)) return false;
  const std::string_view authority = std::string_view(o).substr(kHttp.size());
  for (const std::string_view name : kLoopbackNames) {
    if (authority.starts_with(name) && is_optional_port(authority.substr(name.size()))) return true;
  }
  return false;
}

namespace {

std::string response_head(int status, std::string_view reason, std::size_t body_size, std::string_view origin) {
  std::string out;
  out.reserve(320);
  out += "HTTP/1.1 ";
  out += std::to_string(status);
  out += ' ';
  out += reason;
  out += "\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: ";
  out += std::to_string(body_size);
  out += "\r\nCache-Control: no-store\r\n";
  if (api_is_allowed_origin(origin)) {
    out += "Access-Control-Allow-Origin: ";
    out += encoding::trim(origin);
    out +=
        "\r\nAccess-Control-Allow-Headers: Content-Type, X-Ondrel-I2P\r\n"
        "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\n";
  }
  out += "Connection: close\r\n\r\n";
  return out;
}

}  // namespace

std::string api_response_text(int status, std::string_view reason, std::string_view body, std::string_view origin) {
  std::string out = response_head(status, reason, body.size(), origin);
  out += body;
  return out;
}

void api_send_response(TorrentApiConn& conn, int status, std::string_view reason, std::string body,
                       std::uint64_t now_ms, std::size_t body_at) {
  body_at = std::min(body_at, body.size());
  const std::string head = response_head(status, reason, body.size() - body_at, conn.origin);
  // The head goes in front of the document in the document's own buffer: a large document
  // is not copied into a second one. The answer then starts where the head starts.
  std::string answer = std::move(body);
  std::size_t from = 0;
  if (head.size() <= body_at) {
    from = body_at - head.size();
    answer.replace(from, head.size(), head);
  } else {
    answer.replace(0, body_at, head);
  }
  queue_http_answer(conn, std::move(answer), from, now_ms);
  // Nothing more is read as request; the body is not needed any longer.
  conn.body.clear();
  conn.body.shrink_to_fit();
}

}  // namespace router
