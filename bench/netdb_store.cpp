// 100,000 signed RouterInfos of distinct identities stored into the bounded NetDB, in one
// run: the stores per second while it fills (the first 10,000, each checked and kept) and at
// its cap (the other 90,000, each refused before its signature check). Beside it, the same
// stores into a reference table indexed by a std::unordered_map on the identity hash, with
// the same cap and the same signature check.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <unordered_map>
#include <vector>

#include "crypto/ed25519.h"
#include "netdb/netdb.h"
#include "router/own_router_info.h"

namespace {

constexpr std::size_t kStores = 100000;

// One Ed25519 key signs them all; the 320 filler bytes of each identity differ, and so do
// the identity hashes.
const std::vector<common::RouterInfo>& router_infos() {
  static const std::vector<common::RouterInfo> infos = [] {
    std::vector<common::RouterInfo> out;
    out.reserve(kStores);
    std::mt19937_64 rng(7);
    auto random_bytes = [&](std::size_t n) {
      Bytes b(n);
      for (auto& x : b) x = static_cast<std::uint8_t>(rng());
      return b;
    };
    const Bytes seed = random_bytes(32);
    const auto ed = crypto::ed25519_public_key(seed).value();
    const Bytes ed_bytes(ed.begin(), ed.end());
    const Bytes x25519 = random_bytes(32);
    const Bytes iv = random_bytes(16);
    for (std::size_t i = 0; i < kStores; ++i) {
      const Bytes filler = random_bytes(320);
      auto info =
          router::build_own_router_info(router::OwnIdentityKeys{x25519, ed_bytes, filler, iv},
                                        router::OwnAddress{"198.51.100.7", 17000, true, false}, 1'700'000'000'000);
      if (!info || !router::sign_router_info(*info, seed)) break;
      out.push_back(std::move(*info));
    }
    return out;
  }();
  return infos;
}

struct HashKey {
  std::size_t operator()(const common::Hash& h) const {
    std::size_t v = 0;
    std::memcpy(&v, h.bytes.data(), sizeof v);
    return v;
  }
};

// Stores every RouterInfo through `store`, timing the stores below the cap and those at it.
template <typename Store>
void run_stores(benchmark::State& state, Store&& store) {
  const auto& infos = router_infos();
  if (infos.size() != kStores) {
    state.SkipWithError("the RouterInfos could not be built");
    return;
  }
  double start_s = 0, cap_s = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<common::RouterInfo> copies = infos;  // stores take their RouterInfo
    state.ResumeTiming();
    store.reset();
    std::size_t kept = 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < netdb::kMaxRouterInfos; ++i) kept += store.put(std::move(copies[i])) ? 1 : 0;
    const auto t1 = std::chrono::steady_clock::now();
    for (std::size_t i = netdb::kMaxRouterInfos; i < kStores; ++i) kept += store.put(std::move(copies[i])) ? 1 : 0;
    const auto t2 = std::chrono::steady_clock::now();
    if (kept != netdb::kMaxRouterInfos) state.SkipWithError("the cap was not kept");
    start_s += std::chrono::duration<double>(t1 - t0).count();
    cap_s += std::chrono::duration<double>(t2 - t1).count();
  }
  const double runs = static_cast<double>(state.iterations());
  state.counters["start_stores_per_s"] = static_cast<double>(netdb::kMaxRouterInfos) * runs / start_s;
  state.counters["cap_stores_per_s"] = static_cast<double>(kStores - netdb::kMaxRouterInfos) * runs / cap_s;
}

struct BoundedNetDb {
  std::unique_ptr<netdb::NetDb> db;
  void reset() { db = std::make_unique<netdb::NetDb>(); }
  bool put(common::RouterInfo info) {
    auto stored = db->store_router_info(std::move(info));
    return stored && *stored;
  }
};

// The same rules on a hash map: a known identity is a look-up, an unknown one beyond the cap
// is refused before the signature check.
struct IndexedReference {
  std::unordered_map<common::Hash, std::shared_ptr<const common::RouterInfo>, HashKey> table;
  void reset() { table.clear(); }
  bool put(common::RouterInfo info) {
    const common::Hash hash = info.identity.keys_and_cert.hash();
    const auto known = table.find(hash);
    if (known == table.end() && table.size() >= netdb::kMaxRouterInfos) return false;
    if (!info.verify_signature()) return false;
    if (known != table.end()) {
      if (known->second->published >= info.published) return false;
      known->second = std::make_shared<const common::RouterInfo>(std::move(info));
      return true;
    }
    table.emplace(hash, std::make_shared<const common::RouterInfo>(std::move(info)));
    return true;
  }
};

void BM_NetDbStore100000(benchmark::State& state) { run_stores(state, BoundedNetDb{}); }
void BM_IndexedStore100000Reference(benchmark::State& state) { run_stores(state, IndexedReference{}); }

BENCHMARK(BM_NetDbStore100000)->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IndexedStore100000Reference)->Iterations(2)->Unit(benchmark::kMillisecond);

}  // namespace
