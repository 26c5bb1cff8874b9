#include "services/http_proxy_request.h"

#include <algorithm>
#include <array>

#include "encoding/text.h"

namespace router {

namespace {

constexpr std::string_view kBlanks = " \t";
constexpr std::string_view kHelperKey = "i2paddresshelper=";
constexpr std::string_view kUserAgent = "ZEZI/6.66 (AN/ON)";

// Headers that identify the user or describe the hop to the proxy; compared in lower case.
constexpr std::array<std::string_view, 11> kDroppedHeaders = {
    "proxy-connection", "proxy-authorization", "proxy-authenticate", "connection", "keep-alive", "te",
    "upgrade",          "x-forwarded-for",     "forwarded",          "via",        "user-agent",
};

// The refusals whose page never names what the browser sent; the order of the enumeration is
// the order of the table.
enum class Refusal : std::uint8_t {
  MalformedUtf8,
  MalformedRequestLine,
  MalformedTargetOrVersion,
  ConnectDisabled,
  MalformedHeaderLine,
  InvalidHostname,
  InvalidUrlAuthority,
  HttpsRefused,
  InvalidHostHeader,
  MissingHostHeader,
  UnsupportedTarget,
};

struct RefusalText {
  Refusal refusal;
  int status;
  std::string_view reason;
  std::string_view message;
};

constexpr std::array<RefusalText, 11> kRefusals = {{
    {Refusal::MalformedUtf8, 400, "Bad Request", "Malformed UTF-8 in HTTP headers."},
    {Refusal::MalformedRequestLine, 400, "Bad Request", "Malformed HTTP request line."},
    {Refusal::MalformedTargetOrVersion, 400, "Bad Request", "Malformed HTTP request target or version."},
    {Refusal::ConnectDisabled, 501, "Not Implemented",
     "CONNECT tunneling is disabled on the ondrel-i2p HTTP proxy. Use plain http:// URLs for .i2p eepsites "
     "(traffic is already end-to-end encrypted inside I2P)."},
    {Refusal::MalformedHeaderLine, 400, "Bad Request", "Malformed HTTP header line."},
    {Refusal::InvalidHostname, 400, "Bad Request", "Invalid target hostname."},
    {Refusal::InvalidUrlAuthority, 400, "Bad Request", "Invalid target host or port in URL."},
    {Refusal::HttpsRefused, 501, "Not Implemented",
     "Use http:// instead of https:// for .i2p eepsites (I2P encrypts traffic end-to-end inside tunnels and "
     "Garlic)."},
    {Refusal::InvalidHostHeader, 400, "Bad Request", "Invalid Host header value."},
    {Refusal::MissingHostHeader, 400, "Bad Request", "Missing Host header in origin-form HTTP request."},
    {Refusal::UnsupportedTarget, 400, "Bad Request", "Unsupported request target URI."},
}};

// A table row out of order would give a refusal another's page.
constexpr bool refusals_in_order() {
  for (std::size_t i = 0; i < kRefusals.size(); ++i) {
    if (static_cast<std::size_t>(kRefusals[i].refusal) != i) return false;
  }
  return true;
}
static_assert(refusals_in_order());

std::unexpected<HttpProxyError> refuse(Refusal refusal) {
  const RefusalText& t = kRefusals[static_cast<std::size_t>(refusal)];
  return std::unexpected(HttpProxyError{t.status, std::string(t.reason), std::string(t.message)});
}

HttpProxyError unsupported_version(std::string_view version) {
  return {505, "HTTP Version Not Supported", "Unsupported HTTP version: " + std::string(version) + "."};
}
HttpProxyError clearnet_blocked(std::string_view host) {
  return {403, "Forbidden",
          "Clearnet host '" + std::string(host) + "' blocked: ondrel-i2p HTTP proxy only routes .i2p destinations."};
}

bool starts_with_ci(std::string_view text, std::string_view lower_prefix) {
  return text.size() >= lower_prefix.size() &&
         encoding::ascii_lower(text.substr(0, lower_prefix.size())) == lower_prefix;
}

// A control character (Unicode Cc: U+0000..U+001F, U+007F..U+009F) in valid UTF-8 text,
// with tab allowed when `tab_ok`. Servers split lines at a lone CR or stop at NUL, so such
// a character forwarded inside a line could start a request of its own.
bool has_control(std::string_view text, bool tab_ok) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\t' && tab_ok) continue;
    if (c < 0x20 || c == 0x7F) return true;
    if (c == 0xC2 && i + 1 < text.size()) {
      const auto next = static_cast<unsigned char>(text[i + 1]);
      if (next >= 0x80 && next <= 0x9F) return true;
    }
  }
  return false;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "%" and two hex digits become that byte; any other "%" and "+" stay. The result is used
// only when it is UTF-8, else the value as written.
std::string percent_decode(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '%' && i + 2 < value.size()) {
      const int hi = hex_value(value[i + 1]);
      const int lo = hex_value(value[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        continue;
      }
    }
    out.push_back(value[i]);
  }
  if (!encoding::utf8_bytes_to_string(as_bytes(out))) return std::string(value);
  return out;
}

