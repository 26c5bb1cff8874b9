#pragma once
// Ours and a reference timed in alternating batches within one benchmark, so that a
// machine shared with other work slows both alike and their ratio stays meaningful.
#include <chrono>
#include <cstdint>

#include <benchmark/benchmark.h>

namespace bench_support {

struct PairedTimes {
  double ours_ns = 0;    // per operation
  double theirs_ns = 0;  // per operation
};

// Runs batches of `ours` and `theirs` in turn for as long as the benchmark runs, and
// reports both times per operation as counters, with vs_openssl = ours / theirs (below
// 1 is faster than the reference).
template <typename Ours, typename Theirs>
PairedTimes paired(benchmark::State& state, Ours&& ours, Theirs&& theirs, int batch = 16) {
  using Clock = std::chrono::steady_clock;
  double ours_s = 0, theirs_s = 0;
  std::int64_t ops = 0;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    for (int i = 0; i < batch; ++i) ours();
    const auto t1 = Clock::now();
    for (int i = 0; i < batch; ++i) theirs();
    const auto t2 = Clock::now();
    ours_s += std::chrono::duration<double>(t1 - t0).count();
    theirs_s += std::chrono::duration<double>(t2 - t1).count();
    ops += batch;
  }
  PairedTimes t;
  if (ops == 0) return t;
  t.ours_ns = ours_s / static_cast<double>(ops) * 1e9;
  t.theirs_ns = theirs_s / static_cast<double>(ops) * 1e9;
  state.counters["ours_ns"] = t.ours_ns;
  state.counters["openssl_ns"] = t.theirs_ns;
  state.counters["vs_openssl"] = t.ours_ns / t.theirs_ns;
  return t;
}

}  // namespace bench_support
