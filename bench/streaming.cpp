// One stream between destinations on two routers of the in-process test network, beside
// the same bytes sent as plain tunnel messages along the same path, in the same run.
//
// Each router has an outbound and an inbound tunnel of one hop through the other. Alice
// (router 0) streams 1 MiB to bob (router 1): data packets of 1,730 bytes, each in its own
// garlic message, out through router 0's outbound tunnel to the gateway of bob's lease and
// in through router 1's inbound tunnel; bob's acknowledgements come back the same way.
//
//   stream - 1 MiB of random bytes written into alice's connection as the window allows and read by bob,
//            until bob has it all.
//   plain  - the same 1 MiB in 1,730-byte pieces, each a Garlic message of the size the
//            stream's garlic messages have, sent by router 0 to the same lease (the same
//            tunnels and links), at most 32 in flight; router 1 counts them where garlic
//            arrives and opens none.
// Reported: MB/s of payload for both and ratio = stream speed / plain speed.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "crypto/ed25519.h"
#include "ntcp2_net/random.h"
#include "router/destinations.h"
#include "router/id_counters.h"
#include "router/router.h"
#include "streaming/manager.h"
#include "tests/support/test_network.h"

namespace {

using clock_type = std::chrono::steady_clock;
using test_support::TestNetwork;

constexpr std::size_t kBytes = 1024 * 1024;
constexpr std::size_t kPiece = 1730;
constexpr std::size_t kPlainInFlight = 32;
constexpr std::uint8_t kPlainMark = 0xE7;  // first 8 bytes of every plain message

std::optional<router::SamSession> stream_session(router::Router& r, const std::string& id) {
  auto t = router::generate_transient_destination();
  if (!t) return std::nullopt;
  router::SamSession s;
  s.id = id;
  s.destination = t->destination;
  s.dest_hash = t->destination.keys_and_cert.hash();
  s.tunnel_id = static_cast<std::int32_t>(router::take_id(r.next_tunnel_id));
  s.x25519_public = t->encryption_keypair.public_key;
  s.signing_key = crypto::ed25519_signing_key(t->signing_key).value();
  s.ratchet = ratchet::RatchetSessionManager::create(t->encryption_keypair);
  s.streams = streaming::StreamManager::create(t->destination, *s.signing_key, router::take_id(r.next_stream_id_seed));
  return s;
}

// What arrives as garlic at router 1: plain messages are counted and dropped, the stream's
// pass on (their largest size noted).
struct Arrivals {
  std::size_t plain = 0;
  std::size_t largest_stream_garlic = 0;
};

bool is_plain(ByteView garlic) {
  return garlic.size() >= 8 && std::all_of(garlic.begin(), garlic.begin() + 8, [](std::uint8_t b) { return b == kPlainMark; });
}

void step_both(TestNetwork& net) {
  const ntcp2_net::Now now = ntcp2_net::read_now();
  for (std::size_t i = 0; i < net.size(); ++i) {
    net[i].step_ntcp2_peers(now);
    net[i].step_stream_connections(now);
  }
}

void BM_StreamVsPlainTunnelMessages(benchmark::State& state) {
  auto created = TestNetwork::create({.routers = 2});
  if (!created) {
    state.SkipWithError("test network failed to start");
    return;
  }
  TestNetwork net = std::move(*created);
  for (std::size_t owner : {0u, 1u}) {
    if (!net.install_tunnel(owner, {1 - owner}, true) || !net.install_tunnel(owner, {1 - owner}, false)) {
      state.SkipWithError("tunnel install failed");
      return;
    }
  }
  auto alice_session = stream_session(net[0], "alice");
  auto bob_session = stream_session(net[1], "bob");
  if (!alice_session || !bob_session) {
    state.SkipWithError("destinations failed");
    return;
  }
  net[0].sessions.push_back(std::move(*alice_session));
  net[1].sessions.push_back(std::move(*bob_session));
  router::SamSession& alice = net[0].sessions.back();
  router::SamSession& bob = net[1].sessions.back();
  auto bob_ls = net[1].build_session_leaseset2(bob, ntcp2_net::read_now());
  if (!bob_ls || !net[0].netdb.store_lease_set2(*bob_ls, ntcp2_net::read_now().wall_s())) {
    state.SkipWithError("bob's LeaseSet2 failed");
    return;
  }
  const common::Lease2 lease = bob_ls->leases.front();

  auto arrivals = std::make_shared<Arrivals>();
  net[1].garlic_arrival_tap = [arrivals](ByteView garlic) {
    std::vector<Bytes> out;
    if (is_plain(garlic)) {
      ++arrivals->plain;
    } else {
      arrivals->largest_stream_garlic = std::max(arrivals->largest_stream_garlic, garlic.size());
      out.emplace_back(garlic.begin(), garlic.end());
    }
    return out;
  };

  // The stream, opened before timing.
  auto opened = alice.streams->connect(bob.dest_hash, ntcp2_net::read_now().mono_ms, 0, 0);
  if (!opened) {
    state.SkipWithError("connect failed");
    return;
  }
  streaming::ConnectionPtr out = *opened;
  streaming::ConnectionPtr in;
  const auto deadline = clock_type::now() + std::chrono::seconds(10);
  while (!in || out->state != streaming::StreamState::Established) {
    if (clock_type::now() > deadline) {
      state.SkipWithError("the stream did not open");
      return;
    }
    step_both(net);
    if (!in && !bob.streams->accept_queue.empty()) {
      in = bob.streams->accept_queue.front();
      bob.streams->accept_queue.pop_front();
    }
  }

  // Random bytes: the envelope's compression gains nothing, as with most real traffic.
  auto random = ntcp2_net::random_bytes(kBytes);
  if (!random) {
    state.SkipWithError("random bytes failed");
    return;
  }
  const Bytes data = std::move(*random);
  double stream_s = 0, plain_s = 0;
  for (auto _ : state) {
    const auto t0 = clock_type::now();
    std::size_t written = 0, received = 0;
    const auto stream_deadline = t0 + std::chrono::seconds(60);
    while (received < kBytes) {
      if (clock_type::now() > stream_deadline) {
        state.SkipWithError("the stream stalled");
        return;
      }
      if (written < kBytes) {
        auto n = out->write(ByteView(data).subspan(written), ntcp2_net::read_now().mono_ms);
        if (n) written += *n;
      }
      step_both(net);
      received += in->read_available().size();
    }
    const auto t1 = clock_type::now();

    // The same bytes as plain tunnel messages on the same path.
    Bytes plain(std::max(arrivals->largest_stream_garlic, kPiece), 0x5D);
    std::fill_n(plain.begin(), 8, kPlainMark);
    const i2np::I2npPayload message{i2np::I2npPayload::Garlic{plain}};
    const std::size_t pieces = (kBytes + kPiece - 1) / kPiece;
    const std::size_t start = arrivals->plain;
    std::size_t sent = 0;
    const auto plain_deadline = clock_type::now() + std::chrono::seconds(60);
    while (arrivals->plain - start < pieces) {
      if (clock_type::now() > plain_deadline) {
        state.SkipWithError("plain tunnel messages were lost");
        return;
      }
      while (sent < pieces && sent - (arrivals->plain - start) < kPlainInFlight) {
        net[0].send_routed_i2np(lease.gateway, lease.tunnel_id, message, ntcp2_net::read_now());
        ++sent;
      }
      step_both(net);
    }
    const auto t2 = clock_type::now();
    stream_s += std::chrono::duration<double>(t1 - t0).count();
    plain_s += std::chrono::duration<double>(t2 - t1).count();
  }
  const double bytes = static_cast<double>(state.iterations()) * static_cast<double>(kBytes);
  state.counters["stream_MBps"] = bytes / stream_s / 1e6;
  state.counters["plain_MBps"] = bytes / plain_s / 1e6;
  state.counters["ratio"] = plain_s / stream_s;
  state.counters["garlic_bytes"] = static_cast<double>(arrivals->largest_stream_garlic);
}
BENCHMARK(BM_StreamVsPlainTunnelMessages)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace
