// netdb::NetDb::closest_peers over 1,000 and 10,000 stored RouterInfos, beside a reference
// selection that hashes with OpenSSL and stable-sorts every candidate.
#include <benchmark/benchmark.h>
#include <openssl/sha.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <random>

#include "netdb/netdb.h"

namespace {

// A NetDB given n unsigned entries under random hashes (signatures play no part in the
// selection); every fourth router is a floodfill.
netdb::NetDb filled_netdb(std::size_t n) {
  std::mt19937_64 rng(42);
  netdb::NetDb db;
  for (std::size_t i = 0; i < n; ++i) {
    common::Hash h;
    for (auto& b : h.bytes) b = static_cast<std::uint8_t>(rng());
    auto ri = std::make_shared<common::RouterInfo>();
    ri->options = common::Mapping::from_entries({{"caps", i % 4 == 0 ? "XfR" : "LR"}});
    db.insert_unverified({h, ri});
  }
  return db;
}

common::Hash key_of(std::uint8_t seed) {
  common::Hash k;
  k.bytes.fill(seed);
  return k;
}

void BM_ClosestPeers(benchmark::State& state) {
  const netdb::NetDb db = filled_netdb(static_cast<std::size_t>(state.range(0)));
  const bool floodfill_only = state.range(1) != 0;
  std::uint8_t seed = 0;
  for (auto _ : state) {
    auto peers = db.closest_peers(key_of(seed++), "20261210", 3, floodfill_only, {});
    benchmark::DoNotOptimize(peers);
  }
}

// The selection as plainly described: one SHA-256, the distance of every router, a stable
// sort of all candidates, then the first three.
void BM_ClosestPeersReference(benchmark::State& state) {
  const netdb::NetDb db = filled_netdb(static_cast<std::size_t>(state.range(0)));
  const bool floodfill_only = state.range(1) != 0;
  std::uint8_t seed = 0;
  for (auto _ : state) {
    const common::Hash key = key_of(seed++);
    std::array<std::uint8_t, 40> input{};
    std::memcpy(input.data(), key.bytes.data(), 32);
    std::memcpy(input.data() + 32, "20261210", 8);
    std::array<std::uint8_t, 32> rk{};
    SHA256(input.data(), input.size(), rk.data());
    std::vector<std::pair<std::array<std::uint8_t, 32>, netdb::RouterInfoPtr>> candidates;
    for (const auto& e : db.router_infos()) {
      if (floodfill_only && !netdb::is_floodfill(*e.router_info)) continue;
      std::array<std::uint8_t, 32> d{};
      for (std::size_t i = 0; i < 32; ++i) d[i] = e.hash.bytes[i] ^ rk[i];
      candidates.emplace_back(d, e.router_info);
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<netdb::RouterInfoPtr> peers;
    for (std::size_t i = 0; i < std::min<std::size_t>(3, candidates.size()); ++i) peers.push_back(candidates[i].second);
    benchmark::DoNotOptimize(peers);
  }
}

}  // namespace

BENCHMARK(BM_ClosestPeers)->ArgsProduct({{1000, 10000}, {0, 1}});
BENCHMARK(BM_ClosestPeersReference)->ArgsProduct({{1000, 10000}, {0, 1}});
