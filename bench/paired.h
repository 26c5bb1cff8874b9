#pragma once
// Ours and a reference timed in alternating batches within one benchmark, so that a
// machine shared with other work slows both alike and their ratio stays meaningful.
// Batches are timed by the CPU time of the calling thread, which does not run on while
// other work holds the core.
#include <time.h>

#include <algorithm>
#include <cmath>
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

// A batch lasts at least this long, so that reading the thread's CPU time (a system call of
// a few hundred nanoseconds) is lost in it.
inline constexpr double kMinBatchSeconds = 50e-6;

// The timing alone: a batch of each side first, untimed, so that what the benchmark before
// left behind (cold caches, first-call set-up, a core slowed by wide vector code) is paid by
// neither; a second, timed, sets the batch size (at least `batch`) that lasts
// kMinBatchSeconds on the faster side. Then batches in turn, the side that goes first
// swapped every iteration, so that whatever one side leaves for the next falls on both alike.
template <typename Ours, typename Theirs>
PairedTimes time_paired(benchmark::State& state, Ours&& ours, Theirs&& theirs, int batch) {
  const auto timed = [&](auto& side, int n) {
    const double t0 = thread_seconds();
    for (int i = 0; i < n; ++i) side();
    return thread_seconds() - t0;
  };
  (void)timed(ours, batch);
  (void)timed(theirs, batch);
  const double faster = std::min(timed(ours, batch), timed(theirs, batch));
  if (faster > 0 && faster < kMinBatchSeconds) {
    batch = static_cast<int>(std::min(std::ceil(batch * kMinBatchSeconds / faster), 1e6));
  }

  double ours_s = 0, theirs_s = 0;
  std::int64_t ops = 0;
  bool ours_first = true;
  for (auto _ : state) {
    if (ours_first) {
      ours_s += timed(ours, batch);
      theirs_s += timed(theirs, batch);
    } else {
      theirs_s += timed(theirs, batch);
      ours_s += timed(ours, batch);
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
