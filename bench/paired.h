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

// Runs batches of `ours` and `theirs` in turn for as long as the benchmark runs, and
// reports both times per operation as counters, with vs_openssl = ours / theirs (below
// 1 is faster than the reference).
inline double thread_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

template <typename Ours, typename Theirs>
PairedTimes paired(benchmark::State& state, Ours&& ours, Theirs&& theirs, int batch = 16) {
  double ours_s = 0, theirs_s = 0;
  std::int64_t ops = 0;
  for (auto _ : state) {
    const double t0 = thread_seconds();
    for (int i = 0; i < batch; ++i) ours();
    const double t1 = thread_seconds();
    for (int i = 0; i < batch; ++i) theirs();
    const double t2 = thread_seconds();
    ours_s += t1 - t0;
    theirs_s += t2 - t1;
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
