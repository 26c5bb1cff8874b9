// The proxy's error pages and redirect, byte for byte, read back by python's http.client and
// html modules, and written over a real loopback socket.
#include "services/http_proxy_pages.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <sstream>
#include <string>
#include <vector>

#include "encoding/text.h"
#include "ntcp2_net/glue.h"
#include "ntcp2_net/tcp_listener.h"
#include "tests/services/proxy_test_support.h"

namespace router {
namespace {

using proxy_test::read_file;
using proxy_test::ScratchDir;
using proxy_test::write_file;

std::string whole(const HttpProxyErrorPage& p) { return p.head + p.body; }

TEST(EscapeHtml, FourCharactersOnly) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""},
      {"plain text", "plain text"},
      {"<script>alert(\"x\")</script>", "&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt;"},
      {"a & b", "a &amp; b"},
      {"&amp;", "&amp;amp;"},
      {"it's", "it's"},
      {"caf\xc3\xa9 \xe2\x82\xac", "caf\xc3\xa9 \xe2\x82\xac"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(escape_html(text), expected) << text;
}

TEST(HttpProxyErrorPage, ByteForByte) {
  EXPECT_EQ(whole(http_proxy_error_page(502, "Bad Gateway", "Unknown .i2p host 'x.i2p'.", 0)),
            "HTTP/1.1 502 Bad Gateway\r\n"
            "Content-Type: text/html; charset=utf-8\r\n"
            "Content-Length: 204\r\n"
            "Connection: close\r\n"
            "\r\n"
            "<!doctype html><html><head><meta charset=\"utf-8\"><title>502 Bad Gateway</title></head><body>"
            "<h1>502 Bad Gateway</h1><p>Unknown .i2p host 'x.i2p'.</p><hr><small>ondrel-i2p HTTP Proxy</small>"
            "</body></html>\n");
  EXPECT_EQ(whole(http_proxy_error_page(503, "Service Unavailable", "Still bootstrapping.", 30)),
            "HTTP/1.1 503 Service Unavailable\r\n"
            "Content-Type: text/html; charset=utf-8\r\n"
            "Content-Length: 254\r\n"
            "Retry-After: 30\r\n"
            "Connection: close\r\n"
            "\r\n"
            "<!doctype html><html><head><meta charset=\"utf-8\"><meta http-equiv=\"refresh\" content=\"30\">"
            "<title>503 Service Unavailable</title></head><body><h1>503 Service Unavailable</h1>"
            "<p>Still bootstrapping.</p><hr><small>ondrel-i2p HTTP Proxy</small></body></html>\n");
}

TEST(HttpProxyErrorPage, MessageAndReasonEscapedInTheBodyOnly) {
  const auto page = http_proxy_error_page(400, "Bad <Request>", "<script>alert(\"x\")</script> & 'q'", 0);
  EXPECT_TRUE(page.head.starts_with("HTTP/1.1 400 Bad <Request>\r\n")) << page.head;
  EXPECT_NE(page.body.find("<title>400 Bad &lt;Request&gt;</title>"), std::string::npos) << page.body;
  EXPECT_NE(page.body.find("<h1>400 Bad &lt;Request&gt;</h1>"), std::string::npos) << page.body;
  EXPECT_NE(page.body.find("<p>&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt; &amp; 'q'</p>"), std::string::npos)
      << page.body;
  EXPECT_EQ(page.body.find("<script>"), std::string::npos);
}

// Status line, headers and body as python's HTTP client reads them, and the page's text as
// python's HTML parser sees it: the message comes back exactly, whatever it holds.
TEST(HttpProxyErrorPage, ReadBackByPythonHttpClientAndHtmlParser) {
  struct Case {
    int status;
    std::string reason;
    std::string message;
    std::uint32_t retry;
  };
  const std::vector<Case> cases = {
      {504, "Gateway Timeout", "Could not resolve LeaseSet2 for x.i2p (abc.b32.i2p) in I2P NetDB.", 0},
      {503, "Service Unavailable", "I2P router is still bootstrapping tunnels (inbound=0, outbound=0, peers=3).", 3},
      {403, "Forbidden", "Clearnet host '<b>\"evil\"</b>&amp;' blocked", 0},
      {400, "Bad Request", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 it's", 0},
  };
  const ScratchDir dir("pages");
  std::string in;
  for (const auto& c : cases) {
    in += encoding::hex_encode(as_bytes(whole(http_proxy_error_page(c.status, c.reason, c.message, c.retry)))) + "\n";
  }
  write_file(dir / "in.txt", in);
  write_file(
      dir / "read.py",
      "import sys, io, http.client, html.parser\n"
      "class Sock:\n"
      "    def __init__(self, b): self.b = b\n"
      "    def makefile(self, *a, **k): return io.BytesIO(self.b)\n"
      "class Text(html.parser.HTMLParser):\n"
      "    def __init__(self):\n"
      "        super().__init__(convert_charrefs=True); self.where = []; self.got = {}; self.meta = []\n"
      "    def handle_starttag(self, tag, attrs):\n"
      "        self.where.append(tag)\n"
      "        if tag == 'meta': self.meta.append(dict(attrs)); self.where.pop()\n"
      "    def handle_endtag(self, tag):\n"
      "        if self.where and self.where[-1] == tag: self.where.pop()\n"
      "    def handle_data(self, d):\n"
      "        if self.where: self.got[self.where[-1]] = self.got.get(self.where[-1], '') + d\n"
      "out = open(sys.argv[2], 'w')\n"
      "h = lambda s: s.encode('utf-8').hex() or '-'\n"
      "for line in open(sys.argv[1]):\n"
      "    r = http.client.HTTPResponse(Sock(bytes.fromhex(line.strip())))\n"
      "    r.begin()\n"
      "    body = r.read()\n"
      "    p = Text(); p.feed(body.decode('utf-8')); p.close()\n"
      "    refresh = [m.get('content') for m in p.meta if m.get('http-equiv') == 'refresh']\n"
      "    out.write('%d %s %s %s %s %s %s %s %d\\n' % (r.status, h(r.reason), h(r.getheader('Content-Type')),\n"
      "              r.getheader('Retry-After', '-'), refresh[0] if refresh else '-', h(p.got.get('title', '')),\n"
      "              h(p.got.get('h1', '')), h(p.got.get('p', '')), len(body)))\n");
  ASSERT_TRUE(
      proxy_test::run_python((dir / "read.py").string(), (dir / "in.txt").string() + " " + (dir / "out.txt").string()));
  std::istringstream results(read_file(dir / "out.txt"));
  for (const auto& c : cases) {
    const auto page = http_proxy_error_page(c.status, c.reason, c.message, c.retry);
    int status = 0;
    std::size_t length = 0;
    std::string reason, type, retry_header, refresh, title, h1, p;
    ASSERT_TRUE(results >> status >> reason >> type >> retry_header >> refresh >> title >> h1 >> p >> length);
    auto hx = [](std::string_view s) { return encoding::hex_encode(as_bytes(s)); };
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(reason, hx(c.reason));
    EXPECT_EQ(type, hx("text/html; charset=utf-8"));
    const std::string retry = c.retry == 0 ? "-" : std::to_string(c.retry);
    EXPECT_EQ(retry_header, retry);
    EXPECT_EQ(refresh, retry);
    const std::string title_text = std::to_string(c.status) + " " + c.reason;
    EXPECT_EQ(title, hx(title_text));
    EXPECT_EQ(h1, hx(title_text));
    EXPECT_EQ(p, hx(c.message));
    EXPECT_EQ(length, page.body.size());
  }
}

TEST(AddressHelperRedirect, ByteForByte) {
  EXPECT_EQ(address_helper_redirect("http://new.i2p:8080/page?lang=en"),
            "HTTP/1.1 302 Found\r\nLocation: http://new.i2p:8080/page?lang=en\r\nContent-Length: 0\r\n"
            "Connection: close\r\n\r\n");
}

}  // namespace
}  // namespace router
