// The round trip of small I2NP messages between two routers of the in-process test network
// over loopback, with Nagle's algorithm on (TCP_NODELAY off) and off (TCP_NODELAY on), beside
// the same exchange of raw bytes over a plain loopback TCP pair with the same setting.
//   burst 1: one message there, one back (a request and its answer);
//   burst 2: two messages there, then one back (a message followed by another before the
//            peer answers, as a stream's data and its acknowledgement request are).
// "rtt_us" is the mean time of one exchange; "floor_rtt_us" the raw pair's.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <chrono>
#include <cstdint>

#include "ntcp2_net/glue.h"
#include "bench/loopback_pair.h"
#include "router/router.h"
#include "tests/support/test_network.h"

namespace {

using clock_type = std::chrono::steady_clock;
using bench_support::loopback_pair;
using test_support::TestNetwork;

// Waits for exactly n bytes on fd (never waiting inside recv).
void read_exactly(int fd, std::size_t n) {
  std::uint8_t buf[4096];
  while (n > 0) {
    const ssize_t k = ::recv(fd, buf, std::min(n, sizeof buf), MSG_DONTWAIT);
    if (k > 0) n -= static_cast<std::size_t>(k);
  }
}

void BM_SmallMessageRoundTrip(benchmark::State& state) {
  const bool nodelay = state.range(0) != 0;
  const int burst = static_cast<int>(state.range(1));
  auto created = TestNetwork::create({.routers = 2});
  if (!created) {
    state.SkipWithError("test network failed to start");
    return;
  }
  TestNetwork net = std::move(*created);
  net[0].ensure_peer_dial(net.hash(1), ntcp2_net::read_now());
  if (!net.run_until([&] { return !net[0].peer_sessions.empty() && !net[1].peer_sessions.empty(); }, 5000,
                     TestNetwork::peers_step)) {
    state.SkipWithError("link did not come up");
    return;
  }
  for (int i = 0; i < 2; ++i) {
    (void)ondrel_i2p_net_tcp_set_nodelay(net[i].peer_sessions[0].conn.socket.fd, nodelay ? 1 : 0);
  }
  const auto [client, server] = loopback_pair();
  if (client < 0) {
    state.SkipWithError("loopback pair failed");
    return;
  }
  for (int fd : {client, server}) {
    int value = nodelay ? 1 : 0;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, sizeof value);
  }

  // A small message: Data with 32 bytes, 66 bytes on the wire.
  const i2np::I2npPayload small{i2np::I2npPayload::Data{Bytes(32, 0x42)}};
  constexpr std::size_t kWire = 2 + 16 + 3 + 9 + 4 + 32;
  const Bytes raw(kWire, 0x42);
  const common::Hash to1 = net.hash(1), to0 = net.hash(0);
  double ours_s = 0, floor_s = 0;
  for (auto _ : state) {
    auto t0 = clock_type::now();
    auto& at1 = net[1].peer_sessions[0].conn.session.recv_cipher.n;
    auto& at0 = net[0].peer_sessions[0].conn.session.recv_cipher.n;
    const std::uint64_t want1 = at1 + static_cast<std::uint64_t>(burst), want0 = at0 + 1;
    for (int i = 0; i < burst; ++i) net[0].send_i2np_to_peer(to1, small, ntcp2_net::read_now());
    while (at1 < want1) {
      const ntcp2_net::Now now = ntcp2_net::read_now();
      net[0].step_ntcp2_peers(now);
      net[1].step_ntcp2_peers(now);
    }
    net[1].send_i2np_to_peer(to0, small, ntcp2_net::read_now());
    while (at0 < want0) {
      const ntcp2_net::Now now = ntcp2_net::read_now();
      net[1].step_ntcp2_peers(now);
      net[0].step_ntcp2_peers(now);
    }
    auto t1 = clock_type::now();
    for (int i = 0; i < burst; ++i) (void)::send(client, raw.data(), raw.size(), 0);
    read_exactly(server, raw.size() * static_cast<std::size_t>(burst));
    (void)::send(server, raw.data(), raw.size(), 0);
    read_exactly(client, raw.size());
    auto t2 = clock_type::now();
    ours_s += std::chrono::duration<double>(t1 - t0).count();
    floor_s += std::chrono::duration<double>(t2 - t1).count();
  }
  ::close(client);
  ::close(server);
  const double n = static_cast<double>(state.iterations());
  state.counters["rtt_us"] = ours_s / n * 1e6;
  state.counters["floor_rtt_us"] = floor_s / n * 1e6;
}
BENCHMARK(BM_SmallMessageRoundTrip)
    ->ArgNames({"nodelay", "burst"})
    ->Args({0, 1})
    ->Args({1, 1})
    ->Args({0, 2})
    ->Args({1, 2})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->MinTime(1.0);

}  // namespace
