#pragma once
// Two routers of the in-process test network, each with an outbound and an inbound tunnel
// of one hop through the other; alice (router 0) holds an open stream to bob (router 1),
// and garlic arriving at router 1 passes a tap that counts the plain tunnel messages of a
// reference run (marked by their first 8 bytes) and lets the stream's through.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "ntcp2_net/random.h"
#include "router/destinations.h"
#include "router/router.h"
#include "services/client_sessions.h"
#include "streaming/manager.h"
#include "tests/support/test_network.h"

namespace bench_support {

inline constexpr std::uint8_t kPlainMark = 0xE7;  // first 8 bytes of every plain message

// A client session as client services make one: transient keys, ratchet and streams.
inline std::optional<router::SamSession> stream_session(router::Router& r, const std::string& id) {
  auto t = router::generate_transient_destination();
  if (!t) return std::nullopt;
  return router::build_client_session(r, id, *t);
}

// What arrives as garlic at a router: plain messages are counted and dropped, the stream's
// pass on (counted, and how many had each size).
struct Arrivals {
  std::size_t plain = 0;
  std::size_t stream = 0;
  std::map<std::size_t, std::size_t> stream_garlic_sizes;

  // The size most of the stream's garlic messages had: a full data packet's.
  std::size_t typical_stream_garlic() const {
    std::size_t best = 0, count = 0;
    for (const auto& [size, n] : stream_garlic_sizes) {
      if (n > count) best = size, count = n;
    }
    return best;
  }
};

inline bool is_plain(ByteView garlic) {
  return garlic.size() >= 8 &&
         std::all_of(garlic.begin(), garlic.begin() + 8, [](std::uint8_t b) { return b == kPlainMark; });
}

struct StreamPair {
  test_support::TestNetwork net;
  router::SamSession* alice = nullptr;
  router::SamSession* bob = nullptr;
  common::Lease2 bob_lease;
  streaming::ConnectionPtr out;  // alice's end
  streaming::ConnectionPtr in;   // bob's end
  std::shared_ptr<Arrivals> at_alice = std::make_shared<Arrivals>();
  std::shared_ptr<Arrivals> at_bob = std::make_shared<Arrivals>();

  // The plain reference message: a Garlic message the size of the stream's full packets.
  i2np::I2npPayload plain_message(std::size_t at_least) const {
    Bytes plain(std::max(at_bob->typical_stream_garlic(), at_least), 0x5D);
    std::fill_n(plain.begin(), 8, kPlainMark);
    return i2np::I2npPayload{i2np::I2npPayload::Garlic{std::move(plain)}};
  }
};

inline void tap_arrivals(router::Router& r, const std::shared_ptr<Arrivals>& arrivals) {
  r.garlic_arrival_tap = [arrivals](ByteView garlic) {
    std::vector<Bytes> out;
    if (is_plain(garlic)) {
      ++arrivals->plain;
    } else {
      ++arrivals->stream;
      if (arrivals->stream_garlic_sizes.size() < 64 || arrivals->stream_garlic_sizes.contains(garlic.size())) {
        ++arrivals->stream_garlic_sizes[garlic.size()];
      }
      out.emplace_back(garlic.begin(), garlic.end());
    }
    return out;
  };
}

// The network, the destinations and the open stream; an error skips the benchmark and
// gives nothing. step(net) makes one round of both routers.
template <typename Step>
std::optional<StreamPair> open_stream_pair(benchmark::State& state, Step&& step) {
  auto created = test_support::TestNetwork::create({.routers = 2});
  if (!created) {
    state.SkipWithError("test network failed to start");
    return std::nullopt;
  }
  std::optional<StreamPair> p(std::in_place);
  p->net = std::move(*created);
  test_support::TestNetwork& net = p->net;
  for (std::size_t owner : {0u, 1u}) {
    if (!net.install_tunnel(owner, {1 - owner}, true) || !net.install_tunnel(owner, {1 - owner}, false)) {
      state.SkipWithError("tunnel install failed");
      return std::nullopt;
    }
  }
  auto alice_session = stream_session(net[0], "alice");
  auto bob_session = stream_session(net[1], "bob");
  if (!alice_session || !bob_session) {
    state.SkipWithError("destinations failed");
    return std::nullopt;
  }
  net[0].sessions.push_back(std::move(*alice_session));
  net[1].sessions.push_back(std::move(*bob_session));
  p->alice = &net[0].sessions.back();
  p->bob = &net[1].sessions.back();
  auto bob_ls = net[1].build_session_leaseset2(*p->bob, ntcp2_net::read_now());
  if (!bob_ls || !net[0].netdb.store_lease_set2(*bob_ls, ntcp2_net::read_now().wall_s())) {
    state.SkipWithError("bob's LeaseSet2 failed");
    return std::nullopt;
  }
  p->bob_lease = bob_ls->leases.front();
  tap_arrivals(net[0], p->at_alice);
  tap_arrivals(net[1], p->at_bob);

  auto opened = p->alice->streams->connect(p->bob->dest_hash, ntcp2_net::read_now().mono_ms, 0, 0);
  if (!opened) {
    state.SkipWithError("connect failed");
    return std::nullopt;
  }
  p->out = *opened;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!p->in || p->out->state != streaming::StreamState::Established) {
    if (std::chrono::steady_clock::now() > deadline) {
      state.SkipWithError("the stream did not open");
      return std::nullopt;
    }
    step(*p);
    if (!p->in && !p->bob->streams->accept_queue.empty()) {
      p->in = p->bob->streams->accept_queue.front();
      p->bob->streams->accept_queue.pop_front();
    }
  }
  return p;
}

}  // namespace bench_support
