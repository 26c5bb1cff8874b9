#pragma once
// Helpers of the remote bridge and HTTP proxy tests: two routers of the in-process test
// network joined by 1-hop tunnels, plain non-blocking client sockets to their SAM ports
// (or the proxy port), and child processes (curl) run while the routers are stepped.
// Nothing sleeps: every wait is the network's bounded run.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "ntcp2_net/clock.h"
#include "ntcp2_net/random.h"
#include "router/router.h"
#include "tests/support/spawned.h"
#include "tests/support/test_network.h"

extern char** environ;

namespace router::bridge_test {

using test_support::Spawned;

// Routers 0 and 1, each with an outbound and an inbound tunnel through the other.
inline test_support::TestNetwork two_routers(std::vector<std::size_t> floodfills = {}) {
  auto net = test_support::TestNetwork::create({.routers = 2, .floodfills = std::move(floodfills)});
  EXPECT_TRUE(net) << (net ? "" : to_string(net.error()));
  for (std::size_t owner : {0u, 1u}) {
    EXPECT_TRUE(net->install_tunnel(owner, {1 - owner}, /*outbound=*/true));
    EXPECT_TRUE(net->install_tunnel(owner, {1 - owner}, /*outbound=*/false));
  }
  return std::move(*net);
}

inline std::string random_text(std::size_t n) {
  auto b = ntcp2_net::random_bytes(n);
  EXPECT_TRUE(b);
  std::string out(n, 'x');
  if (b) std::copy(b->begin(), b->end(), out.begin());
  return out;
}

// A non-blocking loopback client socket that the test drives between router passes.
class Sock {
 public:
  explicit Sock(int port, int receive_buffer = 0) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receive_buffer > 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(0x7f000001);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) ADD_FAILURE() << "connect failed";
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
  }
  ~Sock() { close(); }
  Sock(const Sock&) = delete;
  Sock& operator=(const Sock&) = delete;

  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  bool open() const { return fd_ >= 0; }
  void shutdown_write() { ::shutdown(fd_, SHUT_WR); }

  // Queues bytes to send; they go out as the socket takes them (pump).
  void queue(std::string_view data) { out_.append(data); }
  // Opens a SAM conversation with HELLO VERSION, as the bridge requires before anything
  // else; the reply is checked and taken out of what was received when it arrives, so
  // what follows reads as if the conversation began there.
  void hello() {
    queue("HELLO VERSION\n");
    awaiting_hello_ = true;
  }
  bool all_sent() const { return out_.size() == sent_; }

  // Sends what the socket takes, then reads at most max_read bytes of what has arrived.
  void pump(std::size_t max_read = SIZE_MAX) {
    if (fd_ < 0) return;
    while (sent_ < out_.size()) {
      const ssize_t n = ::send(fd_, out_.data() + sent_, out_.size() - sent_, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent_ += static_cast<std::size_t>(n);
    }
    char buf[65536];
    std::size_t read = 0;
    while (!eof && read < max_read) {
      const ssize_t n = ::recv(fd_, buf, std::min(sizeof buf, max_read - read), 0);
      if (n > 0) {
        received.append(buf, static_cast<std::size_t>(n));
        read += static_cast<std::size_t>(n);
        continue;
      }
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) eof = true;
      break;
    }
    if (awaiting_hello_) {
      if (auto line = take_line()) {
        EXPECT_EQ(*line, "HELLO REPLY RESULT=OK VERSION=3.3");
        awaiting_hello_ = false;
      }
    }
  }

  // Removes and returns the first line of what was received, when it has arrived.
  std::optional<std::string> take_line() {
    const std::size_t lf = received.find('\n');
    if (lf == std::string::npos) return std::nullopt;
    std::string line = received.substr(0, lf);
    received.erase(0, lf + 1);
    return line;
  }

  std::string received;
  bool eof = false;

 private:
  int fd_ = -1;
  std::string out_;
  std::size_t sent_ = 0;
  bool awaiting_hello_ = false;
};

}  // namespace router::bridge_test
