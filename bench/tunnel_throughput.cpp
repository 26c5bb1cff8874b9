// Messages through a two-hop tunnel between three routers of the in-process test network,
// beside the same messages sent directly over one link, in the same run.
//
//   tunnel - A sends each Data message through its outbound tunnel [B, C]: A cuts it into
//            cells and adds both hops' layers, B and C each remove one, and C, the
//            endpoint, joins the cells and hands the message back to A over its link
//            (Router delivery). Three link hops, two relays, reassembly.
//   direct - A sends the same message to C over their link: one link hop.
// Each batch waits until the last message has arrived. Reported: messages/s and MB/s of
// payload for both, and ratio = tunnel speed / direct speed.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>

#include "router/router.h"
#include "tests/support/test_network.h"
#include "bench/tunnel_ring.h"

namespace {

using clock_type = std::chrono::steady_clock;
using test_support::TestNetwork;
using bench_support::session_with;

constexpr std::size_t A = bench_support::kRingA, C = bench_support::kRingC;
// Batches stay well under a link's send queue limit.
constexpr std::size_t kBatchBytes = 65536;

// Steps all three routers' peer passes until the counter reaches target; false after 10 s
// without it (a lost message).
bool pump_until(TestNetwork& net, const std::uint64_t& counter, std::uint64_t target) {
  const auto deadline = clock_type::now() + std::chrono::seconds(10);
  while (counter < target) {
    if (clock_type::now() > deadline) return false;
    const ntcp2_net::Now now = ntcp2_net::read_now();
    for (std::size_t i = 0; i < net.size(); ++i) net[i].step_ntcp2_peers(now);
  }
  return true;
}

void BM_TunnelVsDirect(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  const std::size_t batch = kBatchBytes / size;
  std::string error;
  auto ring = bench_support::tunnel_ring(error);
  if (!ring) {
    state.SkipWithError(error.c_str());
    return;
  }
  TestNetwork& net = ring->net;
  const std::uint32_t outbound = ring->outbound;
  // Messages that arrive at A from C (tunnel deliveries) and at C from A (direct sends);
  // several may share a frame.
  const std::uint64_t& at_a = session_with(net[A], net.hash(C))->messages_received;
  const std::uint64_t& at_c = session_with(net[C], net.hash(A))->messages_received;

  const i2np::I2npPayload message{i2np::I2npPayload::Data{Bytes(size, 0x5C)}};
  const tunnel::TunnelDelivery back_to_a{tunnel::TunnelDelivery::Router{net.hash(A)}};
  double tunnel_s = 0, direct_s = 0;
  for (auto _ : state) {
    const auto t0 = clock_type::now();
    const std::uint64_t tunnel_target = at_a + batch;
    for (std::size_t i = 0; i < batch; ++i) {
      if (!net[A].send_through_tunnel(outbound, back_to_a, message, std::nullopt, ntcp2_net::read_now())) {
        state.SkipWithError("tunnel send failed");
        return;
      }
    }
    if (!pump_until(net, at_a, tunnel_target)) {
      state.SkipWithError("a tunnel message was lost");
      return;
    }
    const auto t1 = clock_type::now();
    const std::uint64_t direct_target = at_c + batch;
    for (std::size_t i = 0; i < batch; ++i) net[A].send_i2np_to_peer(net.hash(C), message, ntcp2_net::read_now());
    if (!pump_until(net, at_c, direct_target)) {
      state.SkipWithError("a direct message was lost");
      return;
    }
    const auto t2 = clock_type::now();
    tunnel_s += std::chrono::duration<double>(t1 - t0).count();
    direct_s += std::chrono::duration<double>(t2 - t1).count();
  }
  const double n = static_cast<double>(state.iterations() * batch);
  state.counters["msgs_per_s"] = n / tunnel_s;
  state.counters["MBps"] = n * static_cast<double>(size) / tunnel_s / 1e6;
  state.counters["direct_msgs_per_s"] = n / direct_s;
  state.counters["direct_MBps"] = n * static_cast<double>(size) / direct_s / 1e6;
  state.counters["ratio"] = direct_s / tunnel_s;
}
BENCHMARK(BM_TunnelVsDirect)->Arg(1024)->Arg(16384)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
