#pragma once
// Loopback ports for the program tests: free ones, and ones held busy by a listener.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace program_test {

// A listening socket on 127.0.0.1 (port 0: the kernel's choice); closed when destroyed.
class HeldPort {
 public:
  explicit HeldPort(int port = 0) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd_, 4) != 0) {
      ::close(fd_);
      fd_ = -1;
      return;
    }
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~HeldPort() { release(); }
  HeldPort(const HeldPort&) = delete;
  HeldPort& operator=(const HeldPort&) = delete;

  bool ok() const { return fd_ >= 0; }
  int port() const { return port_; }
  void release() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// A port that was free a moment ago.
inline int free_port() {
  HeldPort p;
  return p.port();
}

// Whether a listener can be bound on 127.0.0.1:port now.
inline bool port_is_free(int port) { return HeldPort(port).ok(); }

// Whether a TCP connection to 127.0.0.1:port is accepted.
inline bool can_connect(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

inline std::string loopback(int port) { return "127.0.0.1:" + std::to_string(port); }

}  // namespace program_test
