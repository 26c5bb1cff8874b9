#include "services/http_proxy_pages.h"

#include "encoding/text.h"

namespace router {

std::string escape_html(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c; break;
    }
  }
  return out;
}

HttpProxyErrorPage http_proxy_error_page(int status, std::string_view reason, std::string_view message,
                                         std::uint32_t retry_after_s) {
  const std::string code = std::to_string(status);
  const std::string title = code + " " + escape_html(reason);
  HttpProxyErrorPage page;
  page.body = "<!doctype html><html><head><meta charset=\"utf-8\">";
  if (retry_after_s != 0) {
    page.body += "<meta http-equiv=\"refresh\" content=\"" + std::to_string(retry_after_s) + "\">";
  }
  page.body += "<title>" + title + "</title></head><body><h1>" + title + "</h1><p>" + escape_html(message) +
               "</p><hr><small>ondrel-i2p HTTP Proxy</small></body></html>\n";
  page.head = "HTTP/1.1 " + code + " " + std::string(reason) +
              "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " + std::to_string(page.body.size()) +
              "\r\n";
  if (retry_after_s != 0) page.head += "Retry-After: " + std::to_string(retry_after_s) + "\r\n";
  page.head += "Connection: close\r\n\r\n";
  return page;
}

std::string address_helper_redirect(std::string_view location) {
  return "HTTP/1.1 302 Found\r\nLocation: " + std::string(location) +
         "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}

}  // namespace router
