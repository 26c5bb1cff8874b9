#pragma once
// A connected loopback TCP pair for the benchmarks' floors: the same bytes moved without the
// router in between.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <utility>

namespace bench_support {

// (client, server), or (-1, -1).
inline std::pair<int, int> loopback_pair() {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(listener, 1) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(listener);
    return {-1, -1};
  }
  const int client = ::socket(AF_INET, SOCK_STREAM, 0);
  if (::connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    ::close(client);
    ::close(listener);
    return {-1, -1};
  }
  const int server = ::accept(listener, nullptr, nullptr);
  ::close(listener);
  return {client, server};
}

}  // namespace bench_support
