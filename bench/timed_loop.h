#pragma once
// The benchmark loop timed by hand, for benchmarks that report their time relative to a
// reference benchmark of the same run.
#include <chrono>

#include <benchmark/benchmark.h>

namespace bench_support {

// Runs the timed loop, returning nanoseconds per iteration.
template <typename F>
double timed(benchmark::State& state, F&& f) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  for (auto _ : state) f();
  const std::chrono::duration<double, std::nano> spent = Clock::now() - start;
  return state.iterations() ? spent.count() / static_cast<double>(state.iterations()) : 0.0;
}

}  // namespace bench_support
