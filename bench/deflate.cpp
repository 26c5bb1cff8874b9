// DEFLATE, inflate and CRC-32 against zlib in the same run.
//
// Inputs: a 1 MiB English-like text and a 1,730-byte payload of the size a streaming
// packet has. Inflate benchmarks decode the same zlib-made stream (default level) with
// both; compressor benchmarks put ours against zlib at level 1.
//
// The I2CP envelope of one 1,730-byte streaming packet, random bytes (as files, encrypted
// and compressed data are) and HTML: ours (a fresh compressor per packet, and one kept by
// the caller) against zlib writing the same gzip member at level 1 (its fastest) and 3 (its
// greedy level with 32 candidates, as ours), its state kept and reset per packet.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include "encoding/crc32.h"
#include "encoding/deflate.h"
#include "encoding/i2cp_gzip.h"
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

// Each of our paths on its own over the first n bytes of the text: tables, 128-bit and
// 512-bit carry-less multiplication (arguments: n, path 0 to 2).
void BM_Crc32Path(benchmark::State& state) {
  const auto path = static_cast<encoding::detail::Crc32Path>(state.range(1));
  if (!encoding::detail::crc32_path_supported(path)) {
    state.SkipWithError("this CPU lacks the path");
    return;
  }
  const ByteView in = ByteView(input(1 << 20)).first(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(encoding::detail::crc32(in, path));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * in.size()));
  state.SetLabel(encoding::detail::to_string(path));
}

constexpr std::size_t kPacket = 1730;

// Argument 0: random bytes; 1: HTML.
const Bytes& packet(std::int64_t kind) {
  static const Bytes random = deflate_test::random_bytes(kPacket, 3);
  static const Bytes html = deflate_test::html_bytes(kPacket, 4);
  return kind == 0 ? random : html;
}

void envelope_counters(benchmark::State& state, std::size_t member_size) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kPacket));
  state.counters["ratio"] = static_cast<double>(member_size) / static_cast<double>(kPacket);
  state.SetLabel(state.range(0) == 0 ? "random" : "html");
}

void BM_EnvelopeOurs(benchmark::State& state) {
  const Bytes& in = packet(state.range(0));
  std::size_t size = 0;
  for (auto _ : state) {
    Bytes m = encoding::i2cp_gzip_wrap(in, 4444, 80, 6);
    size = m.size();
    benchmark::DoNotOptimize(m);
  }
  envelope_counters(state, size);
}

void BM_EnvelopeOursKeptDeflater(benchmark::State& state) {
  const Bytes& in = packet(state.range(0));
  encoding::Deflater deflater;
  std::size_t size = 0;
  for (auto _ : state) {
    Bytes m = encoding::i2cp_gzip_wrap(in, 4444, 80, 6, deflater);
    size = m.size();
    benchmark::DoNotOptimize(m);
  }
  envelope_counters(state, size);
}

// zlib's gzip member (window bits 31) with its state kept: deflateReset per packet, the
// output buffer allocated per packet as ours is.
void BM_EnvelopeZlib(benchmark::State& state) {
  const Bytes& in = packet(state.range(0));
  z_stream s{};
  if (deflateInit2(&s, static_cast<int>(state.range(1)), Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    state.SkipWithError("deflateInit2 failed");
    return;
  }
  const std::size_t bound = deflateBound(&s, in.size());
  std::size_t size = 0;
  for (auto _ : state) {
    Bytes out(bound);
    deflateReset(&s);
    s.next_in = const_cast<Bytef*>(in.data());
    s.avail_in = static_cast<uInt>(in.size());
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    if (deflate(&s, Z_FINISH) != Z_STREAM_END) state.SkipWithError("zlib deflate failed");
    out.resize(s.total_out);
    size = out.size();
    benchmark::DoNotOptimize(out);
  }
  deflateEnd(&s);
  envelope_counters(state, size);
}

}  // namespace

BENCHMARK(BM_EnvelopeOurs)->Arg(0)->Arg(1);
BENCHMARK(BM_EnvelopeOursKeptDeflater)->Arg(0)->Arg(1);
BENCHMARK(BM_EnvelopeZlib)->Args({0, 1})->Args({1, 1})->Args({0, 3})->Args({1, 3});
BENCHMARK(BM_InflateOurs)->Arg(1 << 20)->Arg(1730);
BENCHMARK(BM_InflateZlib)->Arg(1 << 20)->Arg(1730);
BENCHMARK(BM_CompressOurs)->Arg(1 << 20)->Arg(1730);
BENCHMARK(BM_CompressZlibLevel1)->Arg(1 << 20)->Arg(1730);
BENCHMARK(BM_Crc32Ours)->Arg(1 << 20)->Arg(1730);
BENCHMARK(BM_Crc32Zlib)->Arg(1 << 20)->Arg(1730);
BENCHMARK(BM_Crc32Path)->ArgsProduct({{16, 64, 255, 256, 1730, 1 << 20}, {0, 1, 2}});
