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
//
// Beside them, what the tunnel path cannot do without, timed in the same run with the
// routers' own functions, per message: tunnel_only_us, the work only the tunnel has (the
// message's checksum written at A and checked at C, its cells cut with their checksums,
// two layers removed at A and one added at B and at C, the cells' checksums checked at C);
// link_crypto_us, sealing and opening the cells' link frames on the three link hops. And
// ceiling = direct time / (both): the ratio of a tunnel that did nothing else, with
// sockets, copies and bookkeeping free; no tunnel built from these steps gets above it.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <vector>

#include "crypto/chacha20_poly1305.h"
#include "i2np/message.h"
#include "router/router.h"
#include "tunnel/cell.h"
#include "tunnel/layer.h"
#include "tests/support/test_network.h"
#include "bench/tunnel_ring.h"

namespace {

using clock_type = std::chrono::steady_clock;
using bench_support::session_with;
using test_support::TestNetwork;

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

// The tunnel-only work for one message as described above; false if a step failed.
struct TunnelOnlyWork {
  tunnel::LayerDecryptKeys gateway_b = tunnel::LayerDecryptKeys::expand(key(1), key(2));
  tunnel::LayerDecryptKeys gateway_c = tunnel::LayerDecryptKeys::expand(key(3), key(4));
  tunnel::LayerEncryptKeys hop_b = tunnel::LayerEncryptKeys::expand(key(1), key(2));
  tunnel::LayerEncryptKeys hop_c = tunnel::LayerEncryptKeys::expand(key(3), key(4));

  static tunnel::Key32 key(std::uint8_t v) {
    tunnel::Key32 k;
    k.fill(v);
    return k;
  }

  bool run(const i2np::I2npPayload& message, const tunnel::TunnelDelivery& delivery, std::size_t& cell_count) const {
    auto encoded = i2np::encode_standard_message(7, 0, message);  // the checksum at A
    if (!encoded) return false;
    const Bytes iv(16, 0x11), padding(1024, 0x22);
    auto cells = tunnel::fragment_message_to_cells(delivery, 7, *encoded, iv, padding);
    if (!cells) return false;
    cell_count = cells->size();
    std::vector<std::uint8_t*> at;
    for (Bytes& c : *cells) at.push_back(c.data());
    const auto with = [&](const auto& k) { return std::vector<std::remove_cvref_t<decltype(&k)>>(at.size(), &k); };
    tunnel::remove_layers(with(gateway_c), at);  // A, for C
    tunnel::remove_layers(with(gateway_b), at);  // A, for B
    tunnel::add_layers(with(hop_b), at);         // B
    tunnel::add_layers(with(hop_c), at);         // C
    std::vector<ByteView> views(cells->begin(), cells->end());
    const auto flags = std::make_unique<bool[]>(views.size());
    tunnel::check_cell_checksums(views, std::span<bool>(flags.get(), views.size()));  // C
    for (std::size_t i = 0; i < views.size(); ++i) {
      if (!flags[i]) return false;
    }
    encoding::Reader reader(*encoded);
    return i2np::decode_standard_message(reader).has_value();  // the checksum at C
  }

  // The cells' link frames (I2NP blocks of TunnelData, up to 16 KiB of blocks to a frame)
  // sealed and opened on each of the three link hops.
  bool link_crypto(std::size_t cell_count, Bytes& buf) const {
    constexpr std::size_t kBlock = 3 + 9 + 4 + 1024, kPerFrame = 16384 / kBlock * kBlock;
    const Bytes link_key(32, 0x33), nonce(12, 0);
    const std::size_t total = cell_count * kBlock;
    for (int hop = 0; hop < 3; ++hop) {
      for (std::size_t at = 0; at < total; at += kPerFrame) {
        const std::size_t len = std::min(kPerFrame, total - at);
        buf.resize(len + 16);
        if (!crypto::aead_chacha20_poly1305_encrypt_into(link_key, nonce, {}, ByteView(buf).first(len), buf))
          return false;
        if (!crypto::aead_chacha20_poly1305_decrypt_into(link_key, nonce, {}, buf, std::span(buf).first(len))) {
          return false;
        }
      }
    }
    return true;
  }
};

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
  const TunnelOnlyWork work;
  std::size_t cells = 0;
  Bytes link_buf;
  double tunnel_s = 0, direct_s = 0, work_s = 0, link_s = 0;
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
    for (std::size_t i = 0; i < batch; ++i) {
      if (!work.run(message, back_to_a, cells)) {
        state.SkipWithError("the tunnel-only work failed");
        return;
      }
    }
    const auto t3 = clock_type::now();
    for (std::size_t i = 0; i < batch; ++i) {
      if (!work.link_crypto(cells, link_buf)) {
        state.SkipWithError("the link crypto failed");
        return;
      }
    }
    const auto t4 = clock_type::now();
    tunnel_s += std::chrono::duration<double>(t1 - t0).count();
    direct_s += std::chrono::duration<double>(t2 - t1).count();
    work_s += std::chrono::duration<double>(t3 - t2).count();
    link_s += std::chrono::duration<double>(t4 - t3).count();
  }
  const double n = static_cast<double>(state.iterations() * batch);
  state.counters["msgs_per_s"] = n / tunnel_s;
  state.counters["MBps"] = n * static_cast<double>(size) / tunnel_s / 1e6;
  state.counters["direct_msgs_per_s"] = n / direct_s;
  state.counters["direct_MBps"] = n * static_cast<double>(size) / direct_s / 1e6;
  state.counters["ratio"] = direct_s / tunnel_s;
  state.counters["tunnel_only_us"] = work_s / n * 1e6;
  state.counters["link_crypto_us"] = link_s / n * 1e6;
  state.counters["ceiling"] = direct_s / (work_s + link_s);
}
BENCHMARK(BM_TunnelVsDirect)->Arg(1024)->Arg(16384)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
