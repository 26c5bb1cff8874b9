// Kestor patch application and reading.
//
// NoOp: one raw-data element rebuilds an edited copy of /usr/bin/cmake (about 9 MB) from the
// original: 64 KiB copies, each followed by a few bytes of extra data, with a raw-delta byte
// in every copy. memcpy of the same number of bytes runs beside it as the reference.
// Reading: a patch of 10^6 equivalences, read and validated whole.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <vector>

#include "components/kestor/kestor_apply.h"
#include "components/kestor/patch_reader.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void PutU32(Bytes* out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void PutVarUInt(Bytes* out, std::uint32_t v) {
  while (v >= 0x80) {
    out->push_back(static_cast<std::uint8_t>(v | 0x80));
    v >>= 7;
  }
  out->push_back(static_cast<std::uint8_t>(v));
}

void PutSized(Bytes* out, const Bytes& buffer) {
  PutU32(out, static_cast<std::uint32_t>(buffer.size()));
  out->insert(out->end(), buffer.begin(), buffer.end());
}

// One NoOp element over the whole old and new images.
Bytes OneElementPatch(std::uint32_t old_size, std::uint32_t new_size, const Bytes& src, const Bytes& dst,
                      const Bytes& count, const Bytes& extra, const Bytes& raw_skip, const Bytes& raw_diff) {
  Bytes p = {'K', 'e', 's', 't', 2, 0, 0, 0};
  PutU32(&p, old_size);
  PutU32(&p, 0);
  PutU32(&p, new_size);
  PutU32(&p, 0);
  PutU32(&p, 1);
  for (std::uint32_t v : {0u, old_size, 0u, new_size}) PutU32(&p, v);
  p.insert(p.end(), {'N', 'o', 'O', 'p', 1, 0});
  for (const Bytes* b : {&src, &dst, &count, &extra, &raw_skip, &raw_diff}) PutSized(&p, *b);
  PutSized(&p, {});  // reference deltas
  PutU32(&p, 0);     // pools
  return p;
}

struct NoOpCase {
  Bytes old;
  Bytes patch;
  std::uint32_t new_size = 0;
};

const NoOpCase& CmakeCase() {
  static const NoOpCase c = [] {
    NoOpCase k;
    std::ifstream f("/usr/bin/cmake", std::ios::binary);
    k.old.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    Bytes src, dst, count, extra, raw_skip, raw_diff;
    const std::uint32_t chunk = 1 << 16;
    std::uint32_t copied = 0;
    std::uint32_t next_delta = 0;
    for (std::uint32_t pos = 0; pos + chunk <= k.old.size(); pos += chunk) {
      PutVarUInt(&src, 0);  // each copy starts where the previous ended (zig-zag 0)
      PutVarUInt(&dst, pos == 0 ? 0 : 3);
      PutVarUInt(&count, chunk);
      if (pos != 0) extra.insert(extra.end(), {0xAA, 0xBB, 0xCC});
      PutVarUInt(&raw_skip, copied + 100 - next_delta);
      raw_diff.push_back(1);
      next_delta = copied + 101;
      copied += chunk;
    }
    const std::uint32_t tail = static_cast<std::uint32_t>(k.old.size()) - copied;
    extra.insert(extra.end(), k.old.end() - tail, k.old.end());
    k.new_size = copied + static_cast<std::uint32_t>(extra.size());
    k.patch = OneElementPatch(static_cast<std::uint32_t>(k.old.size()), k.new_size, src, dst, count, extra, raw_skip,
                              raw_diff);
    return k;
  }();
  return c;
}

void BM_KestorNoOpApplyCmake(benchmark::State& state) {
  const NoOpCase& c = CmakeCase();
  if (c.old.size() < (1 << 20)) {
    state.SkipWithError("/usr/bin/cmake not readable");
    return;
  }
  std::optional<kestor::Patch> patch = kestor::ReadPatch(kestor::ConstBufferView(c.patch.data(), c.patch.size()));
  if (!patch) {
    state.SkipWithError("patch does not read");
    return;
  }
  Bytes out(c.new_size);
  for (auto _ : state) {
    const bool ok = kestor::ApplyElement(kestor::kExeTypeNoOp, kestor::ConstBufferView(c.old.data(), c.old.size()),
                                         patch->elements[0], kestor::MutableBufferView(out.data(), out.size()));
    if (!ok) state.SkipWithError("apply failed");
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * c.new_size);
}

void BM_MemcpyCmake(benchmark::State& state) {
  const NoOpCase& c = CmakeCase();
  if (c.old.size() < (1 << 20)) {
    state.SkipWithError("/usr/bin/cmake not readable");
    return;
  }
  Bytes out(c.new_size);
  const std::size_t n = std::min<std::size_t>(c.old.size(), out.size());
  for (auto _ : state) {
    std::memcpy(out.data(), c.old.data(), n);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * c.new_size);
}

void BM_KestorReadPatchMillionEquivalences(benchmark::State& state) {
  static const Bytes patch = [] {
    Bytes src, dst, count;
    const std::uint32_t n = 1000000;
    // Copies of 100 bytes, sources jumping back and forth, one byte of extra data between.
    for (std::uint32_t i = 0; i < n; ++i) {
      PutVarUInt(&src, i % 2 == 0 ? 2 * 300 : 2 * 200 - 1);  // +300, then -200
      PutVarUInt(&dst, 1);
      PutVarUInt(&count, 100);
    }
    const std::uint32_t new_size = n * 101;
    Bytes extra(new_size - n * 100, 0x5A);
    return OneElementPatch(n * 300, new_size, src, dst, count, extra, {}, {});
  }();
  std::size_t elements = 0;
  for (auto _ : state) {
    std::optional<kestor::Patch> read = kestor::ReadPatch(kestor::ConstBufferView(patch.data(), patch.size()));
    if (!read) state.SkipWithError("patch does not read");
    elements += read ? read->elements.size() : 0;
    benchmark::DoNotOptimize(read);
  }
  benchmark::DoNotOptimize(elements);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * patch.size()));
  state.counters["equivalences/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * 1e6, benchmark::Counter::kIsRate);
}

BENCHMARK(BM_KestorNoOpApplyCmake)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemcpyCmake)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KestorReadPatchMillionEquivalences)->Unit(benchmark::kMillisecond);

}  // namespace
