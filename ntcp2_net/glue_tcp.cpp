// TCP sockets and listeners of the glue.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "ntcp2_net/glue.h"
#include "ntcp2_net/glue_detail.h"

using ntcp2_net::glue_detail::copy_arg;
using ntcp2_net::glue_detail::kMaxHostLen;
using ntcp2_net::glue_detail::set_errno_error;
using ntcp2_net::glue_detail::set_error;

namespace {

// A peer that vanishes must give EPIPE on send, not end the process.
void ignore_sigpipe() { signal(SIGPIPE, SIG_IGN); }

bool would_block(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

// The TCP addresses of host and port, or nullptr with the error text set.
addrinfo* resolve_tcp(const char* name, std::int32_t port, int family, int flags) {
  addrinfo hints{};
  hints.ai_flags = flags;
  hints.ai_family = family;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  char service[8];
  std::snprintf(service, sizeof(service), "%d", static_cast<int>(port));
  addrinfo* found = nullptr;
  const int rc = getaddrinfo(name, service, &hints, &found);
  if (rc != 0) {
    set_error(gai_strerror(rc));
    return nullptr;
  }
  if (found == nullptr) set_errno_error(EADDRNOTAVAIL);
  return found;
}

std::int32_t connect_to(const std::uint8_t* host, std::int32_t host_len, std::int32_t port, bool nonblocking) {
  char name[kMaxHostLen + 1];
  if (port < 1 || port > 65535 || !copy_arg(host, host_len, 1, kMaxHostLen, name)) {
    set_error("invalid host or port");
    return -1;
  }
  ignore_sigpipe();

  addrinfo* found = resolve_tcp(name, port, AF_UNSPEC, 0);
  if (found == nullptr) return -1;

  int last_err = 0;
  for (addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
    int type = ai->ai_socktype | SOCK_CLOEXEC | (nonblocking ? SOCK_NONBLOCK : 0);
    int fd = socket(ai->ai_family, type, ai->ai_protocol);
    if (fd < 0) {
      last_err = errno;
      continue;
    }
    if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0 || (nonblocking && errno == EINPROGRESS)) {
      freeaddrinfo(found);
      return fd;
    }
    last_err = errno;
    close(fd);
  }
  freeaddrinfo(found);
  set_errno_error(last_err != 0 ? last_err : ECONNREFUSED);
  return -1;
}

// 1 when the descriptor reports one of the events within the time-out, 0 when not.
std::int32_t poll_one(std::int32_t fd, short events, std::int32_t timeout_ms) {
  pollfd p{fd, events, 0};
  int rc = poll(&p, 1, timeout_ms);
  if (rc < 0) {
    if (errno == EINTR) return 0;
    set_errno_error(errno);
    return -1;
  }
  return rc > 0 ? 1 : 0;
}

std::int32_t recv_with(std::int32_t fd, std::uint8_t* buf, std::int32_t capacity, int flags) {
  if (buf == nullptr || capacity <= 0) {
    set_error("invalid recv arguments");
    return -1;
  }
  ssize_t n = recv(fd, buf, static_cast<std::size_t>(capacity), flags);
  if (n < 0) {
    if (would_block(errno)) return -2;
    set_errno_error(errno);
    return -1;
  }
  return static_cast<std::int32_t>(n);
}

}  // namespace

extern "C" {

std::int32_t ondrel_i2p_net_tcp_connect_nb(const std::uint8_t* host, std::int32_t host_len, std::int32_t port) {
  return connect_to(host, host_len, port, true);
}

std::int32_t ondrel_i2p_net_tcp_connect(const std::uint8_t* host, std::int32_t host_len, std::int32_t port) {
  return connect_to(host, host_len, port, false);
}

std::int32_t ondrel_i2p_net_tcp_check_connected(std::int32_t fd) {
  pollfd p{fd, POLLOUT | POLLERR | POLLHUP, 0};
  int rc = poll(&p, 1, 0);
  if (rc < 0) {
    if (errno == EINTR) return 0;
    set_errno_error(errno);
    return -1;
  }
  if (rc == 0) return 0;
  if (p.revents & POLLNVAL) {
    set_errno_error(EBADF);
    return -1;
  }
  int err = 0;
  socklen_t len = sizeof(err);
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
    set_errno_error(errno);
    return -1;
  }
  if (err != 0) {
    set_errno_error(err);
    return -1;
  }
  return 1;
}

std::int32_t ondrel_i2p_net_tcp_set_nonblocking(std::int32_t fd, std::int32_t on) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0) {
    set_errno_error(errno);
    return -1;
  }
  flags = on != 0 ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  if (fcntl(fd, F_SETFL, flags) != 0) {
    set_errno_error(errno);
    return -1;
  }
  return 0;
}

std::int32_t ondrel_i2p_net_tcp_set_peer_timeouts(std::int32_t fd, std::int32_t ms) {
  int one = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof(one)) != 0) {
    set_errno_error(errno);
    return -1;
  }
  if (ms > 0) {
    unsigned int timeout = static_cast<unsigned int>(ms);
    if (setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &timeout, sizeof(timeout)) != 0) {
      set_errno_error(errno);
      return -1;
    }
  }
  return 0;
}

std::int32_t ondrel_i2p_net_tcp_set_nodelay(std::int32_t fd, std::int32_t on) {
  int value = on != 0 ? 1 : 0;
  if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, sizeof(value)) != 0) {
    set_errno_error(errno);
    return -1;
  }
  return 0;
}

