#pragma once
// Two client destinations with stream managers on the in-process test network, each
// router with 1-hop tunnels through the other, and byte pumps that write and read their
// streams between the routers' passes as an application would.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "ntcp2_net/clock.h"
#include "ntcp2_net/random.h"
#include "router/destinations.h"
#include "router/id_counters.h"
#include "router/router.h"
#include "services/client_sessions.h"
#include "streaming/manager.h"
#include "tests/support/test_network.h"

namespace streaming_test {

// A client session as client services make one: transient keys, ratchet and streams.
inline router::SamSession stream_session(router::Router& r, const std::string& id) {
  auto t = router::generate_transient_destination();
  EXPECT_TRUE(t) << (t ? "" : to_string(t.error()));
  if (!t) return router::SamSession{};
  return router::build_client_session(r, id, *t);
}

inline Bytes random_of(std::size_t n) {
  auto b = ntcp2_net::random_bytes(n);
  EXPECT_TRUE(b);
  return b.value_or(Bytes(n, 0x5A));
}

// One side of a stream: what it has to send and what it received.
struct Pump {
  streaming::ConnectionPtr connection;
  Bytes to_send;
  std::size_t sent = 0;
  Bytes received;

  // Writes what the window takes and reads what arrived; the stream pass of the router
  // sends it.
  void step(std::uint64_t now_ms) {
    if (!connection) return;
    if (connection->state == streaming::StreamState::Established && sent < to_send.size()) {
      auto n = connection->write(ByteView(to_send).subspan(sent), now_ms);
      if (n) sent += *n;
    }
    const Bytes got = connection->read_available();
    received.insert(received.end(), got.begin(), got.end());
  }
};

// Routers 0 and 1, each with an outbound and an inbound tunnel through the other; alice on
// router 0, bob on router 1, bob's LeaseSet2 known to router 0 (as a lookup leaves it).
struct TwoDestinations {
  test_support::TestNetwork net;
  router::SamSession* alice = nullptr;
  router::SamSession* bob = nullptr;

  static TwoDestinations create(bool debug = false) {
    TwoDestinations t;
    auto net = test_support::TestNetwork::create({.routers = 2, .debug = debug});
    EXPECT_TRUE(net) << (net ? "" : to_string(net.error()));
    t.net = std::move(*net);
    for (std::size_t owner : {0u, 1u}) {
      const std::size_t other = 1 - owner;
      EXPECT_TRUE(t.net.install_tunnel(owner, {other}, /*outbound=*/true));
      EXPECT_TRUE(t.net.install_tunnel(owner, {other}, /*outbound=*/false));
    }
    t.net[0].sessions.push_back(stream_session(t.net[0], "alice"));
    t.net[1].sessions.push_back(stream_session(t.net[1], "bob"));
    t.alice = &t.net[0].sessions.back();
    t.bob = &t.net[1].sessions.back();
    const ntcp2_net::Now now = ntcp2_net::read_now();
    auto bob_ls = t.net[1].build_session_leaseset2(*t.bob, now);
    EXPECT_TRUE(bob_ls);
    if (bob_ls) {
      EXPECT_TRUE(t.net[0].netdb.store_lease_set2(*bob_ls, now.wall_s()));
    }
    return t;
  }

  // Steps both routers' links and stream passes, the pumps of each router's side before
  // its pass, until the condition holds or limit_ms pass.
  bool run(std::vector<Pump*> alice_side, std::vector<Pump*> bob_side, const std::function<bool()>& condition,
           int limit_ms) {
    return net.run_until(condition, limit_ms, [&](router::Router& r, const ntcp2_net::Now& now) {
      for (Pump* p : (&r == &net[0] ? alice_side : bob_side)) p->step(now.mono_ms);
      r.step_ntcp2_peers(now);
      r.step_stream_connections(now);
    });
  }
};

}  // namespace streaming_test
