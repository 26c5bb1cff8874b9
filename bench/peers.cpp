// NTCP2 peer management between routers of the in-process test network, beside the
// floor of the same work in the same run:
// - I2NP throughput: 1 KiB TunnelData messages from one router to the other, against the
//   same frames sealed and opened with OpenSSL's ChaCha20-Poly1305 and moved through a plain
//   loopback TCP connection in large writes (no framing, no per-message syscalls, no router
//   bookkeeping);
// - one NTCP2 pass of a router over 100 idle sessions (to 100 other routers), against one
//   non-waiting recv() per socket.
// "ratio" = our speed / the floor's speed.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <chrono>
#include <cstdint>

#include "bench/loopback_pair.h"
#include "router/router.h"
#include "tests/support/test_network.h"

namespace {

using clock_type = std::chrono::steady_clock;
using bench_support::loopback_pair;
using test_support::TestNetwork;

constexpr int kBatch = 64;
// Length field, MAC, block header, short header, tunnel id and the 1024-byte cell.
constexpr std::size_t kWireBytesPerMessage = 2 + 16 + 3 + 9 + 4 + 1024;

// Moves n bytes from one socket to the other on this thread, never waiting on either.
void pump_raw(int from, int to, const Bytes& data, Bytes& sink) {
  std::size_t sent = 0, received = 0;
  while (received < data.size()) {
    if (sent < data.size()) {
      const ssize_t n = ::send(from, data.data() + sent, data.size() - sent, MSG_DONTWAIT);
      if (n > 0) sent += static_cast<std::size_t>(n);
    }
    const ssize_t m = ::recv(to, sink.data(), sink.size(), MSG_DONTWAIT);
    if (m > 0) received += static_cast<std::size_t>(m);
  }
}

// Seals and opens one frame body with OpenSSL's ChaCha20-Poly1305, as both ends of a link do.
bool openssl_seal_open(EVP_CIPHER_CTX* ctx, const Bytes& key, std::uint64_t counter, const Bytes& plain, Bytes& sealed,
                       Bytes& opened) {
  std::uint8_t nonce[12] = {};
  for (int i = 0; i < 8; ++i) nonce[4 + i] = static_cast<std::uint8_t>(counter >> (8 * i));
  int len = 0, fin = 0;
  sealed.resize(plain.size() + 16);
  opened.resize(plain.size());
  if (EVP_EncryptInit_ex(ctx, EVP_chacha20_poly1305(), nullptr, key.data(), nonce) != 1 ||
      EVP_EncryptUpdate(ctx, sealed.data(), &len, plain.data(), static_cast<int>(plain.size())) != 1 ||
      EVP_EncryptFinal_ex(ctx, sealed.data() + len, &fin) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, 16, sealed.data() + plain.size()) != 1) {
    return false;
  }
  if (EVP_DecryptInit_ex(ctx, EVP_chacha20_poly1305(), nullptr, key.data(), nonce) != 1 ||
      EVP_DecryptUpdate(ctx, opened.data(), &len, sealed.data(), static_cast<int>(plain.size())) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, 16, sealed.data() + plain.size()) != 1) {
    return false;
  }
  return EVP_DecryptFinal_ex(ctx, opened.data() + len, &fin) == 1;
}

// Router 0 with a link to each of `links` other routers. A router keeps one session per
// peer and direction (a newer one replaces the older), so every link needs its own peer.
TestNetwork linked_routers(benchmark::State& state, std::size_t links) {
  auto net = TestNetwork::create({.routers = links + 1});
  if (!net) {
    state.SkipWithError("test network failed to start");
    return TestNetwork{};
  }
  for (std::size_t i = 1; i <= links; ++i) {
    (*net)[0].ensure_peer_dial(net->hash(i), ntcp2_net::read_now());
    if (!net->run_until([&] { return (*net)[0].peer_sessions.size() == i; }, 5000, TestNetwork::peers_step)) {
      state.SkipWithError("link did not come up");
      return TestNetwork{};
    }
  }
  return std::move(*net);
}

void BM_TunnelDataBetweenRouters(benchmark::State& state) {
  TestNetwork net = linked_routers(state, 1);
  if (net.size() == 0) return;
  const auto [client, server] = loopback_pair();
  if (client < 0) {
    state.SkipWithError("loopback pair failed");
    return;
  }
  const i2np::I2npPayload message{i2np::I2npPayload::TunnelData{12345, Bytes(1024, 0x6B)}};
  const Bytes raw(kBatch * kWireBytesPerMessage, 0x6B);
  const Bytes key(32, 0x11), frame_body(kWireBytesPerMessage - 2 - 16, 0x6B);
  Bytes sealed, opened, sink(65536);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  std::uint64_t counter = 0;
  const common::Hash to = net.hash(1);
  double ours_s = 0, raw_s = 0;
  for (auto _ : state) {
    auto t0 = clock_type::now();
    auto& received = net[1].peer_sessions[0].conn.session.recv_cipher.n;
    const std::uint64_t target = received + kBatch;
    const ntcp2_net::Now now = ntcp2_net::read_now();
    for (int i = 0; i < kBatch; ++i) net[0].send_i2np_to_peer(to, message, now);
    while (received < target) {
      const ntcp2_net::Now pass = ntcp2_net::read_now();
      net[0].step_ntcp2_peers(pass);
      net[1].step_ntcp2_peers(pass);
    }
    auto t1 = clock_type::now();
    for (int i = 0; i < kBatch; ++i) {
      if (!openssl_seal_open(ctx, key, counter++, frame_body, sealed, opened)) state.SkipWithError("OpenSSL failed");
    }
    pump_raw(client, server, raw, sink);
    auto t2 = clock_type::now();
    ours_s += std::chrono::duration<double>(t1 - t0).count();
    raw_s += std::chrono::duration<double>(t2 - t1).count();
  }
  EVP_CIPHER_CTX_free(ctx);
  ::close(client);
  ::close(server);
  const double n = static_cast<double>(state.iterations()) * kBatch;
  state.counters["msgs_per_s"] = n / ours_s;
  state.counters["MBps"] = n * 1024 / ours_s / 1e6;
  state.counters["floor_MBps"] = n * 1024 / raw_s / 1e6;
  state.counters["ratio"] = raw_s / ours_s;
}
BENCHMARK(BM_TunnelDataBetweenRouters)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_IdlePass100Sessions(benchmark::State& state) {
  TestNetwork net = linked_routers(state, 100);
  if (net.size() == 0) return;
  std::vector<int> fds;
  for (const auto& s : net[0].peer_sessions) fds.push_back(s.conn.socket.fd);
  std::uint8_t byte = 0;
  double ours_s = 0, floor_s = 0;
  for (auto _ : state) {
    auto t0 = clock_type::now();
    benchmark::DoNotOptimize(net[0].step_ntcp2_peers(ntcp2_net::read_now()));
    auto t1 = clock_type::now();
    for (int fd : fds) benchmark::DoNotOptimize(::recv(fd, &byte, 1, MSG_DONTWAIT | MSG_PEEK));
    auto t2 = clock_type::now();
    ours_s += std::chrono::duration<double>(t1 - t0).count();
    floor_s += std::chrono::duration<double>(t2 - t1).count();
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["pass_us"] = ours_s / n * 1e6;
  state.counters["recv_floor_us"] = floor_s / n * 1e6;
  state.counters["ratio"] = floor_s / ours_s;
}
BENCHMARK(BM_IdlePass100Sessions)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
