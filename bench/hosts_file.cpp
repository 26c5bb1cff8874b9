// Router::load_hosts_file at 10,000 and 40,000 entries, beside two references in the same
// run: the same lines registered one by one with Router::register_alias (each a scan of the
// tables, as the loader used to do), and a plain loader that reads the file and splits its
// lines into a std::unordered_map. The complexity fits show whether the time per entry stays
// flat as the file grows.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/hash.h"
#include "router/router.h"

namespace {

struct HostsFile {
  std::string path;
  std::vector<std::pair<std::string, std::string>> lines;
};

// n lines "host<i>.i2p=<value>": three in four values are b32 addresses of random hashes,
// the rest 516-character Base64 Destinations.
HostsFile write_hosts_file(std::size_t n) {
  static std::string dir = [] {
    char tmpl[] = "/tmp/bench_hosts_XXXXXX";
    const char* made = ::mkdtemp(tmpl);
    return std::string(made ? made : "/tmp");
  }();
  HostsFile file;
  file.path = dir + "/hosts_" + std::to_string(n) + ".txt";
  std::mt19937_64 rng(n);
  const std::string b64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-~";
  std::string text;
  for (std::size_t i = 0; i < n; ++i) {
    std::string value;
    if (i % 4 != 3) {
      common::Hash h;
      for (auto& b : h.bytes) b = static_cast<std::uint8_t>(rng());
      value = h.to_b32_address();
    } else {
      for (int c = 0; c < 516; ++c) value += b64[rng() % 64];
    }
    file.lines.emplace_back("host" + std::to_string(i) + ".i2p", value);
    text += file.lines.back().first + "=" + value + "\n";
  }
  std::ofstream(file.path, std::ios::binary) << text;
  return file;
}

const HostsFile& hosts_file(std::size_t n) {
  static std::unordered_map<std::size_t, HostsFile> files;
  auto at = files.find(n);
  if (at == files.end()) at = files.emplace(n, write_hosts_file(n)).first;
  return at->second;
}

void BM_LoadHostsFile(benchmark::State& state) {
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  const HostsFile& file = hosts_file(n);
  for (auto _ : state) {
    router::Router r;
    auto loaded = r.load_hosts_file(file.path);
    if (!loaded || *loaded != n) state.SkipWithError("hosts file not loaded whole");
    benchmark::DoNotOptimize(r.b32_aliases.data());
  }
  state.SetComplexityN(state.range(0));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

// The lines, already parsed, registered one by one: every registration scans both tables.
void BM_RegisterEachLineReference(benchmark::State& state) {
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  const HostsFile& file = hosts_file(n);
  for (auto _ : state) {
    router::Router r;
    for (const auto& [name, value] : file.lines) r.register_alias(name, value);
    benchmark::DoNotOptimize(r.b32_aliases.data());
  }
  state.SetComplexityN(state.range(0));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

// The floor: read the file, split each line at '=', keep the pairs in a hash map.
void BM_ReadAndSplitReference(benchmark::State& state) {
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  const HostsFile& file = hosts_file(n);
  for (auto _ : state) {
    std::ifstream in(file.path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::unordered_map<std::string, std::string> table;
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t lf = text.find('\n', start);
      if (lf == std::string::npos) lf = text.size();
      const std::size_t eq = text.find('=', start);
      if (eq < lf) table.insert_or_assign(text.substr(start, eq - start), text.substr(eq + 1, lf - eq - 1));
      start = lf + 1;
    }
    if (table.size() != n) state.SkipWithError("reference lost lines");
    benchmark::DoNotOptimize(table.size());
  }
  state.SetComplexityN(state.range(0));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_LoadHostsFile)->Arg(10000)->Arg(40000)->Unit(benchmark::kMillisecond)->Complexity();
BENCHMARK(BM_RegisterEachLineReference)->Arg(10000)->Arg(40000)->Unit(benchmark::kMillisecond)->Complexity();
BENCHMARK(BM_ReadAndSplitReference)->Arg(10000)->Arg(40000)->Unit(benchmark::kMillisecond)->Complexity();

}  // namespace
