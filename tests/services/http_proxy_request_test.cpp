// The HTTP proxy's request parser: tables of heads with the exact rewritten head or error,
// a cross-check of thousands of mutated heads against an independent python model
// (tests/services/http_proxy_model.py), and real request heads written by curl.
#include "services/http_proxy_request.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "encoding/text.h"
#include "ntcp2_net/tcp_listener.h"
#include "services/http_proxy_pages.h"
#include "tests/services/proxy_test_support.h"

namespace router {
namespace {

using proxy_test::read_file;
using proxy_test::ScratchDir;
using proxy_test::write_file;

constexpr std::string_view kTail = "User-Agent: ZEZI/6.66 (AN/ON)\r\nConnection: close\r\n\r\n";

std::expected<HttpProxyRequest, HttpProxyError> parse(std::string_view head) {
  return parse_http_proxy_request(as_bytes(head));
}

// ---- end of head -------------------------------------------------------------------------

struct HeaderEndCase {
  std::string bytes;
  std::size_t n;
  std::optional<HttpHeaderEnd> expected;
};

TEST(FindHttpHeaderEnd, FirstMarkerOfEitherKind) {
  const std::vector<HeaderEndCase> cases = {
      {"", 0, std::nullopt},
      {"GET / HTTP/1.1\r\n\r\nbody", 22, HttpHeaderEnd{14, 4}},
      {"GET / HTTP/1.1\n\nbody", 20, HttpHeaderEnd{14, 2}},
      {"GET / HTTP/1.1\r\n\r", 17, std::nullopt},  // CR LF CR LF cut after three bytes
      {"\r\n\r\n", 4, HttpHeaderEnd{0, 4}},
      {"\n\n", 2, HttpHeaderEnd{0, 2}},
      {"a\n\r\n\r\n", 6, HttpHeaderEnd{2, 4}},
      {"a\r\n\n", 4, HttpHeaderEnd{2, 2}},  // LF LF after a CR that starts no marker
      {"a\n\nb\r\n\r\n", 8, HttpHeaderEnd{1, 2}},
      {"a\r\n\r\nb\n\n", 8, HttpHeaderEnd{1, 4}},
      {"x\n\r\n", 4, std::nullopt},
      {"abc\r\n\r\n", 6, std::nullopt},  // only the first n bytes count
      {"abc\r\n\r\n", 7, HttpHeaderEnd{3, 4}},
      {"abc\n\n", 99, HttpHeaderEnd{3, 2}},  // n beyond the buffer is the buffer
  };
  for (const auto& c : cases) {
    EXPECT_EQ(find_http_header_end(as_bytes(c.bytes), c.n), c.expected) << encoding::hex_encode(as_bytes(c.bytes));
  }
}

TEST(FindHttpHeaderEnd, AgreesWithPlainSearchOnRandomBuffers) {
  std::mt19937 rng(7);
  const std::string alphabet = "a\r\n";
  for (int round = 0; round < 20000; ++round) {
    std::string s(rng() % 12, 'a');
    for (char& c : s) c = alphabet[rng() % alphabet.size()];
    const std::size_t n = rng() % (s.size() + 2);
    const std::string visible = s.substr(0, std::min(n, s.size()));
    const auto crlf = visible.find("\r\n\r\n");
    const auto lflf = visible.find("\n\n");
    std::optional<HttpHeaderEnd> expected;
    if (crlf != std::string::npos && (lflf == std::string::npos || crlf < lflf)) expected = HttpHeaderEnd{crlf, 4};
    if (lflf != std::string::npos && (crlf == std::string::npos || lflf < crlf)) expected = HttpHeaderEnd{lflf, 2};
    ASSERT_EQ(find_http_header_end(as_bytes(s), n), expected) << encoding::hex_encode(as_bytes(s)) << " n=" << n;
  }
}

// ---- small helpers -----------------------------------------------------------------------

TEST(ParseU32PortExact, DigitsFrom1To65535Only) {
  const std::vector<std::pair<std::string, std::optional<std::uint16_t>>> cases = {
      {"80", 80},
      {"080", 80},
      {"65535", 65535},
      {"1", 1},
      {"0000000000000000000000000443", 443},
      {"", std::nullopt},
      {"0", std::nullopt},
      {"000", std::nullopt},
      {"65536", std::nullopt},
      {"99999999999999999999999999", std::nullopt},
      {"+80", std::nullopt},
      {"-1", std::nullopt},
      {"80 ", std::nullopt},
      {" 80", std::nullopt},
      {"8a", std::nullopt},
      {"\xd9\xa8", std::nullopt},  // an Arabic-Indic digit is no ASCII digit
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(parse_u32_port_exact(text), expected) << text;
}

TEST(ParseAuthorityHostPort, HostAndOptionalPort) {
  const std::vector<std::pair<std::string, std::optional<HostPort>>> cases = {
      {"x.i2p", HostPort{"x.i2p", 80}},
      {" \tX.I2P:8080\r\n", HostPort{"X.I2P", 8080}},
      {"user:pw@x.i2p:81", HostPort{"x.i2p", 81}},
      {"a@b@c.i2p", HostPort{"b@c.i2p", 80}},
      {"x.i2p:080", HostPort{"x.i2p", 80}},
      {"[::1]:80", std::nullopt},
      {"[::1]", std::nullopt},
      {"x.i2p:", std::nullopt},
      {"a:1:2", std::nullopt},
      {":80", std::nullopt},
      {"x.i2p:0", std::nullopt},
      {"x.i2p:65536", std::nullopt},
      {"x.i2p:http", std::nullopt},
      {"user@", std::nullopt},
      {"@", std::nullopt},
      {"", std::nullopt},
      {" \t ", std::nullopt},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(parse_authority_host_port(text), expected) << text;
}

TEST(IsI2pReferer, OnlyPlainHttpToAnI2pHost) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"http://other.i2p/page", true},
      {"  HTTP://Other.I2P./x ", true},
      {"http://other.i2p:8080?q=1", true},
      {"http://x.i2p#f", true},
      {"http://user@x.i2p/", true},
      {"http://x.b32.i2p", true},
      {"https://other.i2p/", false},
      {"http://example.com/", false},
      {"http://example.com/x.i2p", false},
      {"http://.i2p/", false},
      {"http://x.i2p../", false},  // only one trailing dot is dropped
      {"http://x.i2p:/", false},
      {"http://[::1]/", false},
      {"x.i2p", false},
      {"", false},
  };
  for (const auto& [value, expected] : cases) EXPECT_EQ(is_i2p_referer(value), expected) << value;
}

TEST(SplitCrlfOrLfLines, OneTrailingCrPerLineAndEmptyLinesKept) {
  using Lines = std::vector<std::string>;
  const std::vector<std::pair<std::string, Lines>> cases = {
      {"", {""}},
      {"a", {"a"}},
      {"a\r\nb\nc", {"a", "b", "c"}},
      {"a\n", {"a", ""}},
      {"a\r\r\n", {"a\r", ""}},
      {"\r\n\r\n", {"", "", ""}},
      {"a\rb", {"a\rb"}},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(split_crlf_or_lf_lines(text), expected) << text;
}

TEST(ExtractAddressHelper, LastNonEmptyHelperAndTheRestOfTheQuery) {
  struct Case {
    std::string host;
    std::uint16_t port;
    std::string path;
    std::optional<std::string> location;
    std::optional<std::string> helper;
  };
  const std::vector<Case> cases = {
      {"new.i2p", 80, "/page?i2paddresshelper=AB%7eCD%3D&lang=en", "http://new.i2p/page?lang=en", "AB~CD="},
      {"new.i2p", 8080, "/?i2paddresshelper=XYZ", "http://new.i2p:8080/", "XYZ"},
      {"a.i2p", 80, "/p?i2paddresshelper=A&i2paddresshelper=&x=1&&i2paddresshelper=B", "http://a.i2p/p?x=1", "B"},
      {"a.i2p", 80, "/p?i2paddresshelper=A&i2paddresshelper=", "http://a.i2p/p", "A"},
      {"a.i2p", 80, "/p?i2paddresshelper=a%zzb%4+c%", "http://a.i2p/p", "a%zzb%4+c%"},
      {"a.i2p", 80, "/p?i2paddresshelper=%ff%41", "http://a.i2p/p", "%ff%41"},  // not UTF-8 once decoded
      {"a.i2p", 80, "/p?i2paddresshelper=%C3%A9", "http://a.i2p/p", "\xc3\xa9"},
      {"a.i2p", 80, "/p?x=1&I2PADDRESSHELPER=A", std::nullopt, std::nullopt},  // the key is case sensitive
      {"a.i2p", 80, "/p?i2paddresshelper=", std::nullopt, std::nullopt},
      {"a.i2p", 80, "/p?x=i2paddresshelper=A", std::nullopt, std::nullopt},
      {"a.i2p", 80, "/p", std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    const auto got = extract_address_helper(c.host, c.port, c.path);
    EXPECT_EQ(got.has_value(), c.helper.has_value()) << c.path;
    if (!got || !c.helper) continue;
    EXPECT_EQ(got->helper, *c.helper) << c.path;
    EXPECT_EQ(got->location, *c.location) << c.path;
  }
}

// ---- parsing: refusals ---------------------------------------------------------------------

struct RefusalCase {
  std::string head;
  int status;
  std::string message;
};

const std::string kCONNECT =
    "CONNECT tunneling is disabled on the ondrel-i2p HTTP proxy. Use plain http:// URLs for .i2p eepsites (traffic "
    "is already end-to-end encrypted inside I2P).";
const std::string kHTTPS =
    "Use http:// instead of https:// for .i2p eepsites (I2P encrypts traffic end-to-end inside tunnels and Garlic).";

std::string reason_of(int status) {
  switch (status) {
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 501: return "Not Implemented";
    case 505: return "HTTP Version Not Supported";
    default: return "?";
  }
}

const std::vector<RefusalCase>& refusal_cases() {
  static const std::vector<RefusalCase> cases = {
      {"", 400, "Malformed HTTP request line."},
      {"GET", 400, "Malformed HTTP request line."},
      {" \t \r", 400, "Malformed HTTP request line."},
      {"GET /", 400, "Malformed HTTP request target or version."},
      {"GET / \t", 400, "Malformed HTTP request target or version."},
      {"GET / HTTP/2", 505, "Unsupported HTTP version: HTTP/2."},
      {"GET / http/2.0\r\nHost: x.i2p", 505, "Unsupported HTTP version: http/2.0."},
      {"GET / HTTP/1.1 extra", 400, "Missing Host header in origin-form HTTP request."},  // version taken
      {"CONNECT x.i2p:443 HTTP/1.1\r\nHost: x.i2p:443", 501, kCONNECT},
      {"connect x.i2p:443 http/1.0", 501, kCONNECT},
      {"CONNECT x.i2p:443 HTTP/2", 505, "Unsupported HTTP version: HTTP/2."},
      {"CONNECT x.i2p:443 HTTP/1.1\r\nno colon", 501, kCONNECT},
      {"GET http://x.i2p/ HTTP/1.1\r\nNoColon", 400, "Malformed HTTP header line."},
      {"GET http://x.i2p/ HTTP/1.1\r\n: value", 400, "Malformed HTTP header line."},
      {"GET http://x.i2p/ HTTP/1.1\r\n \t: value", 400, "Malformed HTTP header line."},
      {"GET http://x.i2p/ HTTP/1.1\r\n   ", 400, "Malformed HTTP header line."},
      {"GET https://x.i2p/ HTTP/1.1\r\nbad", 400, "Malformed HTTP header line."},  // headers before the target
      // Control characters that a server could take for the end of a line or of the text.
      {"GET http://x.i2p/ HTTP/1.1\r\nX-A: a\rGET /evil HTTP/1.1", 400, "Malformed HTTP header line."},
      {std::string("GET http://x.i2p/ HTTP/1.1\r\nX-A: a\0b", 35), 400, "Malformed HTTP header line."},
      {"GET http://x.i2p/ HTTP/1.1\r\nX-A: \x1b[31m", 400, "Malformed HTTP header line."},
      {"GET http://x.i2p/ HTTP/1.1\r\nX-A: a\x7f", 400, "Malformed HTTP header line."},
      {"GET http://x.i2p/ HTTP/1.1\r\nX-A: a\xc2\x85z", 400, "Malformed HTTP header line."},  // NEL
      {"GET http://x.i2p/ HTTP/1.1\r\nX\rY: v", 400, "Malformed HTTP header line."},
      {"GET http://x.i2p/a\rb HTTP/1.1", 400, "Malformed HTTP request target or version."},
      {"GET http://x.i2p/a\x0b HTTP/1.1", 400, "Malformed HTTP request target or version."},
      {"G\x01T http://x.i2p/ HTTP/1.1", 400, "Malformed HTTP request line."},
      {"GET\rX / HTTP/1.1", 400, "Malformed HTTP request line."},
      // Target forms.
      {"GET http://x.i2p:99999/ HTTP/1.1", 400, "Invalid target host or port in URL."},
      {"GET http://x.i2p:/ HTTP/1.1", 400, "Invalid target host or port in URL."},
      {"GET http://[::1]/ HTTP/1.1", 400, "Invalid target host or port in URL."},
      {"GET http:///path HTTP/1.1", 400, "Invalid target host or port in URL."},
      {"GET http://a:1:2/ HTTP/1.1\r\nHost: x.i2p", 400, "Invalid target host or port in URL."},
      {"GET https://x.i2p/ HTTP/1.1", 501, kHTTPS},
      {"GET HTTPS://X.I2P/ HTTP/1.1", 501, kHTTPS},
      {"GET ftp://x.i2p/ HTTP/1.1", 400, "Unsupported request target URI."},
      {"GET * HTTP/1.1\r\nHost: x.i2p", 400, "Unsupported request target URI."},
      {"GET #/x HTTP/1.1\r\nHost: x.i2p", 400, "Unsupported request target URI."},
      {"GET / HTTP/1.1", 400, "Missing Host header in origin-form HTTP request."},
      {"GET / HTTP/1.1\r\nX-Host: x.i2p", 400, "Missing Host header in origin-form HTTP request."},
      {"GET / HTTP/1.1\r\nHost: x.i2p:abc", 400, "Invalid Host header value."},
      {"GET / HTTP/1.1\r\nHost:", 400, "Invalid Host header value."},
      {"GET / HTTP/1.1\r\nHost: [::1]:80", 400, "Invalid Host header value."},
      // Host names.
      {"GET http://x@y@z.i2p/ HTTP/1.1", 400, "Invalid target hostname."},
      {"GET / HTTP/1.1\r\nHost: x.i2p/evil", 400, "Invalid target hostname."},
      {"GET / HTTP/1.1\r\nHost: a b.i2p", 400, "Invalid target hostname."},
      {"GET / HTTP/1.1\r\nHost: a\tb.i2p", 400, "Invalid target hostname."},
      {"GET / HTTP/1.1\r\nHost: a?b.i2p", 400, "Invalid target hostname."},
      {"GET / HTTP/1.1\r\nHost: a#b.i2p", 400, "Invalid target hostname."},
      {"GET http://.../ HTTP/1.1", 400, "Invalid target hostname."},
      // Clear-net hosts.
      {"GET http://example.com/ HTTP/1.1", 403,
       "Clearnet host 'example.com' blocked: ondrel-i2p HTTP proxy only routes .i2p destinations."},
      {"GET http://Example.COM.:8080/ HTTP/1.1", 403,
       "Clearnet host 'example.com' blocked: ondrel-i2p HTTP proxy only routes .i2p destinations."},
      {"GET http://.i2p/ HTTP/1.1", 403,
       "Clearnet host '.i2p' blocked: ondrel-i2p HTTP proxy only routes .i2p destinations."},
      {"GET http://x.i2p.example.com/ HTTP/1.1", 403,
       "Clearnet host 'x.i2p.example.com' blocked: ondrel-i2p HTTP proxy only routes .i2p destinations."},
      {"GET / HTTP/1.1\r\nHost: 127.0.0.1:8080", 403,
       "Clearnet host '127.0.0.1' blocked: ondrel-i2p HTTP proxy only routes .i2p destinations."},
      // Bytes that are not UTF-8 are refused before anything else is looked at.
      {"GET / HTTP/1.1\r\nX: \xff", 400, "Malformed UTF-8 in HTTP headers."},
      {"\xc3", 400, "Malformed UTF-8 in HTTP headers."},
      {"GET http://x.i2p/\xc0\xaf HTTP/1.1", 400, "Malformed UTF-8 in HTTP headers."},  // overlong "/"
  };
  return cases;
}

TEST(ParseHttpProxyRequest, RefusalsCarryTheirPage) {
  for (const auto& c : refusal_cases()) {
    const auto got = parse(c.head);
    ASSERT_FALSE(got.has_value()) << encoding::hex_encode(as_bytes(c.head)) << " -> " << got->head;
    EXPECT_EQ(got.error(), (HttpProxyError{c.status, reason_of(c.status), c.message}))
        << encoding::hex_encode(as_bytes(c.head));
  }
}

// ---- parsing: accepted requests -------------------------------------------------------------

struct RequestCase {
  std::string name;
  std::string head;
  HttpProxyRequest expected;
};

const std::vector<RequestCase>& request_cases() {
  static const std::vector<RequestCase> cases = {
      {"absolute form as a browser sends it",
       "GET http://Site.I2P/index.html?x=1#top HTTP/1.1\r\nHost: Site.I2P\r\nUser-Agent: Mozilla/5.0\r\n"
       "Accept: */*\r\nProxy-Connection: keep-alive\r\nCookie: s=1; t=2",
       {"GET", "site.i2p", 80, "/index.html?x=1",
        "GET /index.html?x=1 HTTP/1.1\r\nHost: site.i2p\r\nAccept: */*\r\nCookie: s=1; t=2\r\n" + std::string(kTail),
        std::nullopt, std::nullopt}},
      {"several blanks, lower-case method and version, port other than 80",
       "get  \t http://x.i2p:8080   HTTP/1.0",
       {"GET", "x.i2p", 8080, "/", "GET / HTTP/1.1\r\nHost: x.i2p:8080\r\n" + std::string(kTail), std::nullopt,
        std::nullopt}},
      {"explicit port 80 is not written",
       "HEAD http://x.i2p:80/a HTTP/1.1",
       {"HEAD", "x.i2p", 80, "/a", "HEAD /a HTTP/1.1\r\nHost: x.i2p\r\n" + std::string(kTail), std::nullopt,
        std::nullopt}},
      {"absolute form: the URL's host replaces a Host naming another site, in its place",
       "GET http://a.i2p:81/ HTTP/1.1\r\nAccept: a\r\nHost: evil.i2p\r\nCookie: c=1\r\nhost: second.i2p",
       {"GET", "a.i2p", 81, "/",
        "GET / HTTP/1.1\r\nAccept: a\r\nHost: a.i2p:81\r\nCookie: c=1\r\n" + std::string(kTail), std::nullopt,
        std::nullopt}},
      {"origin form keeps its Host header as written",
       "POST /submit?q HTTP/1.1\nhOsT:  X.I2P:81  \nContent-Length: 3\n",
       {"POST", "x.i2p", 81, "/submit?q",
        "POST /submit?q HTTP/1.1\r\nhOsT: X.I2P:81\r\nContent-Length: 3\r\n" + std::string(kTail), std::nullopt,
        std::nullopt}},
      {"origin form: a second Host header does not reach the site",
       "GET / HTTP/1.1\r\nHost: x.i2p\r\nAccept: a\r\nHost: other.i2p",
       {"GET", "x.i2p", 80, "/", "GET / HTTP/1.1\r\nHost: x.i2p\r\nAccept: a\r\n" + std::string(kTail), std::nullopt,
        std::nullopt}},
      {"trailing dots and capitals",
       "GET http://WWW.Site.I2P../ HTTP/1.1",
       {"GET", "www.site.i2p", 80, "/", "GET / HTTP/1.1\r\nHost: www.site.i2p\r\n" + std::string(kTail), std::nullopt,
        std::nullopt}},
      {"hop and identifying headers removed, the rest in order",
       "GET http://x.i2p/ HTTP/1.1\r\nCookie: a=b\r\nUser-Agent: UA\r\nVia: 1.1 p\r\nConnection: keep-alive\r\n"
       "Keep-Alive: 300\r\nTE: trailers\r\nUpgrade: h2c\r\nX-Forwarded-For: 1.2.3.4\r\nForwarded: for=1.2.3.4\r\n"
       "Proxy-Authorization: Basic eA==\r\nPROXY-AUTHENTICATE: x\r\nProxy-Connection: close\r\n"
       "Referer: https://a.i2p/\r\nReferer: http://example.com/\r\nReferer: http://b.i2p/page\r\n"
       "Accept: text/html\r\nX-Empty:",
       {"GET", "x.i2p", 80, "/",
        "GET / HTTP/1.1\r\nCookie: a=b\r\nReferer: http://b.i2p/page\r\nAccept: text/html\r\nX-Empty: \r\n"
        "Host: x.i2p\r\n" +
            std::string(kTail),
        std::nullopt, std::nullopt}},
      {"a query without a path",
       "GET http://x.i2p?a=b HTTP/1.1",
       {"GET", "x.i2p", 80, "/?a=b", "GET /?a=b HTTP/1.1\r\nHost: x.i2p\r\n" + std::string(kTail), std::nullopt,
        std::nullopt}},
      {"a stray CR at the end of a line is trimmed with the value",
       "GET http://x.i2p/ HTTP/1.1\r\nCookie: a=1\r\r\nX: y",
       {"GET", "x.i2p", 80, "/", "GET / HTTP/1.1\r\nCookie: a=1\r\nX: y\r\nHost: x.i2p\r\n" + std::string(kTail),
        std::nullopt, std::nullopt}},
      {"empty lines are skipped and values trimmed, inner tabs kept",
       "GET / HTTP/1.1\r\n\r\nHost:x.i2p \t\r\n\nX-T:\ta\tb ",
       {"GET", "x.i2p", 80, "/", "GET / HTTP/1.1\r\nHost: x.i2p\r\nX-T: a\tb\r\n" + std::string(kTail), std::nullopt,
        std::nullopt}},
      {"user information in the URL is dropped",
       "GET http://me:pw@x.i2p/ HTTP/1.1",
       {"GET", "x.i2p", 80, "/", "GET / HTTP/1.1\r\nHost: x.i2p\r\n" + std::string(kTail), std::nullopt, std::nullopt}},
      {"non-ASCII text in a value is forwarded as it is",
       "GET http://x.i2p/caf\xc3\xa9 HTTP/1.1\r\nX-Name: J\xc3\xbcrgen \xe2\x82\xac",
       {"GET", "x.i2p", 80, "/caf\xc3\xa9",
        "GET /caf\xc3\xa9 HTTP/1.1\r\nX-Name: J\xc3\xbcrgen \xe2\x82\xac\r\nHost: x.i2p\r\n" + std::string(kTail),
        std::nullopt, std::nullopt}},
      {"address helper with another parameter",
       "GET http://new.i2p/page?i2paddresshelper=AB%7eCD%3D&lang=en#frag HTTP/1.1\r\nHost: new.i2p",
       {"GET", "new.i2p", 80, "/page?i2paddresshelper=AB%7eCD%3D&lang=en",
        "GET /page?i2paddresshelper=AB%7eCD%3D&lang=en HTTP/1.1\r\nHost: new.i2p\r\n" + std::string(kTail),
        "AB~CD=", "http://new.i2p/page?lang=en"}},
      {"address helper alone",
       "GET http://New.I2P:8080/?i2paddresshelper=XYZ HTTP/1.1",
       {"GET", "new.i2p", 8080, "/?i2paddresshelper=XYZ",
        "GET /?i2paddresshelper=XYZ HTTP/1.1\r\nHost: new.i2p:8080\r\n" + std::string(kTail), "XYZ",
        "http://new.i2p:8080/"}},
      {"an empty helper is none",
       "GET http://x.i2p/?i2paddresshelper= HTTP/1.1",
       {"GET", "x.i2p", 80, "/?i2paddresshelper=",
        "GET /?i2paddresshelper= HTTP/1.1\r\nHost: x.i2p\r\n" + std::string(kTail), std::nullopt, std::nullopt}},
  };
  return cases;
}

TEST(ParseHttpProxyRequest, AcceptedRequestsAndTheirRewrittenHead) {
  for (const auto& c : request_cases()) {
    const auto got = parse(c.head);
    ASSERT_TRUE(got.has_value()) << c.name << ": " << got.error().message;
    EXPECT_EQ(got->method, c.expected.method) << c.name;
    EXPECT_EQ(got->host, c.expected.host) << c.name;
    EXPECT_EQ(got->port, c.expected.port) << c.name;
    EXPECT_EQ(got->path, c.expected.path) << c.name;
    EXPECT_EQ(got->head, c.expected.head) << c.name;
    EXPECT_EQ(got->address_helper, c.expected.address_helper) << c.name;
    EXPECT_EQ(got->location, c.expected.location) << c.name;
  }
}

TEST(ParseHttpProxyRequest, LargeHeadsPassWhole) {
  // The proxy bounds the head at 64 KiB before parsing; a head that size parses whole: a
  // large cookie and a thousand small headers come out unchanged and in order.
  std::string head = "GET http://x.i2p/ HTTP/1.1\r\nCookie: " + std::string(40000, 'c') + "\r\n";
  std::string kept = "Cookie: " + std::string(40000, 'c') + "\r\n";
  for (int i = 0; i < 1000; ++i) {
    const std::string line = "X-" + std::to_string(i) + ": v" + std::to_string(i) + "\r\n";
    head += line;
    kept += line;
  }
  ASSERT_LT(head.size(), 65536u);
  const auto got = parse(head);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->head, "GET / HTTP/1.1\r\n" + kept + "Host: x.i2p\r\n" + std::string(kTail));
}

// ---- the independent python model ---------------------------------------------------------

std::string encode_result(const std::expected<HttpProxyRequest, HttpProxyError>& r) {
  auto hx = [](std::string_view s) { return encoding::hex_encode(as_bytes(s)); };
  std::ostringstream out;
  if (!r) {
    out << "E " << r.error().status << " " << hx(r.error().reason) << " " << hx(r.error().message);
  } else {
    out << "R " << hx(r->method) << " " << hx(r->host) << " " << r->port << " " << hx(r->path) << " " << hx(r->head)
        << " " << (r->address_helper ? hx(*r->address_helper) : "-") << " " << (r->location ? hx(*r->location) : "-");
  }
  return out.str();
}

// Heads built by splicing pieces that matter to the parser into the table's heads.
std::vector<std::string> mutated_heads() {
  std::vector<std::string> heads;
  std::vector<std::string> accepted_seeds;
  for (const auto& c : refusal_cases()) heads.push_back(c.head);
  for (const auto& c : request_cases()) {
    heads.push_back(c.head);
    accepted_seeds.push_back(c.head);
  }
  const std::vector<std::string> seeds = heads;
  const std::vector<std::string> pieces = {"\r",
                                           "\n",
                                           "\r\n",
                                           ":",
                                           " ",
                                           "\t",
                                           "/",
                                           "?",
                                           "#",
                                           "@",
                                           "%",
                                           "%4",
                                           "%41",
                                           "&",
                                           "[",
                                           "]",
                                           ".",
                                           ".i2p",
                                           "http://",
                                           "HTTPS://",
                                           "Host: ",
                                           "host:a.i2p",
                                           "Referer: http://r.i2p/",
                                           "User-Agent: u",
                                           std::string(1, '\0'),
                                           "\x7f",
                                           "\xc2\x85",
                                           "\xc3\xa9",
                                           "\xff",
                                           "\xed\xa0\x80",
                                           "i2paddresshelper=",
                                           "?i2paddresshelper=%7E",
                                           ":0",
                                           ":65535",
                                           "HTTP/1.1",
                                           "CONNECT ",
                                           "a",
                                           "Z",
                                           "\x0b",
                                           "\xe2\x80\xa8"};
  std::mt19937 rng(2024);
  for (int round = 0; round < 6000; ++round) {
    // Mostly accepted heads, so that mutations reach the rewriting as well as the checks.
    std::string h = rng() % 4 != 0 ? accepted_seeds[rng() % accepted_seeds.size()] : seeds[rng() % seeds.size()];
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits; ++e) {
      const std::size_t at = h.empty() ? 0 : rng() % (h.size() + 1);
      switch (rng() % 3) {
        case 0: h.insert(at, pieces[rng() % pieces.size()]); break;
        case 1:
          if (!h.empty()) h.erase(std::min(at, h.size() - 1), 1 + rng() % 3);
          break;
        default:
          if (!h.empty()) h[std::min(at, h.size() - 1)] = pieces[rng() % pieces.size()].front();
          break;
      }
    }
    heads.push_back(h);
  }
  return heads;
}

TEST(ParseHttpProxyRequest, AgreesWithPythonModel) {
  const ScratchDir dir("model");
  const std::vector<std::string> heads = mutated_heads();
  std::string in;
  for (const auto& h : heads) in += encoding::hex_encode(as_bytes(h)) + "\n";
  write_file(dir / "in.txt", in);
  ASSERT_TRUE(proxy_test::run_python(ONDREL_SOURCE_DIR "/tests/services/http_proxy_model.py",
                                     (dir / "in.txt").string() + " " + (dir / "out.txt").string()));
  std::istringstream model(read_file(dir / "out.txt"));
  std::size_t accepted = 0;
  std::size_t compared = 0;
  for (const auto& h : heads) {
    std::string expected;
    ASSERT_TRUE(std::getline(model, expected)) << "model stopped after " << compared << " heads";
    const auto got = parse(h);
    ASSERT_EQ(encode_result(got), expected) << encoding::hex_encode(as_bytes(h));
    accepted += got.has_value() ? 1 : 0;
    ++compared;
  }
  EXPECT_EQ(compared, heads.size());
  // The corpus must exercise both outcomes, not only refusals.
  EXPECT_GT(accepted, heads.size() / 8);
  EXPECT_LT(accepted, heads.size() * 4 / 5);
}

// The proxy's own output, read as a request again, is left as it is: nothing it writes is
// something it would refuse or rewrite differently.
TEST(ParseHttpProxyRequest, RewrittenHeadParsesToItself) {
  std::size_t accepted = 0;
  for (const auto& h : mutated_heads()) {
    const auto first = parse(h);
    if (!first) continue;
    ++accepted;
    const auto again = parse(std::string_view(first->head).substr(0, first->head.size() - 4));
    ASSERT_TRUE(again.has_value()) << first->head << again.error().message;
    EXPECT_EQ(*again, *first) << first->head;
  }
  EXPECT_GT(accepted, 500u);
}

// Whatever the parser accepts, a standard HTTP parser (python's http.client) reads as one
// request line and exactly the headers written, ending where the head ends.
TEST(ParseHttpProxyRequest, RewrittenHeadsReadCleanlyByPythonHttpClient) {
  const ScratchDir dir("pyhttp");
  std::string in;
  std::vector<HttpProxyRequest> accepted;
  for (const auto& h : mutated_heads()) {
    auto got = parse(h);
    if (!got) continue;
    in += encoding::hex_encode(as_bytes(got->head)) + "\n";
    accepted.push_back(std::move(*got));
  }
  ASSERT_GT(accepted.size(), 500u);
  write_file(dir / "in.txt", in);
  // Header names that are no HTTP tokens (a blank inside, say) pass through as the browser
  // wrote them; python's reader stops at such a line, so those heads are only counted.
  write_file(
      dir / "check.py",
      "import sys, io, re, http.client\n"
      "token_line = re.compile(rb\"^[!#$%&'*+.^_`|~0-9A-Za-z-]+: \")\n"
      "out = open(sys.argv[2], 'w')\n"
      "for line in open(sys.argv[1]):\n"
      "    raw = bytes.fromhex(line.strip())\n"
      "    if not all(token_line.match(l) for l in raw.split(b'\\r\\n')[1:-2]):\n"
      "        out.write('skip - - -\\n')\n"
      "        continue\n"
      "    f = io.BytesIO(raw)\n"
      "    request_line = f.readline()\n"
      "    msg = http.client.parse_headers(f)\n"
      "    rest = f.read()\n"
      "    parts = request_line.decode('utf-8', 'surrogatepass').rstrip('\\r\\n').split(' ')\n"
      "    hosts = msg.get_all('Host') or []\n"
      "    ok = (len(parts) == 3 and parts[2] == 'HTTP/1.1' and rest == b'' and not msg.defects\n"
      "          and len(hosts) == 1 and msg.get_all('User-Agent') == ['ZEZI/6.66 (AN/ON)']\n"
      "          and msg.get_all('Connection') == ['close'])\n"
      "    out.write('%s %s %s %s\\n' % ('ok' if ok else 'bad', parts[0].encode('utf-8','surrogatepass').hex(),\n"
      "              parts[1].encode('utf-8','surrogatepass').hex() if len(parts) > 1 else '-',\n"
      "              hosts[0].encode('latin-1').hex() if hosts else '-'))\n");
  ASSERT_TRUE(proxy_test::run_python((dir / "check.py").string(),
                                     (dir / "in.txt").string() + " " + (dir / "out.txt").string()));
  std::istringstream results(read_file(dir / "out.txt"));
  std::size_t checked = 0;
  for (const auto& r : accepted) {
    std::string verdict, method, path, host;
    ASSERT_TRUE(results >> verdict >> method >> path >> host);
    if (verdict == "skip") continue;
    ++checked;
    EXPECT_EQ(verdict, "ok") << r.head;
    EXPECT_EQ(method, encoding::hex_encode(as_bytes(r.method))) << r.head;
    EXPECT_EQ(path, encoding::hex_encode(as_bytes(r.path))) << r.head;
    // The one Host line names the routed host (origin form: as the browser wrote it).
    const auto host_text = encoding::hex_decode(host);
    ASSERT_TRUE(host_text.has_value()) << r.head;
    const auto parsed = parse_authority_host_port(std::string(host_text->begin(), host_text->end()));
    ASSERT_TRUE(parsed.has_value()) << r.head;
    std::string h = encoding::ascii_lower(parsed->host);
    while (h.ends_with('.')) h.pop_back();
    EXPECT_EQ(h, r.host) << r.head;
    EXPECT_EQ(parsed->port, r.port) << r.head;
  }
  EXPECT_GT(checked, accepted.size() * 3 / 4);
}

// ---- curl as the browser ---------------------------------------------------------------------

// Reads from the socket until a head end arrives or 10 s pass without data.
std::string read_head(ntcp2_net::TcpSocket& s) {
  Bytes buf;
  while (!find_http_header_end(buf, buf.size())) {
    pollfd p{s.fd, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) break;
    auto n = s.pump_nonblocking(buf, 8192);
    if (!n) break;
  }
  const auto end = find_http_header_end(buf, buf.size());
  return end ? std::string(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(end->head_length)) : std::string();
}

TEST(ParseHttpProxyRequest, CurlRequestThroughTheProxyPort) {
  auto listener = ntcp2_net::TcpListener::bind("127.0.0.1", 0);
  ASSERT_TRUE(listener.has_value());
  const ScratchDir dir("curl");
  // -q: no ~/.curlrc; --noproxy '': no NO_PROXY from the environment.
  const std::string cmd =
      "curl -q -s --max-time 20 --noproxy '' -x http://127.0.0.1:" + std::to_string(listener->port) +
      " -H 'Cookie: a=b' -H 'X-Forwarded-For: 10.0.0.1' -e 'https://secret.example/' -D " +
      (dir / "head.txt").string() + " -o " + (dir / "body.txt").string() +
      " -w '%{http_code}' 'http://Forum.I2P:8080/t?id=5&i2paddresshelper=abc%7E#frag'";
  FILE* curl = ::popen(cmd.c_str(), "r");
  ASSERT_NE(curl, nullptr);
  auto accepted = listener->accept(20000);
  std::string raw;
  std::expected<HttpProxyRequest, HttpProxyError> got = std::unexpected(HttpProxyError{});
  if (accepted && *accepted) {
    ntcp2_net::TcpSocket& sock = **accepted;
    raw = read_head(sock);
    got = parse_http_proxy_request(as_bytes(raw));
    // Answer with an error page, which curl reads as a real client.
    const HttpProxyErrorPage page = http_proxy_error_page(502, "Bad Gateway", "Unknown .i2p host 'forum.i2p'.", 0);
    (void)sock.write_all(as_bytes(page.head + page.body), 5000);
    sock.close();
  }
  std::string code(16, '\0');
  code.resize(std::fread(code.data(), 1, code.size(), curl));
  ::pclose(curl);

  // curl's own head names the proxy hop and itself; the rewritten one does not.
  EXPECT_NE(raw.find("Host: "), std::string::npos) << raw;
  EXPECT_NE(raw.find("User-Agent: curl/"), std::string::npos) << raw;
  EXPECT_NE(raw.find("Proxy-Connection: "), std::string::npos) << raw;
  ASSERT_TRUE(got.has_value()) << raw;
  EXPECT_EQ(got->method, "GET");
  EXPECT_EQ(got->host, "forum.i2p");
  EXPECT_EQ(got->port, 8080);
  EXPECT_EQ(got->path, "/t?id=5&i2paddresshelper=abc%7E");
  EXPECT_EQ(got->address_helper, "abc~");
  EXPECT_EQ(got->location, "http://forum.i2p:8080/t?id=5");
  EXPECT_TRUE(got->head.starts_with("GET /t?id=5&i2paddresshelper=abc%7E HTTP/1.1\r\nHost: forum.i2p:8080\r\n"))
      << got->head;
  EXPECT_NE(got->head.find("\r\nAccept: */*\r\n"), std::string::npos) << got->head;
  EXPECT_NE(got->head.find("\r\nCookie: a=b\r\n"), std::string::npos) << got->head;
  for (std::string_view gone : {"curl", "Proxy-Connection", "X-Forwarded-For", "Referer", "secret"}) {
    EXPECT_EQ(got->head.find(gone), std::string::npos) << gone << " in " << got->head;
  }
  EXPECT_TRUE(got->head.ends_with(kTail)) << got->head;

  // What curl made of the error page.
  const auto page = http_proxy_error_page(502, "Bad Gateway", "Unknown .i2p host 'forum.i2p'.", 0);
  EXPECT_EQ(code, "502");
  EXPECT_EQ(read_file(dir / "head.txt"), page.head);
  EXPECT_EQ(read_file(dir / "body.txt"), page.body);
}

}  // namespace
}  // namespace router
