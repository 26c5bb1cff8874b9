// The torrent API server over a real loopback socket: the Host and header checks, CORS,
// statuses and their texts, the limits, cut and over-long bodies, time-outs with time passed
// in, and answers written without waiting on a client that does not read.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "encoding/text.h"
#include "tests/services/http_connection_cases.h"
#include "tests/torrent/api_test_support.h"
#include "torrent/api_request.h"

namespace router {
namespace {

using api_test::Answer;
using api_test::ApiRouter;
using api_test::talk;

std::string get(std::string_view target, std::string_view extra = "") {
  return "GET " + std::string(target) + " HTTP/1.1\r\n" + std::string(extra) + "\r\n";
}

std::string post(std::string_view target, std::string_view headers, std::string_view body) {
  return "POST " + std::string(target) + " HTTP/1.1\r\n" + std::string(headers) +
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
}

const std::string kNoEngine = R"({"ok":false,"error":"torrent engine not initialized"})";

TEST(ApiServer, AnswerHeadInItsOrder) {
  ApiRouter api;
  ASSERT_GT(api.port, 0);
  const Answer a = talk(api, get("/api/status", "Host: 127.0.0.1:4445\r\n"));
  ASSERT_TRUE(a.complete) << a.raw;
  const std::vector<std::string> head = {
      "HTTP/1.1 200 OK",
      "Content-Type: application/json; charset=utf-8",
      "Content-Length: " + std::to_string(kNoEngine.size()),
      "Cache-Control: no-store",
      "Connection: close",
  };
  EXPECT_EQ(a.head_lines, head);
  EXPECT_EQ(a.body, kNoEngine);
  api.step();  // the client has hung up
  EXPECT_TRUE(api.router.torrent_api_conns.empty());
}

TEST(ApiServer, HostTable) {
  struct Case {
    std::string host_line;  // the whole header line, or nothing
    int status;
  };
  const std::vector<Case> cases = {
      {"", 200},
      {"Host: localhost:4445\r\n", 200},
      {"Host: localhost\r\n", 200},
      {"Host: 127.0.0.1\r\n", 200},
      {"Host: [::1]:4445\r\n", 200},
      {"Host: [::1]\r\n", 200},
      {"Host:   LOCALHOST:4445  \r\n", 200},
      {"Host:\r\n", 200},
      {"Host: example.i2p\r\n", 403},
      {"Host: 127.0.0.2\r\n", 403},
      {"Host: 127.0.0.1.example.net\r\n", 403},
      {"Host: localhost.example.com:4445\r\n", 403},
      {"Host: evil.com:4445\r\n", 403},
      {"Host: localhost\r\nHost: evil.com\r\n", 403},  // the last one counts
      {"Host: evil.com\r\nHost: localhost\r\n", 200},
  };
  ApiRouter api;
  for (const auto& c : cases) {
    const Answer a = talk(api, get("/api/status", c.host_line));
    ASSERT_TRUE(a.complete) << c.host_line << a.raw;
    EXPECT_EQ(a.status, c.status) << c.host_line;
    if (c.status == 403) {
      EXPECT_EQ(a.head_lines[0], "HTTP/1.1 403 Forbidden");
      EXPECT_EQ(a.body, R"({"ok":false,"error":"forbidden host header"})");
    }
  }
}

// POST needs X-Ondrel-I2P "1" or "true" in any case. A request that passes reaches the pause
// endpoint, which knows no torrent here.
TEST(ApiServer, ApiHeaderTable) {
  struct Case {
    std::string header;
    bool passes;
  };
  const std::vector<Case> cases = {
      {"X-Ondrel-I2P: 1\r\n", true},
      {"X-Ondrel-I2P: true\r\n", true},
      {"X-Ondrel-I2P: TRUE\r\n", true},
      {"x-ondrel-i2p:  True \r\n", true},
      {"X-Ondrel-I2P: yes\r\n", false},
      {"X-Ondrel-I2P: 0\r\n", false},
      {"X-Ondrel-I2P: 11\r\n", false},
      {"X-Ondrel-I2P:\r\n", false},
      {"", false},
      {"X-Ondrel-I2P: 1\r\nX-Ondrel-I2P: no\r\n", true},  // a later other value changes nothing
      {"X-Ondrel: 1\r\n", false},
  };
  ApiRouter api;
  for (const auto& c : cases) {
    const Answer a = talk(api, post("/api/torrents/pause", c.header, R"({"info_hash":"00"})"));
    ASSERT_TRUE(a.complete) << c.header << a.raw;
    if (c.passes) {
      EXPECT_EQ(a.head_lines[0], "HTTP/1.1 404 Not Found") << c.header;
      EXPECT_EQ(a.body, R"({"ok":false,"error":"torrent not found"})") << c.header;
    } else {
      EXPECT_EQ(a.head_lines[0], "HTTP/1.1 403 Forbidden") << c.header;
      EXPECT_EQ(a.body, R"({"ok":false,"error":"missing X-Ondrel-I2P: 1 header"})") << c.header;
    }
  }
}

// OPTIONS answers 204 on any path; the CORS lines come only for a loopback page or a browser
// extension, never for look-alike hosts that merely begin like one.
TEST(ApiServer, OptionsAndCorsTable) {
  struct Case {
    std::string origin;
    bool allowed;
  };
  const std::vector<Case> cases = {
      {"http://localhost:3000", true},
      {"http://localhost", true},
      {"http://127.0.0.1", true},
      {"http://127.0.0.1:4445", true},
      {"http://[::1]:8080", true},
      {"http://[::1]", true},
      {"HTTP://LocalHost:3000", true},
      {"vex-extension://abcdefghijklmnop", true},
      {"https://localhost:3000", false},
      {"http://localhost.example.com", false},
      {"http://127.0.0.1.example.net", false},
      {"http://localhostile.org", false},
      {"http://localhost:3000.evil.org", false},
      {"http://localhost@evil.org", false},
      {"http://localhost:", false},
      {"http://localhost:99999", false},
      {"http://localhost/", false},
      {"http://[::1].evil.org", false},
      {"http://127.0.0.10", false},
      {"vex-extension://", false},
      {"vex-extension://id/page", false},
      {"null", false},
      {"", false},
  };
  ApiRouter api;
  for (const auto& c : cases) {
    EXPECT_EQ(api_is_allowed_origin(c.origin), c.allowed) << c.origin;
    const std::string origin_line = c.origin.empty() ? "" : "Origin: " + c.origin + "\r\n";
    const Answer a = talk(api, "OPTIONS /anything/at/all HTTP/1.1\r\n" + origin_line + "\r\n");
    ASSERT_TRUE(a.complete) << c.origin << a.raw;
    std::vector<std::string> head = {
        "HTTP/1.1 204 No Content",
        "Content-Type: application/json; charset=utf-8",
        "Content-Length: 0",
        "Cache-Control: no-store",
    };
    if (c.allowed) {
      head.push_back("Access-Control-Allow-Origin: " + c.origin);
      head.push_back("Access-Control-Allow-Headers: Content-Type, X-Ondrel-I2P");
      head.push_back("Access-Control-Allow-Methods: GET, POST, OPTIONS");
    }
    head.push_back("Connection: close");
    EXPECT_EQ(a.head_lines, head) << c.origin;
    EXPECT_EQ(a.body, "");
  }
  // Error answers carry the CORS lines too, so that a page may read why it failed.
  const Answer e = talk(api, get("/nope", "Origin:  http://localhost:3000 \r\n"));
  EXPECT_TRUE(e.has_line("Access-Control-Allow-Origin: http://localhost:3000")) << e.raw;
  EXPECT_EQ(e.status, 404);
  // OPTIONS skips the header check but not the Host check.
  EXPECT_EQ(talk(api, "OPTIONS /api/torrents/add HTTP/1.1\r\nHost: evil.com\r\n\r\n").status, 403);
}

TEST(ApiServer, StatusTable) {
  struct Case {
    std::string name;
    std::string request;
    std::string status_line;
    std::string body;
  };
  const std::string nf = R"({"ok":false,"error":"unknown endpoint"})";
  const std::string bad = R"({"ok":false,"error":"malformed HTTP request"})";
  const std::string big = R"({"ok":false,"error":"body exceeds 4 MiB limit"})";
  const std::string torrents = R"({"ok":true,"torrents":[]})";
  const std::string api_header = "X-Ondrel-I2P: 1\r\n";
  const std::vector<Case> cases = {
      {"status", get("/api/status"), "HTTP/1.1 200 OK", kNoEngine},
      {"torrents", get("/api/torrents"), "HTTP/1.1 200 OK", torrents},
      {"nodes", get("/api/dht/nodes"), "HTTP/1.1 200 OK", R"({"ok":true,"nodes":[]})"},
      {"lower-case method", "get /api/torrents HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", torrents},
      {"mixed-case method", "GeT /api/torrents HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", torrents},
      {"query", get("/api/torrents?all=1&x=?"), "HTTP/1.1 200 OK", torrents},
      {"trailing slash", get("/api/torrents/"), "HTTP/1.1 404 Not Found", nf},
      {"case of the path", get("/API/torrents"), "HTTP/1.1 404 Not Found", nf},
      {"GET of a POST path", get("/api/torrents/add"), "HTTP/1.1 404 Not Found", nf},
      {"POST of a GET path", post("/api/status", api_header, ""), "HTTP/1.1 404 Not Found", nf},
      {"POST unknown", post("/api/nope", api_header, "{}"), "HTTP/1.1 404 Not Found", nf},
      {"DELETE", "DELETE /api/torrents HTTP/1.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed",
       R"({"ok":false,"error":"method not allowed"})"},
      {"HEAD", "HEAD /api/status HTTP/1.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed",
       R"({"ok":false,"error":"method not allowed"})"},
      {"no version", "GET /api/status\r\n\r\n", "HTTP/1.1 400 Bad Request", bad},
      {"empty target", "GET  HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request", bad},
      {"leading blank", " GET /api/status HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request", bad},
      {"empty first line", "\r\nGET /api/status HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request", bad},
      {"not UTF-8", "GET /api/\xff HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request", bad},
      {"LF only", "GET /api/torrents HTTP/1.1\nHost: localhost\n\n", "HTTP/1.1 200 OK", torrents},
      {"413", "POST /api/torrents/add HTTP/1.1\r\nContent-Length: 4194305\r\n\r\n", "HTTP/1.1 413 Payload Too Large",
       big},
      {"413 before the header check", "POST /x HTTP/1.1\r\nContent-Length: 99999999999\r\n\r\n",
       "HTTP/1.1 413 Payload Too Large", big},
      // Letters after the digits make the length 0: handled at once with an empty body.
      {"length with letters", "POST /api/torrents/magnet HTTP/1.1\r\nX-Ondrel-I2P: 1\r\nContent-Length: 12abc\r\n\r\n",
       "HTTP/1.1 400 Bad Request", R"({"ok":false,"error":"missing magnet uri"})"},
  };
  ApiRouter api;
  for (const auto& c : cases) {
    const Answer a = talk(api, c.request);
    ASSERT_TRUE(a.complete) << c.name << ": " << a.raw;
    EXPECT_EQ(a.head_lines[0], c.status_line) << c.name;
    EXPECT_EQ(a.body, c.body) << c.name;
  }
}

// Without an engine: bootstrap still resolves and answers its port, but queues nothing; pause,
// remove and resume find nothing.
TEST(ApiServer, PostsWithoutEngine) {
  ApiRouter api;
  common::Hash node;
  node.bytes.fill(0x42);
  const std::string b32 = node.to_b32_address();
  const std::string h = "X-Ondrel-I2P: 1\r\n";
  Answer a = talk(api, post("/api/dht/bootstrap", h, R"({"b32":")" + b32 + R"(","port":9000})"));
  EXPECT_EQ(a.head_lines[0], "HTTP/1.1 200 OK");
  EXPECT_EQ(a.body, R"({"ok":false,"b32":")" + b32 + R"(","port":9000})");
  // A body longer than its Content-Length is cut: here right after the 9 of the port.
  const std::string body = R"({"b32":")" + b32 + R"(","port":9000})";
  a = talk(api, "POST /api/dht/bootstrap HTTP/1.1\r\n" + h +
                    "Content-Length: " + std::to_string(body.find("9000") + 1) + "\r\n\r\n" + body);
  EXPECT_EQ(a.body, R"({"ok":false,"b32":")" + b32 + R"(","port":9})");
  for (const std::string path : {"/api/torrents/pause", "/api/torrents/remove", "/api/torrents/resume"}) {
    a = talk(api, post(path, h, R"({"info_hash":"0000000000000000000000000000000000000000"})"));
    EXPECT_EQ(a.head_lines[0], "HTTP/1.1 404 Not Found") << path;
    EXPECT_EQ(a.body, R"({"ok":false,"error":"torrent not found"})") << path;
  }
}

// A member written with \u escapes is read as the text it stands for; one whose escape is
// malformed or a lone surrogate is unusable, and the endpoint refuses the body as it refuses
// one without the member.
TEST(ApiServer, EscapedMembersReachTheEndpoints) {
  ApiRouter api;
  common::Hash node;
  node.bytes.fill(0x42);
  const std::string b32 = node.to_b32_address();
  std::string escaped_b32;  // every letter "a" as \u0061, every "." as \u002e
  for (const char c : b32)
    escaped_b32 += c == 'a' ? std::string(R"(\u0061)") : c == '.' ? R"(\u002E)" : std::string(1, c);
  ASSERT_NE(escaped_b32, b32);
  struct Case {
    std::string path;
    std::string body;
    std::string status_line;
    std::string answer;
  };
  const std::vector<Case> cases = {
      {"/api/dht/bootstrap", R"({"b32":")" + escaped_b32 + R"(","port":9000})", "HTTP/1.1 200 OK",
       R"({"ok":false,"b32":")" + b32 + R"(","port":9000})"},
      {"/api/dht/bootstrap", R"({"b32":"\ud800)" + b32 + R"(","port":9000})", "HTTP/1.1 400 Bad Request",
       R"({"ok":false,"error":"invalid bootstrap b32/hash"})"},
      // The uri is found and decoded: its hash is the two bytes of U+00E9.
      {"/api/torrents/magnet", R"({"uri":"magnet:\u003fxt=urn:btih:\u00e9"})", "HTTP/1.1 400 Bad Request",
       R"({"ok":false,"error":"invalid magnet URI: invalid magnet: unsupported btih hash length: 2"})"},
      {"/api/torrents/magnet", R"({"uri":"magnet:\udc00"})", "HTTP/1.1 400 Bad Request",
       R"({"ok":false,"error":"missing magnet uri"})"},
      {"/api/torrents/magnet", R"({"uri":"magnet:\u12"})", "HTTP/1.1 400 Bad Request",
       R"({"ok":false,"error":"missing magnet uri"})"},
      {"/api/torrents/add", R"({"torrent_b64":"QUJD\ud83d"})", "HTTP/1.1 400 Bad Request",
       R"({"ok":false,"error":"missing torrent_b64"})"},
  };
  for (const Case& c : cases) {
    const Answer a = talk(api, post(c.path, "X-Ondrel-I2P: 1\r\n", c.body));
    ASSERT_TRUE(a.complete) << c.body << a.raw;
    EXPECT_EQ(a.head_lines[0], c.status_line) << c.body;
    EXPECT_EQ(a.body, c.answer) << c.body;
  }
}

TEST(ApiServer, BodyComesOverManyPassesAndIsCutToItsLength) {
  ApiRouter api;
  // A 4 MiB body is taken at most 16 KiB per pass and answered once whole; bytes past the
  // Content-Length are ignored ("uri" lies beyond it here, so it is missing).
  std::string request = "POST /api/torrents/magnet HTTP/1.1\r\nX-Ondrel-I2P: 1\r\nContent-Length: 4194304\r\n\r\n{";
  request.append(4'194'303, ' ');
  request.append(R"("uri":"magnet:?xt=x"})");
  const int fd = api_test::connect_client(api.port);
  ASSERT_GE(fd, 0);
  const Answer a = api_test::talk_on(fd, api, request, false, 100'000);
  ASSERT_TRUE(a.complete) << a.raw;
  EXPECT_EQ(a.body, R"({"ok":false,"error":"missing magnet uri"})");
}

TEST(ApiServer, HeadTooLargeIs431) {
  ApiRouter api;
  const std::string request = "GET /api/status HTTP/1.1\r\nX-Long: " + std::string(70'000, 'a');
  const Answer a = talk(api, request);
  ASSERT_TRUE(a.complete) << a.raw.substr(0, 200);
  EXPECT_EQ(a.head_lines[0], "HTTP/1.1 431 Request Header Fields Too Large");
  EXPECT_EQ(a.body, R"({"ok":false,"error":"headers too large"})");

  // A head of just under the limit with its end is still read.
  const std::string fits = "GET /api/torrents HTTP/1.1\r\nX-Long: " + std::string(65'000, 'a') + "\r\n\r\n";
  EXPECT_EQ(talk(api, fits).status, 200);
}

// A client that hangs up before its request is complete gets nothing, and its record goes.
TEST(ApiServer, CutRequestsGetNoAnswer) {
  const std::vector<std::string> cut = {
      "",
      "GET /api/status HTTP/1.1\r\n",
      "POST /api/torrents/magnet HTTP/1.1\r\nX-Ondrel-I2P: 1\r\nContent-Length: 50\r\n\r\n{\"uri\":",
  };
  for (const auto& request : cut) {
    ApiRouter api;
    const Answer a = talk(api, request, /*half_close=*/true);
    EXPECT_EQ(a.raw, "") << request;
    EXPECT_TRUE(api.router.torrent_api_conns.empty()) << request;
  }
  // A complete request whose client shut its sending side is still answered.
  ApiRouter api;
  const Answer a = talk(api, get("/api/torrents"), /*half_close=*/true);
  EXPECT_EQ(a.status, 200) << a.raw;
}

// The request time-out counts from the accept, with the time passed in: nothing at 15,000 ms,
// 408 after it, also for a request whose bytes are still coming.
TEST(ApiServer, RequestTimeoutTable) {
  const std::vector<std::string> partial = {"", "GET /api/status HT",
                                            "POST /x HTTP/1.1\r\nContent-Length: 10\r\n\r\n12345"};
  for (const auto& request : partial) {
    ApiRouter api;
    const int fd = api_test::connect_client(api.port);
    ASSERT_GE(fd, 0);
    if (!request.empty()) {
      ASSERT_EQ(::send(fd, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
    }
    for (int i = 0; i < 50 && api.router.torrent_api_conns.empty(); ++i) api.step();
    ASSERT_EQ(api.router.torrent_api_conns.size(), 1u);
    const std::uint64_t start = api.now.mono_ms;
    for (int i = 0; i < 20; ++i) api.step();
    api.now.mono_ms = start + 15'000;
    api.step();
    char c;
    EXPECT_EQ(::recv(fd, &c, 1, MSG_DONTWAIT), -1) << request;  // nothing yet
    api.now.mono_ms = start + 15'001;
    const Answer a = api_test::talk_on(fd, api, "");
    ASSERT_TRUE(a.complete) << request << a.raw;
    EXPECT_EQ(a.head_lines[0], "HTTP/1.1 408 Request Timeout");
    EXPECT_EQ(a.body, R"({"ok":false,"error":"request timeout"})");
  }
}

// A client that never reads its answer does not hold the loop: each pass writes what the
// socket takes and returns; 15 s after the answer the client is closed.
TEST(ApiServer, SlowReaderNeverBlocksAndIsClosed) {
  ApiRouter api;
  const int fd = api_test::connect_client(api.port);
  ASSERT_GE(fd, 0);
  int small = 4096;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  for (int i = 0; i < 50 && api.router.torrent_api_conns.empty(); ++i) api.step();
  ASSERT_EQ(api.router.torrent_api_conns.size(), 1u);
  TorrentApiConn& conn = api.router.torrent_api_conns[0];
  // An answer far larger than the socket buffers of both sides.
  api_send_response(conn, 200, "OK", std::string(32 << 20, 'x'), api.now.mono_ms);
  const std::uint64_t start = api.now.mono_ms;
  for (int i = 0; i < 100; ++i) api.step();
  ASSERT_EQ(api.router.torrent_api_conns.size(), 1u);
  EXPECT_GT(api.router.torrent_api_conns[0].answer_sent, 0u);
  EXPECT_LT(api.router.torrent_api_conns[0].answer_sent, api.router.torrent_api_conns[0].answer.size());
  api.now.mono_ms = start + 15'000;
  api.step();
  EXPECT_EQ(api.router.torrent_api_conns.size(), 1u);
  api.now.mono_ms = start + 15'001;
  api.step();
  EXPECT_TRUE(api.router.torrent_api_conns.empty());
  ::close(fd);
}

// A client that reads slowly but within its time gets the whole answer.
TEST(ApiServer, LargeAnswerArrivesWhole) {
  ApiRouter api;
  const int fd = api_test::connect_client(api.port);
  ASSERT_GE(fd, 0);
  for (int i = 0; i < 50 && api.router.torrent_api_conns.empty(); ++i) api.step();
  ASSERT_EQ(api.router.torrent_api_conns.size(), 1u);
  const std::string body(8 << 20, 'y');
  api_send_response(api.router.torrent_api_conns[0], 200, "OK", body, api.now.mono_ms);
  const Answer a = api_test::talk_on(fd, api, "");
  ASSERT_TRUE(a.complete);
  EXPECT_EQ(a.body.size(), body.size());
  api.step();  // the client has hung up
  EXPECT_TRUE(api.router.torrent_api_conns.empty());
}

// A client that keeps its side open after the answer is closed 2 s after the last byte.
TEST(ApiServer, LingeringClientIsClosed) {
  ApiRouter api;
  const int fd = api_test::connect_client(api.port);
  ASSERT_GE(fd, 0);
  const std::string request = get("/api/torrents");
  ASSERT_EQ(::send(fd, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
  for (int i = 0; i < 50 && (api.router.torrent_api_conns.empty() ||
                             api.router.torrent_api_conns[0].phase != ApiConnPhase::Draining);
       ++i) {
    api.step();
  }
  ASSERT_EQ(api.router.torrent_api_conns.size(), 1u);
  const std::uint64_t start = api.now.mono_ms;
  api.now.mono_ms = start + 2'000;
  api.step();
  EXPECT_EQ(api.router.torrent_api_conns.size(), 1u);
  api.now.mono_ms = start + 2'001;
  api.step();
  EXPECT_TRUE(api.router.torrent_api_conns.empty());
  ::close(fd);
}

TEST(ApiServer, AcceptsAtMostEightPerPass) {
  ApiRouter api;
  std::vector<int> fds;
  for (int i = 0; i < 12; ++i) fds.push_back(api_test::connect_client(api.port));
  api.step();
  EXPECT_EQ(api.router.torrent_api_conns.size(), 8u);
  api.step();
  EXPECT_EQ(api.router.torrent_api_conns.size(), 12u);
  for (int fd : fds) ::close(fd);
}

// At most 64 connections are held (each may hold a body of 4 MiB); the others wait in the
// listener's backlog until one ends, and are then served.
TEST(ApiServer, ConnectionsAreBounded) {
  ApiRouter api;
  std::vector<int> fds;
  for (std::size_t i = 0; i < kApiMaxConnections + 4; ++i) {
    fds.push_back(api_test::connect_client(api.port));
    ASSERT_GE(fds.back(), 0);
  }
  for (int i = 0; i < 40; ++i) api.step();
  EXPECT_EQ(api.router.torrent_api_conns.size(), kApiMaxConnections);
  // The first client is answered and leaves; the first one waiting is then accepted and
  // answered.
  const Answer first = api_test::talk_on(fds[0], api, get("/api/torrents"));
  EXPECT_EQ(first.status, 200);
  const Answer next = api_test::talk_on(fds[kApiMaxConnections], api, get("/api/torrents"));
  EXPECT_EQ(next.status, 200) << next.raw;
  EXPECT_EQ(api.router.torrent_api_conns.size(), kApiMaxConnections);
  for (std::size_t i = 1; i < fds.size(); ++i) {
    if (i != kApiMaxConnections) ::close(fds[i]);
  }
}

// What each connection waits for, and when the next limit runs out, follow its phase; the
// limit then takes effect in exactly that pass.
TEST(ApiServer, WantsAndDeadlinesFollowThePhase) {
  ApiRouter api;
  EXPECT_FALSE(api_next_deadline_ms(api.router.torrent_api_conns).has_value());
  const int fd = api_test::connect_client(api.port);
  ASSERT_GE(fd, 0);
  api.step();
  ASSERT_EQ(api.router.torrent_api_conns.size(), 1u);
  const std::uint64_t start = api.now.mono_ms;
  {
    const TorrentApiConn& c = api.router.torrent_api_conns[0];
    EXPECT_TRUE(api_conn_wants(c).read);
    EXPECT_FALSE(api_conn_wants(c).write);
    EXPECT_EQ(api_next_deadline_ms(api.router.torrent_api_conns), start + 15'001);
  }
  // An answer that the client does not read waits for writing, with its own limit.
  api.now.mono_ms = start + 1'000;
  api_send_response(api.router.torrent_api_conns[0], 200, "OK", std::string(32 << 20, 'z'), api.now.mono_ms);
  api.step();
  {
    const TorrentApiConn& c = api.router.torrent_api_conns.at(0);
    EXPECT_FALSE(api_conn_wants(c).read);
    EXPECT_TRUE(api_conn_wants(c).write);
    EXPECT_EQ(api_next_deadline_ms(api.router.torrent_api_conns), start + 16'001);
  }
  api.now.mono_ms = start + 16'000;
  api.step();
  EXPECT_EQ(api.router.torrent_api_conns.size(), 1u);
  api.now.mono_ms = start + 16'001;
  api.step();
  EXPECT_TRUE(api.router.torrent_api_conns.empty());
  ::close(fd);

  TorrentApiConn closed;
  closed.closed = true;
  EXPECT_FALSE(api_conn_wants(closed).read);
  EXPECT_FALSE(api_conn_wants(closed).write);
}

// The limits of the shared HTTP connection machine with the API's own.
TEST(ApiServer, ConnectionLimitsTable) { http_connection_test::run_connection_table(kApiConnLimits); }

TEST(ApiServer, WithoutListenerNothingHappens) {
  Router r;
  EXPECT_FALSE(r.step_torrent_api(Now{1, 1}));
}

TEST(ApiServer, HeadParserFields) {
  TorrentApiConn c;
  const std::string head =
      "post /api/torrents/add?x=1?y HTTP/1.0\r\n"
      "Host: a\r\nhost : localhost:1 \r\n"
      ": ignored\r\nno colon here\r\n"
      "Origin: http://localhost:3\r\n"
      "Content-Type: Application/JSON\r\n"
      "Content-Length: 0012\r\n"
      "X-Ondrel-I2P: TrUe\r\n"
      "X-Other: \x01\r";
  ASSERT_TRUE(api_parse_header_block(c, encoding::string_to_utf8_bytes(head)));
  EXPECT_TRUE(c.headers_done);
  EXPECT_EQ(c.method, "POST");
  EXPECT_EQ(c.path, "/api/torrents/add");
  EXPECT_EQ(c.host, "localhost:1");
  EXPECT_EQ(c.origin, "http://localhost:3");
  EXPECT_EQ(c.content_type, "application/json");
  EXPECT_EQ(c.content_length, 12);
  EXPECT_TRUE(c.has_api_header);

  TorrentApiConn e;
  EXPECT_FALSE(api_parse_header_block(e, {}));
  EXPECT_FALSE(e.headers_done);
}

}  // namespace
}  // namespace router
