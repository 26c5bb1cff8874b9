#pragma once
// Ours and a reference timed in alternating batches within one benchmark, so that a
// machine shared with other work slows both alike and their ratio stays meaningful.
// Batches are timed by the CPU time of the calling thread, which does not run on while
// other work holds the core.
#include <time.h>

#include <cstdint>

#include <benchmark/benchmark.h>

namespace bench_support {

struct PairedTimes {
  double ours_ns = 0;    // per operation
  double theirs_ns = 0;  // per operation
};

inline double thread_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// The timing alone: a batch of each side first, untimed, so that what the benchmark before
// left behind (cold caches, first-call set-up, a core slowed by wide vector code) is paid by
// neither; then batches in turn, the side that goes first swapped every iteration, so that
// whatever one side leaves for the next falls on both alike.
template <typename Ours, typename Theirs>
PairedTimes time_paired(benchmark::State& state, Ours&& ours, Theirs&& theirs, int batch) {
  for (int i = 0; i < batch; ++i) ours();
  for (int i = 0; i < batch; ++i) theirs();
  double ours_s = 0, theirs_s = 0;
  std::int64_t ops = 0;
  bool ours_first = true;
  const auto timed = [&](auto& side) {
    const double t0 = thread_seconds();
    for (int i = 0; i < batch; ++i) side();
    return thread_seconds() - t0;
  };
  for (auto _ : state) {
    if (ours_first) {
      ours_s += timed(ours);
      theirs_s += timed(theirs);
    } else {
      theirs_s += timed(theirs);
      ours_s += timed(ours);
    }
    ours_first = !ours_first;
    ops += batch;
  }
  PairedTimes t;
  if (ops == 0) return t;
  t.ours_ns = ours_s / static_cast<double>(ops) * 1e9;
  t.theirs_ns = theirs_s / static_cast<double>(ops) * 1e9;
  return t;
}

// Runs batches of `ours` and `theirs` in turn for as long as the benchmark runs, and
// reports both times per operation as counters, with vs_openssl = ours / theirs (below
// 1 is faster than the reference).
template <typename Ours, typename Theirs>
PairedTimes paired(benchmark::State& state, Ours&& ours, Theirs&& theirs, int batch = 16) {
  const PairedTimes t = time_paired(state, ours, theirs, batch);
  if (t.theirs_ns == 0) return t;
  state.counters["ours_ns"] = t.ours_ns;
  state.counters["openssl_ns"] = t.theirs_ns;
  state.counters["vs_openssl"] = t.ours_ns / t.theirs_ns;
  return t;
}

}  // namespace bench_support
