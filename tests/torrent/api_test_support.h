#pragma once
// Helpers of the torrent API tests: a router whose API listens on a loopback port of its
// own, a client that talks to it over a real socket while the test steps the router, and
// python's json module as the reader of the documents.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "ntcp2_net/glue.h"
#include "ntcp2_net/tcp_listener.h"
#include "router/router.h"
#include "tests/support/scratch.h"

namespace router::api_test {

using test_support::python;
using test_support::read_file;
using test_support::ScratchDir;
using test_support::write_file;

// Runs a shell command and gives its standard output, or none when it did not exit with 0.
inline std::optional<std::string> run_capture(const std::string& cmd) {
  FILE* p = ::popen(cmd.c_str(), "r");
  if (p == nullptr) return std::nullopt;
  std::string out;
  char buf[4096];
  for (;;) {
    const std::size_t n = std::fread(buf, 1, sizeof buf, p);
    if (n == 0) break;
    out.append(buf, n);
  }
  if (::pclose(p) != 0) return std::nullopt;
  return out;
}

// The document as python's json module reads it, one line per member in document order
// (see api_json_dump.py); the first line says whether it is written compactly. Empty when
// python refuses the text.
inline std::vector<std::string> json_members(const std::string& document) {
  const ScratchDir dir("json");
  write_file(dir / "doc.json", document);
  const auto out =
      run_capture(python() + " " ONDREL_SOURCE_DIR "/tests/torrent/api_json_dump.py " + (dir / "doc.json").string());
  std::vector<std::string> lines;
  if (!out) return lines;
  std::istringstream in(*out);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// One answer as the client received it.
struct Answer {
  bool complete = false;  // the server closed after a whole head and its Content-Length
  std::string raw;
  int status = 0;
  std::vector<std::string> head_lines;  // the status line first, without CR LF
  std::string body;

  bool has_line(std::string_view line) const {
    for (const auto& l : head_lines) {
      if (l == line) return true;
    }
    return false;
  }
};

inline Answer parse_answer(const std::string& raw) {
  Answer a;
  a.raw = raw;
  const std::size_t end = raw.find("\r\n\r\n");
  if (end == std::string::npos) return a;
  std::size_t pos = 0;
  while (pos < end) {
    const std::size_t lf = raw.find("\r\n", pos);
    a.head_lines.push_back(raw.substr(pos, lf - pos));
    pos = lf + 2;
  }
  a.body = raw.substr(end + 4);
  if (!a.head_lines.empty() && a.head_lines[0].size() >= 12) a.status = std::atoi(a.head_lines[0].c_str() + 9);
  for (const auto& l : a.head_lines) {
    if (l.starts_with("Content-Length: ")) {
      a.complete = std::to_string(a.body.size()) == l.substr(16);
    }
  }
  return a;
}

// A non-waiting client socket connected to 127.0.0.1:port (the listener's backlog takes the
// connection before the router accepts it).
inline int connect_client(int port) {
  constexpr std::string_view kHost = "127.0.0.1";
  const int fd = ondrel_i2p_net_tcp_connect(reinterpret_cast<const std::uint8_t*>(kHost.data()),
                                            static_cast<std::int32_t>(kHost.size()), port);
  if (fd >= 0) (void)ondrel_i2p_net_tcp_set_nonblocking(fd, 1);
  return fd;
}

// A router record with only the API listener open (on a port of its own), stepped by hand.
struct ApiRouter {
  Router router;
  int port = 0;
  Now now{1'000'000, 1'700'000'000'000};

  // started: a router made by the start-up code (keys, identity, listeners on free ports),
  // which the torrent engine needs; otherwise a bare record.
  explicit ApiRouter(bool started = false) {
    if (started) {
      StartOptions options;
      options.ntcp2_host = "127.0.0.1";
      options.ntcp2_port = 0;
      options.sam_port = 0;
      auto r = Router::start(options);
      if (!r) return;
      router = std::move(*r);
    }
    auto listener = ntcp2_net::TcpListener::bind("127.0.0.1", 0);
    if (!listener) return;
    port = listener->port;
    router.torrent_api_listener = std::move(*listener);
  }
  ~ApiRouter() { router.close(); }

  bool step() { return router.step_torrent_api(now); }
};

// Talks to the router over one connection: sends request (then shuts the sending side when
// half_close), stepping the router between non-waiting reads and writes, until the server
// closes or max_passes passed.
inline Answer talk_on(int fd, ApiRouter& api, const std::string& request, bool half_close = false,
                      int max_passes = 20'000) {
  std::string raw;
  std::size_t sent = 0;
  bool shut = false;
  for (int pass = 0; pass < max_passes; ++pass) {
    while (sent < request.size()) {
      const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    if (half_close && !shut && sent == request.size()) {
      ::shutdown(fd, SHUT_WR);
      shut = true;
    }
    api.step();
    char buf[65536];
    for (;;) {
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n > 0) {
        raw.append(buf, static_cast<std::size_t>(n));
        continue;
      }
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
        ::close(fd);
        return parse_answer(raw);
      }
      break;
    }
  }
  ::close(fd);
  Answer a = parse_answer(raw);
  a.complete = false;  // the server never closed
  return a;
}

inline Answer talk(ApiRouter& api, const std::string& request, bool half_close = false) {
  const int fd = connect_client(api.port);
  if (fd < 0) return {};
  return talk_on(fd, api, request, half_close);
}

}  // namespace router::api_test
