// DEFLATE, inflate and CRC-32 against zlib in the same run.
//
// Inputs: a 1 MiB English-like text and a 1,730-byte payload of the size a streaming
// packet has. Inflate benchmarks decode the same zlib-made stream (default level) with
// both; compressor benchmarks put ours against zlib at level 1.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include "encoding/crc32.h"
#include "encoding/deflate.h"
#include "encoding/inflate.h"
#include "tests/encoding/deflate_zlib.h"

namespace {

const Bytes& input(std::size_t n) {
  static const Bytes big = deflate_test::text_bytes(1 << 20, 1);
  static const Bytes small = deflate_test::text_bytes(1730, 2);
  return n == big.size() ? big : small;
}

const Bytes& zlib_stream(std::size_t n) {
  static const Bytes big = deflate_test::zlib_deflate_raw(input(1 << 20), Z_DEFAULT_COMPRESSION);
  static const Bytes small = deflate_test::zlib_deflate_raw(input(1730), Z_DEFAULT_COMPRESSION);
  return n == (1u << 20) ? big : small;
}

void BM_InflateOurs(benchmark::State& state) {
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  const Bytes& stream = zlib_stream(n);
  for (auto _ : state) {
    auto r = encoding::inflate_raw_from(stream, 0);
    if (!r || r->data.size() != n) state.SkipWithError("inflate failed");
    benchmark::DoNotOptimize(r);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * n));
}

void BM_InflateZlib(benchmark::State& state) {
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  const Bytes& stream = zlib_stream(n);
  for (auto _ : state) {
    // Like ours: a fresh state and an output buffer per call (zlib is told the size).
    Bytes out(n);
    z_stream s{};
    inflateInit2(&s, -15);
    s.next_in = const_cast<Bytef*>(stream.data());
    s.avail_in = static_cast<uInt>(stream.size());
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    if (inflate(&s, Z_FINISH) != Z_STREAM_END) state.SkipWithError("zlib inflate failed");
    inflateEnd(&s);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * n));
}

void BM_CompressOurs(benchmark::State& state) {
  const Bytes& in = input(static_cast<std::size_t>(state.range(0)));
  std::size_t out_size = 0;
  for (auto _ : state) {
    Bytes out = encoding::deflate_raw(in);
    out_size = out.size();
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * in.size()));
  state.counters["ratio"] = static_cast<double>(out_size) / static_cast<double>(in.size());
}

void BM_CompressZlibLevel1(benchmark::State& state) {
  const Bytes& in = input(static_cast<std::size_t>(state.range(0)));
  std::size_t out_size = 0;
  for (auto _ : state) {
    Bytes out = deflate_test::zlib_deflate_raw(in, 1);
    out_size = out.size();
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * in.size()));
  state.counters["ratio"] = static_cast<double>(out_size) / static_cast<double>(in.size());
}

void BM_Crc32Ours(benchmark::State& state) {
  const Bytes& in = input(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(encoding::crc32(in));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * in.size()));
}

void BM_Crc32Zlib(benchmark::State& state) {
  const Bytes& in = input(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(::crc32(0, in.data(), static_cast<uInt>(in.size())));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * in.size()));
}

}  // namespace

BENCHMARK(BM_InflateOurs)->Arg(1 << 20)->Arg(1730);
BENCHMARK(BM_InflateZlib)->Arg(1 << 20)->Arg(1730);
BENCHMARK(BM_CompressOurs)->Arg(1 << 20)->Arg(1730);
BENCHMARK(BM_CompressZlibLevel1)->Arg(1 << 20)->Arg(1730);
BENCHMARK(BM_Crc32Ours)->Arg(1 << 20)->Arg(1730);
BENCHMARK(BM_Crc32Zlib)->Arg(1 << 20)->Arg(1730);
