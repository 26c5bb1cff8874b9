#pragma once
// Helpers of the peer management tests: RouterInfos from the reference files, signed
// RouterInfos with chosen NTCP2 hosts, DatabaseStore messages, test networks and the
// waits on their sockets.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "common/router_info.h"
#include "crypto/ed25519.h"
#include "encoding/reader.h"
#include "i2np/payload.h"
#include "ntcp2_net/clock.h"
#include "ntcp2_net/random.h"
#include "router/own_router_info.h"
#include "tests/support/test_data.h"
#include "tests/support/test_network.h"

namespace router::peers_test {

inline common::RouterInfo reference_router_info(const std::string& name) {
  const Bytes bytes = test_support::read_test_data("routerinfo/" + name);
  encoding::Reader reader(bytes);
  auto info = common::RouterInfo::decode(reader);
  EXPECT_TRUE(info) << name;
  return info ? *info : common::RouterInfo{};
}

// A freshly keyed, signed RouterInfo whose NTCP2 address names the host and port;
// crypto_type replaces the identity's X25519 key certificate when given.
inline common::RouterInfo signed_router_info(const std::string& host,
                                             std::optional<common::CryptoPublicKeyType> crypto_type = {},
                                             std::uint16_t port = 17000) {
  const Bytes seed = ntcp2_net::random_bytes(32).value();
  const Bytes x25519 = ntcp2_net::random_bytes(32).value();
  const Bytes filler = ntcp2_net::random_bytes(320).value();
  const Bytes iv = ntcp2_net::random_bytes(16).value();
  const auto ed = crypto::ed25519_public_key(seed).value();
  const Bytes ed_bytes(ed.begin(), ed.end());
  OwnIdentityKeys keys{x25519, ed_bytes, filler, iv};
  auto info = build_own_router_info(keys, OwnAddress{host, port, false, false}, 1'700'000'000'000);
  if (!info) {
    ADD_FAILURE() << to_string(info.error());
    return {};
  }
  if (crypto_type)
    info->identity.keys_and_cert.certificate = common::Certificate{common::KeyCertificate::create(*crypto_type)};
  EXPECT_TRUE(sign_router_info(*info, seed));
  return *info;
}

inline i2np::I2npPayload database_store_of(const common::RouterInfo& info, std::uint32_t reply_token = 0) {
  i2np::I2npPayload::DatabaseStore store;
  store.key = info.identity.keys_and_cert.hash();
  store.store_type = 0;
  store.reply_token = reply_token;
  store.data = info.to_bytes().value_or(Bytes{});
  return i2np::I2npPayload{std::move(store)};
}

inline common::Hash hash_of(const common::RouterInfo& info) { return info.identity.keys_and_cert.hash(); }

// Wall-time limit of the waits for links on the test network.
constexpr int kLimitMs = 5000;

// Tests call these through ASSERT_NO_FATAL_FAILURE, so a network that failed to start or
// link ends the test before anything reaches into it.
inline void make_network(test_support::TestNetwork& out, std::size_t n, bool debug = false) {
  auto net = test_support::TestNetwork::create({.routers = n, .public_mode = false, .debug = debug});
  ASSERT_TRUE(net) << to_string(net.error());
  out = std::move(*net);
}

// Waits (up to 2 s) until the socket holds at least n unread bytes. Small frames may sit a
// few ms in the sender's kernel before they leave.
inline bool wait_readable_bytes(int fd, std::size_t n) {
  for (int i = 0; i < 2000; ++i) {
    int available = 0;
    if (::ioctl(fd, FIONREAD, &available) == 0 && static_cast<std::size_t>(available) >= n) return true;
    ::usleep(1000);
  }
  return false;
}

// Waits (up to 5 s) until a listening socket holds n connections ready to accept; a
// listening socket's TCP_INFO reports that count as tcpi_unacked.
inline bool wait_accept_queue(int listener_fd, std::uint32_t n) {
  for (int i = 0; i < 5000; ++i) {
    tcp_info info{};
    socklen_t len = sizeof info;
    if (::getsockopt(listener_fd, IPPROTO_TCP, TCP_INFO, &info, &len) == 0 && info.tcpi_unacked >= n) return true;
    ::usleep(1000);
  }
  return false;
}

// Two routers with one established link (router 0 dialled router 1).
inline void linked_pair(test_support::TestNetwork& net, bool debug = false) {
  ASSERT_NO_FATAL_FAILURE(make_network(net, 2, debug));
  net[0].ensure_peer_dial(net.hash(1), ntcp2_net::read_now());
  ASSERT_TRUE(net.run_until([&] { return !net[0].peer_sessions.empty() && !net[1].peer_sessions.empty(); }, kLimitMs,
                            test_support::TestNetwork::peers_step));
}

// A TCP port on a loopback address that this object holds bound but never listens on: a
// connection to it is refused, and no other program can start listening there meanwhile.
class RefusingPort {
 public:
  explicit RefusingPort(const char* host) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, host, &a.sin_addr);
    socklen_t len = sizeof a;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      ADD_FAILURE() << "cannot hold a port on " << host;
      return;
    }
    port_ = ntohs(a.sin_port);
  }
  ~RefusingPort() {
    if (fd_ >= 0) ::close(fd_);
  }
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;
  std::uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

}  // namespace router::peers_test
