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

// Writes the error page to the browser: the head, then the body, each with a 500 ms deadline;
// the body is not written when the head fails, and write failures are not reported. The
// socket is left open for the caller to close. The page is a few hundred bytes written to a
// socket that has received nothing else, so it fits the kernel's send buffer at once.
void send_http_proxy_error(ntcp2_net::TcpSocket& socket, int status, std::string_view reason, std::string_view message,
                           std::uint32_t retry_after_s);
inline void send_http_proxy_error(ntcp2_net::TcpSocket& socket, const HttpProxyError& error) {
  send_http_proxy_error(socket, error.status, error.reason, error.message, 0);
}

// The 302 answer that sends the browser on to `location` after an address-helper link.
std::string address_helper_redirect(std::string_view location);

}  // namespace router
