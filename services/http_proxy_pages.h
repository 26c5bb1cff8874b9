#pragma once
// The HTML pages the HTTP proxy answers a browser with when it cannot fetch the page, and
// the redirect of an address-helper link.
#include <cstdint>
#include <string>
#include <string_view>

#include "ntcp2_net/tcp_socket.h"
#include "services/http_proxy_request.h"

namespace router {

// "&", "<", ">" and the double quote as entities; every other character as it is.
std::string escape_html(std::string_view text);

// A complete error answer: status line and headers, then the HTML body. The status line
// carries the reason as given (it is always one of the proxy's own phrases); the page shows
// reason and message escaped. A retry-after of 0 adds neither a refresh tag nor a
// Retry-After header.
struct HttpProxyErrorPage {
  std::string head;
  std::string body;
};
HttpProxyErrorPage http_proxy_error_page(int status, std::string_view reason, std::string_view message,
                                         std::uint32_t retry_after_s);

// The 302 answer that sends the browser on to `location` after an address-helper link.
std::string address_helper_redirect(std::string_view location);

}  // namespace router
