#pragma once
// Helpers of the SAM bridge tests: a router on loopback stepped by the test's own thread,
// plain client sockets, and a python3 client run as a child process while the router is
// stepped. Every wait is a bounded number of router passes; nothing sleeps.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "cmd/router/startup.h"
#include "ntcp2_net/clock.h"
#include "ntcp2_net/glue.h"
#include "router/router.h"
#include "tests/support/spawned.h"

extern char** environ;

namespace router::sam_test {

inline std::optional<Router> loopback_router() {
  StartOptions o;
  o.sam_port = 0;
  auto r = Router::start(o);
  EXPECT_TRUE(r) << (r ? "" : to_string(r.error()));
  if (!r) return std::nullopt;
  EXPECT_TRUE(cmd_router::add_loop_parts(*r));
  return std::move(*r);
}

// Steps the router until done() holds, at most max_passes passes; true when it held.
// Each pass waits at most 10 ms, and only when the router had nothing to do.
// One whole pass of the router, its wait bounded at 10 ms: the test's own clients live on
// this thread, so a wait for them to act must end for the test to act.
inline void step_briefly(Router& r, const ntcp2_net::Now& now) { r.step(now, now.mono_ms + 10); }

inline bool step_until(Router& r, const std::function<bool()>& done, int max_passes = 3000) {
  for (int i = 0; i < max_passes; ++i) {
    if (done()) return true;
    step_briefly(r, ntcp2_net::read_now());
  }
  return done();
}

// Whether a client opens with HELLO VERSION, as every SAM client must before the bridge
// carries out anything.
enum class Greeting { Hello, None };

// One client socket of the test, non-blocking, connected to the router's SAM port.
class Client {
 public:
  // Socket buffer sizes of 0 leave the system's choice. The client says HELLO first.
  explicit Client(Router& r, int receive_buffer = 0, int send_buffer = 0)
      : Client(r, Greeting::Hello, receive_buffer, send_buffer) {}
  Client(Router& r, Greeting greeting, int receive_buffer = 0, int send_buffer = 0) : r_(&r) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receive_buffer > 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    if (send_buffer > 0) ::setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(r.sam_listener.port));
    a.sin_addr.s_addr = htonl(0x7f000001);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) ADD_FAILURE() << "connect failed";
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
    if (greeting == Greeting::Hello) {
      EXPECT_EQ(ask("HELLO VERSION"), "HELLO REPLY RESULT=OK VERSION=3.3");
    }
  }
  ~Client() { close(); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  int fd() const { return fd_; }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  void shutdown_write() { ::shutdown(fd_, SHUT_WR); }

  // Writes what the socket takes now; the count written (0 when it would block).
  std::size_t write_some(std::string_view data) {
    const ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
  }
  // Writes everything, stepping the router while the socket is full.
  void send(std::string_view data) {
    std::size_t done = 0;
    step_until(*r_, [&] {
      done += write_some(data.substr(done));
      return done == data.size();
    });
    EXPECT_EQ(done, data.size());
  }
  // Reads what has arrived into the buffer; false once the router closed its end.
  bool pull() {
    char buf[65536];
    for (;;) {
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n > 0) {
        received.append(buf, static_cast<std::size_t>(n));
        continue;
      }
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) eof = true;
      return !eof;
    }
  }
  // The next line, stepping the router until it arrives; none when it did not.
  std::optional<std::string> line(int max_passes = 3000) {
    step_until(
        *r_,
        [&] {
          pull();
          return received.find('\n') != std::string::npos || eof;
        },
        max_passes);
    const std::size_t lf = received.find('\n');
    if (lf == std::string::npos) return std::nullopt;
    std::string out = received.substr(0, lf);
    received.erase(0, lf + 1);
    return out;
  }
  std::optional<std::string> ask(std::string_view command) {
    send(std::string(command) + "\n");
    return line();
  }
  // True once the router closed this connection (everything before it is in received).
  bool closed_by_router(int max_passes = 3000) {
    return step_until(
        *r_,
        [&] {
          pull();
          return eof;
        },
        max_passes);
  }

  std::string received;
  bool eof = false;

 private:
  Router* r_;
  int fd_ = -1;
};

// The value of KEY=value in a reply line ("" when absent).
inline std::string value_of(const std::string& line, const std::string& key) {
  const std::string probe = " " + key + "=";
  const std::size_t at = line.find(probe);
  if (at == std::string::npos) return "";
  const std::size_t from = at + probe.size();
  return line.substr(from, line.find(' ', from) - from);
}

inline std::string python3() { return std::filesystem::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3"; }

// A python3 script run as a child process with its standard output in a pipe.
class Script : public test_support::Spawned {
 public:
  explicit Script(const std::vector<std::string>& args) : Spawned(with_python(args)) {}

 private:
  static std::vector<std::string> with_python(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {python3()};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
  }
};

}  // namespace router::sam_test