bool dropped_header(std::string_view lower_name, std::string_view value) {
  if (std::find(kDroppedHeaders.begin(), kDroppedHeaders.end(), lower_name) != kDroppedHeaders.end()) return true;
  return lower_name == "referer" && !is_i2p_referer(value);
}

std::string authority_text(std::string_view host, std::uint16_t port) {
  std::string out(host);
  if (port != 80) {
    out += ':';
    out += std::to_string(port);
  }
  return out;
}

struct HeaderLine {
  std::string_view name;
  std::string_view value;
  std::string lower_name;
};

struct RequestLine {
  std::string method;  // upper case
  std::string_view target;
};

// Method, target and version separated by runs of blanks; the version must be HTTP/1.x in
// any case, and CONNECT is refused once the line is known to be well formed.
std::expected<RequestLine, HttpProxyError> parse_request_line(std::string_view line) {
  const std::string_view request_line = encoding::trim(line);
  const auto blank = request_line.find_first_of(kBlanks);
  if (blank == std::string_view::npos) return refuse(Refusal::MalformedRequestLine);
  const std::string_view raw_method = request_line.substr(0, blank);
  if (has_control(raw_method, false)) return refuse(Refusal::MalformedRequestLine);
  const std::string_view after_method = encoding::trim(request_line.substr(blank + 1));
  const auto blank2 = after_method.find_first_of(kBlanks);
  if (blank2 == std::string_view::npos) return refuse(Refusal::MalformedTargetOrVersion);
  const std::string_view target = after_method.substr(0, blank2);
  if (has_control(target, false)) return refuse(Refusal::MalformedTargetOrVersion);
  const std::string_view version = encoding::trim(after_method.substr(blank2 + 1));
  if (!encoding::ascii_upper(version).starts_with("HTTP/1.")) return std::unexpected(unsupported_version(version));
  RequestLine out{encoding::ascii_upper(raw_method), target};
  if (out.method == "CONNECT") return refuse(Refusal::ConnectDisabled);
  return out;
}

// Every non-empty line after the request line, in order. A name of blanks only, or a
// control character anywhere the line is forwarded, would reach the site as something
// other than one header: such a line refuses the request.
std::expected<std::vector<HeaderLine>, HttpProxyError> parse_header_lines(const std::vector<std::string>& lines) {
  std::vector<HeaderLine> headers;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    if (line.empty()) continue;
    const std::optional<HttpHeaderField> field = parse_http_header_line(line);
    if (!field || has_control(field->name, true) || has_control(field->value, true)) {
      return refuse(Refusal::MalformedHeaderLine);
    }
    headers.push_back({field->name, field->value, encoding::ascii_lower(field->name)});
  }
  return headers;
}

