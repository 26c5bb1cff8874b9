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
// Reported: MB/s of payload for both and ratio = stream speed / plain speed. And, timed in
// the same run with the routers' own functions, the work a stream cannot leave out on top of
// the plain messages, per packet: the packet encoded into its envelope and read back out of
// it, one tag-set entry derived by each side, and the garlic payload sealed and opened
// (required_us). ceiling = plain time / (plain time + that work for every packet): the
// highest ratio a stream could reach if everything else it does were free.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>

#include "bench/stream_pair.h"
#include "crypto/chacha20_poly1305.h"
#include "encoding/i2cp_gzip.h"
#include "ratchet/key_schedule.h"
#include "streaming/packet.h"

namespace {

using bench_support::StreamPair;
using clock_type = std::chrono::steady_clock;

constexpr std::size_t kBytes = 1024 * 1024;
constexpr std::size_t kPiece = 1730;
constexpr std::size_t kPlainInFlight = 32;

// Seconds of the stream's required own work for `packets` full packets of `data`, each
// carried in a garlic message of garlic_bytes (see the top of this file).
double required_stream_work_s(ByteView data, std::size_t packets, std::size_t garlic_bytes) {
  ratchet::TagSet sender{}, receiver{};
  sender.tag_chain_key.fill(1);
  sender.key_chain_key.fill(2);
  receiver = sender;
  const std::size_t sealed_size = garlic_bytes - 8;  // after the session tag
  Bytes sealed(sealed_size), opened(sealed_size - 16);
  const std::array<std::uint8_t, 12> nonce{};
  streaming::StreamingPacket packet;
  packet.send_stream_id = 1;
  packet.receive_stream_id = 2;
  packet.ack_through = 1;
  std::size_t checked = 0;
  const auto t0 = clock_type::now();
  for (std::size_t i = 0; i < packets; ++i) {
    const std::size_t at = (i * kPiece) % (data.size() - kPiece);
    packet.seq = static_cast<std::uint32_t>(i + 1);
    packet.payload.assign(data.begin() + static_cast<std::ptrdiff_t>(at),
                          data.begin() + static_cast<std::ptrdiff_t>(at + kPiece));
    auto envelope = streaming::encode_i2cp_streaming(packet, 0, 0);
    auto key = sender.next_entry();
    if (!envelope || !key) return 0;
    const std::size_t n = std::min(envelope->size(), opened.size());
    std::copy_n(envelope->begin(), n, opened.begin());
    (void)crypto::aead_chacha20_poly1305_encrypt_into(key->key, nonce, {}, opened, sealed);
    auto entry = receiver.next_entry();
    if (!entry || !crypto::aead_chacha20_poly1305_decrypt_into(entry->key, nonce, {}, sealed, opened)) return 0;
    auto unwrapped = encoding::i2cp_gzip_unwrap(ByteView(opened).first(envelope->size()));
    if (!unwrapped) return 0;
    auto decoded = streaming::StreamingPacket::decode(unwrapped->payload);
    if (decoded && decoded->payload.size() == kPiece) ++checked;
  }
  const auto t1 = clock_type::now();
  return checked == packets ? std::chrono::duration<double>(t1 - t0).count() : 0;
}

void step_both(StreamPair& p) {
  const ntcp2_net::Now now = ntcp2_net::read_now();
  for (std::size_t i = 0; i < p.net.size(); ++i) {
    p.net[i].step_ntcp2_peers(now);
    p.net[i].step_stream_connections(now);
  }
}

void BM_StreamVsPlainTunnelMessages(benchmark::State& state) {
  std::optional<StreamPair> pair = bench_support::open_stream_pair(state, step_both);
  if (!pair) return;
  StreamPair& p = *pair;
  const streaming::ConnectionPtr out = p.out;
  const streaming::ConnectionPtr in = p.in;
  router::Router& alice_router = p.net[0];

  // Random bytes: the envelope's compression gains nothing, as with most real traffic.
  auto random = ntcp2_net::random_bytes(kBytes);
  if (!random) {
    state.SkipWithError("random bytes failed");
    return;
  }
  const Bytes data = std::move(*random);
  double stream_s = 0, plain_s = 0, required_s = 0;
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
      step_both(p);
      received += in->read_available().size();
    }
    const auto t1 = clock_type::now();

    // The same bytes as plain tunnel messages on the same path.
    const i2np::I2npPayload message = p.plain_message(kPiece);
    const std::size_t pieces = (kBytes + kPiece - 1) / kPiece;
    const std::size_t start = p.at_bob->plain;
    std::size_t sent = 0;
    const auto plain_deadline = clock_type::now() + std::chrono::seconds(60);
    while (p.at_bob->plain - start < pieces) {
      if (clock_type::now() > plain_deadline) {
        state.SkipWithError("plain tunnel messages were lost");
        return;
      }
      // Held and written together, as the stream's packets of one pass are.
      const ntcp2_net::Now now = ntcp2_net::read_now();
      alice_router.holding_link_sends(now, [&] {
        while (sent < pieces && sent - (p.at_bob->plain - start) < kPlainInFlight) {
          alice_router.send_routed_i2np(p.bob_lease.gateway, p.bob_lease.tunnel_id, message, now);
          ++sent;
        }
      });
      step_both(p);
    }
    const auto t2 = clock_type::now();
    stream_s += std::chrono::duration<double>(t1 - t0).count();
    plain_s += std::chrono::duration<double>(t2 - t1).count();
    const double required = required_stream_work_s(data, pieces, p.at_bob->typical_stream_garlic());
    if (required == 0) {
      state.SkipWithError("the required work failed");
      return;
    }
    required_s += required;
  }
  const double bytes = static_cast<double>(state.iterations()) * static_cast<double>(kBytes);
  state.counters["stream_MBps"] = bytes / stream_s / 1e6;
  state.counters["plain_MBps"] = bytes / plain_s / 1e6;
  state.counters["ratio"] = plain_s / stream_s;
  state.counters["ceiling"] = plain_s / (plain_s + required_s);
  state.counters["required_us"] = required_s * 1e6 / (static_cast<double>(state.iterations()) *
                                                      static_cast<double>((kBytes + kPiece - 1) / kPiece));
  state.counters["garlic_bytes"] = static_cast<double>(p.at_bob->typical_stream_garlic());
}
BENCHMARK(BM_StreamVsPlainTunnelMessages)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace
