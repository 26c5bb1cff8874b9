// CPU time per MB of a sending and of a receiving router: one stream between destinations
// on two routers of the in-process test network (1-hop tunnels through each other), beside
// the same bytes sent as plain tunnel messages along the same path, in the same run.
//
// Every router pass is timed on the thread's CPU clock and charged to its router, the
// application's writes to the sender and its reads to the receiver:
//
//   stream - 4 MiB of random bytes written by alice (router 0) as the window allows, read by
//            bob (router 1) until he has it all.
//   plain  - the same bytes in 1,730-byte pieces, each a Garlic message of the size the
//            stream's have, sent by router 0 to bob's lease, at most 32 in flight; router 1
//            counts them where garlic arrives and opens none.
//
// The argument is the most packets (or plain messages) the sender hands on per round: 0 for
// no limit, when a whole window arrives at once; 1 for data arriving spread out, as from
// tunnels whose latency varies.
//
// Reported: CPU milliseconds per MB of payload for each router in both runs, the receiver's
// share of its stream CPU spent in its stream pass (where its acknowledgements leave; the
// application's read, a buffer swap, counted with it), and
// the stream garlic messages that reached alice per one that reached bob (acks per data
// packet: bob sends nothing else).
#include <benchmark/benchmark.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>

#include "bench/stream_pair.h"

namespace {

using bench_support::StreamPair;

constexpr std::size_t kBytes = 4 * 1024 * 1024;
constexpr std::size_t kPiece = 1730;
constexpr std::size_t kPlainInFlight = 32;

double thread_cpu_s() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// CPU seconds charged to each router, and the receiver's stream-pass part of its own. The
// thread's CPU clock is read as few times as a round allows (it costs a system call): once
// at the round's start and after each part, the sender's write counted in its part.
struct CpuBook {
  double router[2] = {0, 0};
  double receiver_stream_pass = 0;
};

// One round: the sender's part (before_send, then its pass) and the receiver's (its pass,
// then after_receive), charged to each when a book is kept.
template <typename Before, typename After>
void round(StreamPair& p, CpuBook* book, Before&& before_send, After&& after_receive) {
  const ntcp2_net::Now now = ntcp2_net::read_now();
  const double t0 = book ? thread_cpu_s() : 0;
  before_send();
  p.net[0].step_ntcp2_peers(now);
  p.net[0].step_stream_connections(now);
  const double t1 = book ? thread_cpu_s() : 0;
  p.net[1].step_ntcp2_peers(now);
  const double t2 = book ? thread_cpu_s() : 0;
  p.net[1].step_stream_connections(now);
  after_receive();
  if (!book) return;
  const double t3 = thread_cpu_s();
  book->router[0] += t1 - t0;
  book->router[1] += t3 - t1;
  book->receiver_stream_pass += t3 - t2;
}

void step_both(StreamPair& p, CpuBook* book = nullptr) {
  round(
      p, book, [] {}, [] {});
}

void BM_StreamCpuPerMegabyte(benchmark::State& state) {
  std::optional<StreamPair> pair = bench_support::open_stream_pair(state, [](StreamPair& p) { step_both(p); });
  if (!pair) return;
  StreamPair& p = *pair;
  auto random = ntcp2_net::random_bytes(kBytes);
  if (!random) {
    state.SkipWithError("random bytes failed");
    return;
  }
  const Bytes data = std::move(*random);
  const std::size_t pace = static_cast<std::size_t>(state.range(0));
  CpuBook stream, plain;
  std::size_t data_garlic = 0, ack_garlic = 0;
  for (auto _ : state) {
    const std::size_t bob_before = p.at_bob->stream, alice_before = p.at_alice->stream;
    std::size_t written = 0, received = 0;
    const auto stream_deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (received < kBytes) {
      if (std::chrono::steady_clock::now() > stream_deadline) {
        state.SkipWithError("the stream stalled");
        return;
      }
      round(
          p, &stream,
          [&] {
            if (written >= kBytes) return;
            const std::size_t offer = pace == 0 ? kBytes - written : std::min(pace * kPiece, kBytes - written);
            auto n = p.out->write(ByteView(data).subspan(written, offer), ntcp2_net::read_now().mono_ms);
            if (n) written += *n;
          },
          [&] { received += p.in->read_available().size(); });
    }
    // The acknowledgements of the last packets.
    const auto settle = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    // Not charged: the last packet's acknowledgement may wait for its delay, which a router
    // sleeps through in its wait, while these rounds only spin until it falls due.
    while (!p.out->unacked.empty() && std::chrono::steady_clock::now() < settle) step_both(p);
    data_garlic += p.at_bob->stream - bob_before;
    ack_garlic += p.at_alice->stream - alice_before;

    const i2np::I2npPayload message = p.plain_message(kPiece);
    const std::size_t pieces = (kBytes + kPiece - 1) / kPiece;
    const std::size_t start = p.at_bob->plain;
    std::size_t sent = 0;
    const auto plain_deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (p.at_bob->plain - start < pieces) {
      if (std::chrono::steady_clock::now() > plain_deadline) {
        state.SkipWithError("plain tunnel messages were lost");
        return;
      }
      round(
          p, &plain,
          [&] {
            // Held and written together, as the stream's packets of one pass are.
            const ntcp2_net::Now now = ntcp2_net::read_now();
            p.net[0].holding_link_sends(now, [&] {
              for (std::size_t n = 0;
                   sent < pieces && sent - (p.at_bob->plain - start) < kPlainInFlight && (pace == 0 || n < pace); ++n) {
                p.net[0].send_routed_i2np(p.bob_lease.gateway, p.bob_lease.tunnel_id, message, now);
                ++sent;
              }
            });
          },
          [] {});
    }
  }
  const double mb = static_cast<double>(state.iterations()) * static_cast<double>(kBytes) / 1e6;
  state.counters["send_ms_per_MB"] = stream.router[0] * 1e3 / mb;
  state.counters["recv_ms_per_MB"] = stream.router[1] * 1e3 / mb;
  state.counters["plain_send_ms_per_MB"] = plain.router[0] * 1e3 / mb;
  state.counters["plain_recv_ms_per_MB"] = plain.router[1] * 1e3 / mb;
  state.counters["send_vs_plain"] = stream.router[0] / plain.router[0];
  state.counters["recv_vs_plain"] = stream.router[1] / plain.router[1];
  state.counters["recv_stream_pass_share"] = stream.receiver_stream_pass / stream.router[1];
  state.counters["acks_per_data"] =
      data_garlic ? static_cast<double>(ack_garlic) / static_cast<double>(data_garlic) : 0;
}
BENCHMARK(BM_StreamCpuPerMegabyte)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3)->Arg(0)->Arg(1);

}  // namespace