// The first Host header's value.
std::optional<std::string_view> first_host_header(const std::vector<HeaderLine>& headers) {
  for (const HeaderLine& h : headers) {
    if (h.lower_name == "host") return h.value;
  }
  return std::nullopt;
}

// Where the request goes: the URL's authority in absolute form, the Host header in origin
// form; the path always in origin form.
struct Route {
  HostPort authority;
  std::string path;
  bool absolute_form = false;
};

std::expected<Route, HttpProxyError> route_target(std::string_view target,
                                                  std::optional<std::string_view> host_header) {
  target = target.substr(0, target.find('#'));
  if (starts_with_ci(target, "https://")) return refuse(Refusal::HttpsRefused);
  if (starts_with_ci(target, "http://")) {
    const std::string_view rest = target.substr(7);
    const auto end = rest.find_first_of("/?");
    const std::string_view url_path = end == std::string_view::npos ? std::string_view{} : rest.substr(end);
    auto authority = parse_authority_host_port(rest.substr(0, end));
    if (!authority) return refuse(Refusal::InvalidUrlAuthority);
    // An empty path is "/", and a query without a path gets "/" in front.
    std::string path;
    if (url_path.empty() || url_path.front() == '?') path += '/';
    path += url_path;
    return Route{std::move(*authority), std::move(path), true};
  }
  if (!target.starts_with('/')) return refuse(Refusal::UnsupportedTarget);
  if (!host_header) return refuse(Refusal::MissingHostHeader);
  auto authority = parse_authority_host_port(*host_header);
  if (!authority) return refuse(Refusal::InvalidHostHeader);
  return Route{std::move(*authority), std::string(target), false};
}

// The routed host in lower case without trailing dots; only .i2p names pass.
std::expected<std::string, HttpProxyError> checked_host(std::string_view authority_host) {
  std::string host = encoding::ascii_lower(authority_host);
  while (host.ends_with('.')) host.pop_back();
  const bool bad_char = std::any_of(host.begin(), host.end(), [](char c) {
    return static_cast<unsigned char>(c) <= 0x20 || c == '#' || c == '/' || c == '?' || c == '@';
  });
  if (host.empty() || bad_char) return refuse(Refusal::InvalidHostname);
  if (host.size() <= 4 || !host.ends_with(".i2p")) return std::unexpected(clearnet_blocked(host));
  return host;
}

// The head the site gets. It sees one Host: the one the request is routed by. In absolute
// form that is the URL's authority, written where the browser's own Host header stood
// (which may name some other site); in origin form the browser's first Host header is that
// authority.
std::string rewritten_head(const HttpProxyRequest& request, const Route& route, const std::vector<HeaderLine>& headers,
                           std::size_t size_hint) {
  const std::string routed_host_line = "Host: " + authority_text(request.host, request.port) + "\r\n";
  std::string out;
  out.reserve(size_hint + 128);
  out += request.method;
  out += ' ';
  out += request.path;
  out += " HTTP/1.1\r\n";
  bool host_written = false;
  for (const HeaderLine& h : headers) {
    if (dropped_header(h.lower_name, h.value)) continue;
    if (h.lower_name == "host") {
      if (host_written) continue;
      host_written = true;
      if (route.absolute_form) {
        out += routed_host_line;
        continue;
      }
    }
    out += h.name;
    out += ": ";
    out += h.value;
    out += "\r\n";
  }
  if (!host_written) out += routed_host_line;
  out += "User-Agent: ";
  out += kUserAgent;
  out += "\r\nConnection: close\r\n\r\n";
  return out;
}

}  // namespace

std::optional<std::uint16_t> parse_u32_port_exact(std::string_view text) {
  const auto port = encoding::parse_port(text);
  if (!port || *port == 0) return std::nullopt;
  return port;
}

