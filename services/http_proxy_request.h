#pragma once
// The HTTP proxy's request head: where it ends, what it asks for, and the head that goes to
// the .i2p site in its place. Pure text handling, no I/O.
//
// The rewritten head is HTTP/1.1 with the headers that identify the user or the proxy hop
// removed, a fixed User-Agent and "Connection: close" (one request per stream). It never
// carries a control character: a request line or header line holding one is refused, so a
// crafted link or page cannot smuggle a second request through the proxy. It carries one
// Host line, naming the host the request is routed to.
//
// The head is read as UTF-8 text; blanks are space and tab, trimming removes tab, LF, CR and
// space, and case is folded for ASCII letters only (methods and .i2p names are ASCII).
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "encoding/bytes.h"
#include "services/http_header.h"

namespace router {

// A request the proxy accepted.
struct HttpProxyRequest {
  std::string method;  // upper case
  std::string host;    // lower case, trailing dots removed, ends in ".i2p"
  std::uint16_t port = 80;
  std::string path;  // origin form: starts with "/", keeps the query, no fragment
  std::string head;  // the rewritten head, ending with the empty line
  // The last non-empty "i2paddresshelper=" query value, percent-decoded, and with it the
  // same URL without the helper parameters to redirect the browser to.
  std::optional<std::string> address_helper;
  std::optional<std::string> location;

  friend bool operator==(const HttpProxyRequest&, const HttpProxyRequest&) = default;
};

// Why the proxy refuses a request: what its error page shows.
struct HttpProxyError {
  int status = 0;
  std::string reason;
  std::string message;

  friend bool operator==(const HttpProxyError&, const HttpProxyError&) = default;
};

// A port 1..65535 written as ASCII digits only (leading zeros allowed); anything else,
// 0 and the empty text included, is none.
std::optional<std::uint16_t> parse_u32_port_exact(std::string_view text);

struct HostPort {
  std::string host;
  std::uint16_t port = 80;

  friend bool operator==(const HostPort&, const HostPort&) = default;
};

// "host" or "host:port" of a URL or Host header, trimmed, user information before the
// first "@" dropped, port 80 when none is given. Bracketed IPv6 literals, an empty host
// before ":", a second ":" and a bad port are none. The host is returned as written.
std::optional<HostPort> parse_authority_host_port(std::string_view text);

// True for a Referer value "http://" + an .i2p host (any case, optional port and one
// trailing dot), which may travel to another .i2p site; every other referer is dropped.
bool is_i2p_referer(std::string_view value);

// The text split at every LF, one trailing CR removed from each piece; empty pieces are
// kept, so the result always holds at least one line.
std::vector<std::string> split_crlf_or_lf_lines(std::string_view text);

struct AddressHelperLink {
  std::string location;  // the URL without the helper parameters
  std::string helper;    // the decoded helper value
};

// The last non-empty "i2paddresshelper=" parameter of the path's query, percent-decoded
// (kept as written when the decoded bytes are not UTF-8), and the URL of host, port and
// path with every helper parameter and empty piece of the query removed. None when the
// path has no query or no non-empty helper.
std::optional<AddressHelperLink> extract_address_helper(std::string_view host, std::uint16_t port,
                                                        std::string_view path);

// Parses a request head (the bytes before the end marker) and rewrites it for the site.
// Refusals carry the status, reason and message of the error page to answer with.
std::expected<HttpProxyRequest, HttpProxyError> parse_http_proxy_request(ByteView head);

}  // namespace router
