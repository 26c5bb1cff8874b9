// Lookups answered per second over 1,000 and 10,000 RouterInfos -- RouterInfo answers
// (plain and sealed) and search replies -- beside netdb::NetDb::closest_peers alone, the
// selection every search reply makes; and session LeaseSet2 builds per second beside raw
// Ed25519 signing, ours and OpenSSL's.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <memory>
#include <random>

#include "crypto/ed25519.h"
#include "netdb/utc_date.h"
#include "ntcp2_net/clock.h"
#include "router/destinations.h"
#include "router/router.h"

namespace {

using P = i2np::I2npPayload;

std::unique_ptr<router::Router> start_router() {
  router::StartOptions options;
  options.sam_port = 0;
  auto r = router::Router::start(options);
  if (!r) return nullptr;
  return std::make_unique<router::Router>(std::move(*r));
}

// One real RouterInfo stored under n random hashes (the answer compresses its bytes;
// signatures play no part in answering); every fourth one a floodfill.
std::vector<common::Hash> fill(router::Router& r, std::size_t n) {
  std::mt19937_64 rng(7);
  auto plain = std::make_shared<common::RouterInfo>(r.router_info);
  auto floodfill = std::make_shared<common::RouterInfo>(r.router_info);
  floodfill->options = common::Mapping::from_entries({{"caps", "XfR"}});
  std::vector<common::Hash> hashes;
  for (std::size_t i = 0; i < n; ++i) {
    common::Hash h;
    for (auto& b : h.bytes) b = static_cast<std::uint8_t>(rng());
    r.netdb.insert_unverified({h, i % 4 == 0 ? floodfill : plain});
    hashes.push_back(h);
  }
  return hashes;
}

common::Hash random_key(std::mt19937_64& rng) {
  common::Hash h;
  for (auto& b : h.bytes) b = static_cast<std::uint8_t>(rng());
  return h;
}

// state.range(0) routers; state.range(1): 0 RouterInfo answer, 1 sealed RouterInfo answer,
// 2 search reply for an unknown key.
void BM_AnswerLookup(benchmark::State& state) {
  auto r = start_router();
  if (!r) {
    state.SkipWithError("router did not start");
    return;
  }
  const std::vector<common::Hash> hashes = fill(*r, static_cast<std::size_t>(state.range(0)));
  const int kind = static_cast<int>(state.range(1));
  P::DatabaseLookup lookup;
  lookup.from = r->router_hash();  // answers wait in the router's own queue
  lookup.flags = kind == 2 ? 0x04 : kind == 1 ? 0x18 : 0x08;
  if (kind == 1) {
    lookup.reply_key = Bytes(32, 0x11);
    lookup.reply_tags = {Bytes(8, 0x22)};
  }
  std::mt19937_64 rng(9);
  const ntcp2_net::Now now = ntcp2_net::read_now();
  for (auto _ : state) {
    lookup.key = kind == 2 ? random_key(rng) : hashes[rng() % hashes.size()];
    r->handle_database_lookup_msg(std::nullopt, lookup, now);
    benchmark::DoNotOptimize(r->pending_sends.back());
    r->pending_sends.clear();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
  r->close();
}

void BM_ClosestPeersAlone(benchmark::State& state) {
  auto r = start_router();
  if (!r) {
    state.SkipWithError("router did not start");
    return;
  }
  (void)fill(*r, static_cast<std::size_t>(state.range(0)));
  std::mt19937_64 rng(9);
  const std::string date = netdb::format_utc_date(ntcp2_net::read_now().wall_s());
  for (auto _ : state) {
    auto peers = r->netdb.closest_peers(random_key(rng), date, 3, true, {});
    benchmark::DoNotOptimize(peers);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
  r->close();
}

// A session's LeaseSet2 built, signed and offered to the NetDB, each time with a new
// lease so that the NetDB takes it.
void BM_BuildSessionLeaseSet2(benchmark::State& state) {
  auto r = start_router();
  auto t = router::generate_transient_destination();
  if (!r || !t) {
    state.SkipWithError("router or destination failed");
    return;
  }
  router::SamSession s;
  s.destination = t->destination;
  s.dest_hash = t->destination.keys_and_cert.hash();
  s.x25519_public = t->encryption_keypair.public_key;
  s.signing_key = crypto::ed25519_signing_key(t->signing_key).value();
  tunnel::Tunnel inbound;
  inbound.hops.push_back(tunnel::TunnelHop{r->router_hash(), 1, 0, {}, {}, {}});
  ntcp2_net::Now now = ntcp2_net::read_now();
  inbound.expires_s = now.wall_s() + 600;
  r->tunnels.inbound.push_back(inbound);
  for (auto _ : state) {
    ++r->tunnels.inbound[0].hops[0].receive_tunnel_id;
    auto ls = r->build_session_leaseset2(s, now);
    benchmark::DoNotOptimize(ls);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
  r->close();
}

// The signing bytes of a LeaseSet2 of one lease, about what a build signs.
Bytes leaseset_sized_message() { return Bytes(391 + 4 + 2 + 2 + 2 + 1 + 4 + 32 + 1 + 40 + 1, 0x5A); }

void BM_Ed25519SignOurs(benchmark::State& state) {
  const Bytes seed(32, 0x33);
  const Bytes message = leaseset_sized_message();
  for (auto _ : state) {
    auto signature = crypto::ed25519_sign(seed, message);
    benchmark::DoNotOptimize(signature);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void BM_Ed25519SignOpenSsl(benchmark::State& state) {
  const Bytes seed(32, 0x33);
  const Bytes message = leaseset_sized_message();
  EVP_PKEY* key = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size());
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  unsigned char signature[64];
  for (auto _ : state) {
    std::size_t len = sizeof signature;
    EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, key);
    EVP_DigestSign(ctx, signature, &len, message.data(), message.size());
    benchmark::DoNotOptimize(signature);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
  EVP_MD_CTX_free(ctx);
  EVP_PKEY_free(key);
}

}  // namespace

BENCHMARK(BM_AnswerLookup)->ArgsProduct({{1000, 10000}, {0, 1, 2}});
BENCHMARK(BM_ClosestPeersAlone)->Arg(1000)->Arg(10000);
BENCHMARK(BM_BuildSessionLeaseSet2);
BENCHMARK(BM_Ed25519SignOurs);
BENCHMARK(BM_Ed25519SignOpenSsl);