std::int32_t ondrel_i2p_net_tcp_set_recv_timeout(std::int32_t fd, std::int32_t ms) {
  timeval tv{};
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) != 0) {
    set_errno_error(errno);
    return -1;
  }
  return 0;
}

std::int32_t ondrel_i2p_net_tcp_listen(const std::uint8_t* host, std::int32_t host_len, std::int32_t port) {
  char name[kMaxHostLen + 1];
  if (port < 0 || port > 65535 || !copy_arg(host, host_len, 1, kMaxHostLen, name)) {
    set_error("invalid listen host or port");
    return -1;
  }
  ignore_sigpipe();

  addrinfo* found = resolve_tcp(name, port, AF_INET, AI_PASSIVE);
  if (found == nullptr) return -1;

  // Non-blocking, so that a client resetting between poll and accept cannot stall
  // the single loop inside accept.
  int fd = socket(found->ai_family, found->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, found->ai_protocol);
  if (fd < 0) {
    set_errno_error(errno);
    freeaddrinfo(found);
    return -1;
  }
  int one = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0 ||
      bind(fd, found->ai_addr, found->ai_addrlen) != 0 || listen(fd, SOMAXCONN) != 0) {
    set_errno_error(errno);
    close(fd);
    freeaddrinfo(found);
    return -1;
  }
  freeaddrinfo(found);
  return fd;
}

std::int32_t ondrel_i2p_net_tcp_local_port(std::int32_t fd) {
  sockaddr_storage addr{};
  socklen_t len = sizeof(addr);
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    set_errno_error(errno);
    return -1;
  }
  if (addr.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(&addr)->sin_port);
  if (addr.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(&addr)->sin6_port);
  set_errno_error(EAFNOSUPPORT);
  return -1;
}

std::int32_t ondrel_i2p_net_tcp_accept(std::int32_t fd, std::int32_t timeout_ms) {
  for (;;) {
    std::int32_t ready = poll_one(fd, POLLIN, timeout_ms < 0 ? -1 : timeout_ms);
    if (ready < 0) return -1;
    if (ready == 0) {
      if (timeout_ms >= 0) return -2;
      continue;
    }
    int conn = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn >= 0) return conn;
    // The connection went away between poll and accept.
    if (would_block(errno) || errno == ECONNABORTED) {
      if (timeout_ms >= 0) return -2;
      continue;
    }
    set_errno_error(errno);
    return -1;
  }
}

std::int32_t ondrel_i2p_net_tcp_send(std::int32_t fd, const std::uint8_t* data, std::int32_t offset,
                                     std::int32_t count) {
  if (data == nullptr || offset < 0 || count < 0) {
    set_error("invalid send arguments");
    return -1;
  }
  ssize_t n = send(fd, data + offset, static_cast<std::size_t>(count), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n < 0) {
    if (would_block(errno)) return -2;
    set_errno_error(errno);
    return -1;
  }
  return static_cast<std::int32_t>(n);
}

std::int32_t ondrel_i2p_net_tcp_sendv(std::int32_t fd, const std::uint8_t* const* buffers, const std::int32_t* lengths,
                                      std::int32_t count) {
  constexpr std::int32_t kMaxBuffers = 64;
  if (count < 0 || count > kMaxBuffers || (count > 0 && (buffers == nullptr || lengths == nullptr))) {
    set_error("invalid sendv arguments");
    return -1;
  }
  iovec parts[kMaxBuffers];
  std::int64_t total = 0;
  for (std::int32_t i = 0; i < count; ++i) {
    if (lengths[i] < 0 || (lengths[i] > 0 && buffers[i] == nullptr)) {
      set_error("invalid sendv arguments");
      return -1;
    }
    total += lengths[i];
    parts[i].iov_base = const_cast<std::uint8_t*>(buffers[i]);
    parts[i].iov_len = static_cast<std::size_t>(lengths[i]);
  }
  if (total > 0x7fffffff) {
    set_error("invalid sendv arguments");
    return -1;
  }
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = static_cast<std::size_t>(count);
  ssize_t n = sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n < 0) {
    if (would_block(errno)) return -2;
    set_errno_error(errno);
    return -1;
  }
  return static_cast<std::int32_t>(n);
}

std::int32_t ondrel_i2p_net_tcp_recv(std::int32_t fd, std::uint8_t* buf, std::int32_t capacity) {
  return recv_with(fd, buf, capacity, 0);
}

std::int32_t ondrel_i2p_net_tcp_recv_nb(std::int32_t fd, std::uint8_t* buf, std::int32_t capacity) {
  return recv_with(fd, buf, capacity, MSG_DONTWAIT);
}

std::int32_t ondrel_i2p_net_tcp_poll_readable(std::int32_t fd, std::int32_t timeout_ms) {
  return poll_one(fd, POLLIN, timeout_ms);
}

std::int32_t ondrel_i2p_net_tcp_poll_writable(std::int32_t fd, std::int32_t timeout_ms) {
  return poll_one(fd, POLLOUT, timeout_ms);
}

std::int32_t ondrel_i2p_net_tcp_shutdown_write(std::int32_t fd) {
  if (shutdown(fd, SHUT_WR) != 0) {
    set_errno_error(errno);
    return -1;
  }
  return 0;
}

std::int32_t ondrel_i2p_net_tcp_close(std::int32_t fd) {
  if (close(fd) != 0) {
    set_errno_error(errno);
    return -1;
  }
  return 0;
}

}  // extern "C"
