// The loop's wait, beside the wait it replaced (each idle pass waiting 10 ms on the SAM
// listener alone), in the same run:
//   BM_IdleRouterCpu - one router with nothing to do runs its loop for 3 s of wall time;
//       "cpu_ms_per_10s" is the processor time its thread used, scaled to 10 s, and
//       "wakes_per_s" the passes it made.
//   BM_LoopRoundTrip - a small message leaves router A through its outbound tunnel [B, C]
//       and C hands it back to A: three links, each router running its own loop on its own
//       thread as separate processes would. "rtt_us" is the mean time from the send until
//       A has read the message back.
// wait:0 is the replaced wait, wait:1 the loop's poll over every socket it reads.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "cmd/router/startup.h"
#include "ntcp2_net/glue.h"
#include "router/router.h"
#include "tests/support/test_network.h"
#include "bench/tunnel_ring.h"

namespace {

using clock_type = std::chrono::steady_clock;
using bench_support::session_with;
using test_support::TestNetwork;

// One pass and the wait of the loop before this one: 10 ms on the SAM listener alone.
void replaced_step(router::Router& r, const ntcp2_net::Now& now) {
  if (r.step_pass(now)) return;
  auto accepted = r.sam_listener.accept(10);
  if (!accepted) {
    ntcp2_net::idle_wait(10);
  } else if (*accepted) {
    r.push_sam_client(std::move(**accepted));
  }
}

void loop_step(router::Router& r, bool polled) {
  const ntcp2_net::Now now = ntcp2_net::read_now();
  if (polled) {
    r.step(now);
  } else {
    replaced_step(r, now);
  }
}

double thread_cpu_ms() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

void BM_IdleRouterCpu(benchmark::State& state) {
  const bool polled = state.range(0) != 0;
  router::StartOptions options;
  options.sam_port = 0;
  options.public_mode = state.range(1) != 0;
  // The program's router: the services' and the torrent engine's parts join its wait.
  auto r = router::Router::start(options);
  if (!r || !cmd_router::add_loop_parts(*r)) {
    state.SkipWithError("router failed to start");
    return;
  }
  constexpr auto kWall = std::chrono::seconds(3);
  double cpu_ms = 0;
  double wall_s = 0;
  std::uint64_t passes = 0;
  for (auto _ : state) {
    const double cpu0 = thread_cpu_ms();
    const auto t0 = clock_type::now();
    while (clock_type::now() - t0 < kWall) {
      loop_step(*r, polled);
      ++passes;
    }
    wall_s += std::chrono::duration<double>(clock_type::now() - t0).count();
    cpu_ms += thread_cpu_ms() - cpu0;
  }
  r->close();
  state.counters["cpu_ms_per_10s"] = cpu_ms / wall_s * 10;
  state.counters["wakes_per_s"] = static_cast<double>(passes) / wall_s;
}
BENCHMARK(BM_IdleRouterCpu)
    ->ArgNames({"wait", "public"})
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({0, 1})
    ->Args({1, 1})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Wakes a router's loop (a client on its SAM listener), so that its thread sees the stop.
void nudge(const router::Router& r) {
  const std::string host = "127.0.0.1";
  const int fd = ondrel_i2p_net_tcp_connect(reinterpret_cast<const std::uint8_t*>(host.data()),
                                            static_cast<std::int32_t>(host.size()), r.sam_listener.port);
  if (fd >= 0) ondrel_i2p_net_tcp_close(fd);
}

void BM_LoopRoundTrip(benchmark::State& state) {
  const bool polled = state.range(0) != 0;
  constexpr std::size_t A = bench_support::kRingA, B = bench_support::kRingB, C = bench_support::kRingC;
  std::string error;
  auto ring = bench_support::tunnel_ring(error);
  if (!ring) {
    state.SkipWithError(error.c_str());
    return;
  }
  TestNetwork& net = ring->net;
  const std::uint32_t outbound = ring->outbound;
  // Messages that arrive at A from C: the message back.
  const std::uint64_t& at_a = session_with(net[A], net.hash(C))->messages_received;

  // B and C run their loops on their own threads from here on; A runs on this one.
  std::atomic<bool> stop{false};
  std::jthread b_loop([&] {
    while (!stop.load(std::memory_order_relaxed)) loop_step(net[B], polled);
  });
  std::jthread c_loop([&] {
    while (!stop.load(std::memory_order_relaxed)) loop_step(net[C], polled);
  });

  const i2np::I2npPayload small{i2np::I2npPayload::Data{Bytes(32, 0x42)}};
  const tunnel::TunnelDelivery back_to_a{tunnel::TunnelDelivery::Router{net.hash(A)}};
  double total_s = 0;
  bool lost = false;
  for (auto _ : state) {
    const auto t0 = clock_type::now();
    const std::uint64_t want = at_a + 1;
    if (!net[A].send_through_tunnel(outbound, back_to_a, small, std::nullopt, ntcp2_net::read_now())) {
      lost = true;
      break;
    }
    while (at_a < want) {
      if (clock_type::now() - t0 > std::chrono::seconds(10)) break;
      loop_step(net[A], polled);
    }
    if (at_a < want) {
      lost = true;
      break;
    }
    total_s += std::chrono::duration<double>(clock_type::now() - t0).count();
  }
  stop = true;
  nudge(net[B]);
  nudge(net[C]);
  b_loop.join();
  c_loop.join();
  if (lost) {
    state.SkipWithError("a message was lost");
    return;
  }
  state.counters["rtt_us"] = total_s / static_cast<double>(state.iterations()) * 1e6;
}
BENCHMARK(BM_LoopRoundTrip)
    ->ArgNames({"wait"})
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->MinTime(2.0);

}  // namespace