std::optional<HostPort> parse_authority_host_port(std::string_view text) {
  text = encoding::trim(text);
  if (text.empty()) return std::nullopt;
  if (const auto at = text.find('@'); at != std::string_view::npos) {
    text = text.substr(at + 1);
    if (text.empty()) return std::nullopt;
  }
  if (text.find_first_of("[]") != std::string_view::npos) return std::nullopt;
  const auto colon = text.find(':');
  if (colon == std::string_view::npos) return HostPort{std::string(text), 80};
  if (colon == 0 || text.find(':', colon + 1) != std::string_view::npos) return std::nullopt;
  const auto port = parse_u32_port_exact(text.substr(colon + 1));
  if (!port) return std::nullopt;
  return HostPort{std::string(text.substr(0, colon)), *port};
}

bool is_i2p_referer(std::string_view value) {
  const std::string lower = encoding::ascii_lower(encoding::trim(value));
  constexpr std::string_view kScheme = "http://";
  if (!lower.starts_with(kScheme)) return false;
  const std::string_view rest = std::string_view(lower).substr(kScheme.size());
  const auto authority = parse_authority_host_port(rest.substr(0, rest.find_first_of("/?#")));
  if (!authority) return false;
  std::string_view host = authority->host;
  if (host.ends_with('.')) host.remove_suffix(1);
  return host.size() > 4 && host.ends_with(".i2p");
}

std::vector<std::string> split_crlf_or_lf_lines(std::string_view text) {
  std::vector<std::string> lines;
  for (;;) {
    const auto lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    if (line.ends_with('\r')) line.remove_suffix(1);
    lines.emplace_back(line);
    if (lf == std::string_view::npos) return lines;
    text.remove_prefix(lf + 1);
  }
}

std::optional<AddressHelperLink> extract_address_helper(std::string_view host, std::uint16_t port,
                                                        std::string_view path) {
  const auto question = path.find('?');
  if (question == std::string_view::npos) return std::nullopt;
  std::string_view query = path.substr(question + 1);
  std::optional<std::string> helper;
  std::string kept;
  bool any_kept = false;
  for (;;) {
    const auto amp = query.find('&');
    const std::string_view piece = query.substr(0, amp);
    if (piece.starts_with(kHelperKey)) {
      std::string value = percent_decode(piece.substr(kHelperKey.size()));
      if (!value.empty()) helper = std::move(value);
    } else if (!piece.empty()) {
      if (any_kept) kept += '&';
      kept += piece;
      any_kept = true;
    }
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  if (!helper) return std::nullopt;
  std::string location = "http://" + authority_text(host, port) + std::string(path.substr(0, question));
  if (any_kept) location += "?" + kept;
  return AddressHelperLink{std::move(location), std::move(*helper)};
}

std::expected<HttpProxyRequest, HttpProxyError> parse_http_proxy_request(ByteView head) {
  auto decoded = encoding::utf8_bytes_to_string(head);
  if (!decoded) return refuse(Refusal::MalformedUtf8);
  const std::vector<std::string> lines = split_crlf_or_lf_lines(*decoded);
  auto request_line = parse_request_line(lines.front());
  if (!request_line) return std::unexpected(std::move(request_line.error()));
  auto headers = parse_header_lines(lines);
  if (!headers) return std::unexpected(std::move(headers.error()));
  auto route = route_target(request_line->target, first_host_header(*headers));
  if (!route) return std::unexpected(std::move(route.error()));
  auto host = checked_host(route->authority.host);
  if (!host) return std::unexpected(std::move(host.error()));

  HttpProxyRequest request;
  request.method = std::move(request_line->method);
  request.host = std::move(*host);
  request.port = route->authority.port;
  request.path = route->path;
  if (auto link = extract_address_helper(request.host, request.port, request.path)) {
    request.address_helper = std::move(link->helper);
    request.location = std::move(link->location);
  }
  request.head = rewritten_head(request, *route, *headers, head.size());
  return request;
}

}  // namespace router
