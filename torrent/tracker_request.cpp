#include "torrent/tracker_request.h"

#include <algorithm>

#include "encoding/text.h"
#include "services/http_proxy_request.h"

namespace bittorrent {

std::optional<HttpTrackerUrl> parse_http_tracker_url(std::string_view url) {
  constexpr std::string_view scheme = "http://";
  const std::string_view trimmed = encoding::trim(url);
  if (trimmed.size() < scheme.size() || encoding::ascii_lower(trimmed.substr(0, scheme.size())) != scheme) {
    return std::nullopt;
  }
  // Spaces and control bytes would break the request line (or smuggle header lines).
  if (std::any_of(trimmed.begin(), trimmed.end(),
                  [](char c) { return static_cast<unsigned char>(c) <= 0x20 || c == 0x7F; })) {
    return std::nullopt;
  }
  const std::string_view rest = trimmed.substr(scheme.size());
  const std::size_t end = rest.find_first_of("/?");
  const std::string_view authority = rest.substr(0, end);
  HttpTrackerUrl out;
  if (end != std::string_view::npos) {
    const std::string_view tail = rest.substr(end);
    out.path = tail.front() == '?' ? "/" : "";
    out.path.append(tail);
  }
  std::string_view host = authority;
  if (const std::size_t colon = authority.rfind(':'); colon != std::string_view::npos) {
    const std::optional<std::uint16_t> port = router::parse_u32_port_exact(authority.substr(colon + 1));
    if (!port) return std::nullopt;
    out.port = *port;
    host = authority.substr(0, colon);
  }
  out.host = encoding::ascii_lower(host);
  if (out.host.size() <= 4 || !out.host.ends_with(".i2p")) return std::nullopt;
  return out;
}

std::string url_encode_bytes(ByteView bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 3);
  for (const std::uint8_t b : bytes) {
    const bool plain = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '-' ||
                       b == '.' || b == '_' || b == '~';
    if (plain) {
      out.push_back(static_cast<char>(b));
    } else {
      out.push_back('%');
      out.push_back(kHex[b >> 4]);
      out.push_back(kHex[b & 0x0F]);
    }
  }
  return out;
}

std::string build_http_announce_request(std::string_view host, std::uint32_t port, std::string_view path,
                                        const AnnounceParams& params) {
  std::string query = "info_hash=" + url_encode_bytes(params.info_hash);
  query += "&peer_id=" + url_encode_bytes(params.peer_id);
  query += "&port=6881&uploaded=" + std::to_string(params.uploaded);
  query += "&downloaded=" + std::to_string(params.downloaded);
  query += "&left=" + std::to_string(params.left);
  query += "&compact=1&numwant=50";
  switch (params.event) {
    case AnnounceEvent::None: break;
    case AnnounceEvent::Started: query += "&event=started"; break;
    case AnnounceEvent::Completed: query += "&event=completed"; break;
    case AnnounceEvent::Stopped: query += "&event=stopped"; break;
  }
  if (!params.public_b64.empty()) query += "&ip=" + std::string(params.public_b64) + ".i2p";

  std::string req =
      "GET " + std::string(path) + (path.find('?') != std::string_view::npos ? "&" : "?") + query + " HTTP/1.1\r\n";
  req += "Host: " + std::string(host);
  if (port != 80) req += ":" + std::to_string(port);
  req += "\r\nUser-Agent: ondrel-i2p/0.1\r\nAccept: */*\r\nConnection: close\r\n\r\n";
  return req;
}

std::optional<std::uint32_t> http_reply_status(ByteView reply) {
  const auto nl = std::find(reply.begin(), reply.end(), static_cast<std::uint8_t>('\n'));
  if (nl == reply.end()) return std::nullopt;
  const std::string line(reply.begin(), nl);
  const std::string_view l = encoding::trim(line);
  // "HTTP/" version, one space, three digits, then the end or a space.
  if (!l.starts_with("HTTP/")) return std::nullopt;
  const std::size_t sp = l.find(' ');
  if (sp == std::string_view::npos || l.size() < sp + 4) return std::nullopt;
  const std::string_view code = l.substr(sp + 1, 3);
  if (!std::all_of(code.begin(), code.end(), [](char c) { return c >= '0' && c <= '9'; })) return std::nullopt;
  if (l.size() > sp + 4 && l[sp + 4] != ' ') return std::nullopt;
  return static_cast<std::uint32_t>((code[0] - '0') * 100 + (code[1] - '0') * 10 + (code[2] - '0'));
}

}  // namespace bittorrent
