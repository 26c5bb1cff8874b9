#pragma once
// Three routers of the test network linked in a ring, A-B, B-C and C-A, with an outbound
// tunnel A -> B -> C: the path of the tunnel benchmarks, whose messages come back to A from C.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "router/router.h"
#include "tests/support/test_network.h"

namespace bench_support {

inline constexpr std::size_t kRingA = 0, kRingB = 1, kRingC = 2;

struct TunnelRing {
  test_support::TestNetwork net;
  std::uint32_t outbound = 0;  // A's tunnel through B and C
};

// The ring, or none with what failed in error.
inline std::optional<TunnelRing> tunnel_ring(std::string& error) {
  using test_support::TestNetwork;
  auto created = TestNetwork::create({.routers = 3});
  if (!created) {
    error = "test network failed to start";
    return std::nullopt;
  }
  TestNetwork net = std::move(*created);
  auto outbound = net.install_tunnel(kRingA, {kRingB, kRingC}, /*outbound=*/true);
  if (!outbound) {
    error = "tunnel install failed";
    return std::nullopt;
  }
  net[kRingA].ensure_peer_dial(net.hash(kRingB), ntcp2_net::read_now());
  net[kRingB].ensure_peer_dial(net.hash(kRingC), ntcp2_net::read_now());
  net[kRingC].ensure_peer_dial(net.hash(kRingA), ntcp2_net::read_now());
  if (!net.run_until(
          [&] {
            return net[kRingA].peer_sessions.size() == 2 && net[kRingB].peer_sessions.size() == 2 &&
                   net[kRingC].peer_sessions.size() == 2;
          },
          5000, TestNetwork::peers_step)) {
    error = "links did not come up";
    return std::nullopt;
  }
  return TunnelRing{std::move(net), *outbound};
}

// The router's link session with peer, or nullptr.
inline router::PeerSession* session_with(router::Router& r, const common::Hash& peer) {
  for (auto& s : r.peer_sessions) {
    if (s.peer == peer) return &s;
  }
  return nullptr;
}

}  // namespace bench_support
