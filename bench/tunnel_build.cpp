// A two-hop short tunnel build in process -- the creator's records with fresh ephemeral
// keys, both hops opening their record and writing their reply, the creator reading the
// replies -- beside the six X25519 operations it contains timed raw (two public keys of
// ephemerals, two DH by the creator, one DH by each hop), with our X25519 and OpenSSL's.
// The build reports "vs_raw_x25519": its time divided by that of its six X25519 with our
// code (1.5 = the build costs half again what its curve operations cost).
#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <memory>

#include <benchmark/benchmark.h>

#include "bench/timed_loop.h"

#include "crypto/sha256.h"
#include "crypto/x25519.h"
#include "noise/key_pair.h"
#include "tunnel/build_record.h"

namespace {

using bench_support::timed;

double raw_ours_ns = 0;

std::array<std::uint8_t, 32> filled(std::uint8_t seed) {
  std::array<std::uint8_t, 32> b{};
  for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(seed + 31 * i);
  return b;
}

struct Hop {
  noise::KeyPair key;
  common::Hash hash;
};

Hop make_hop(std::uint8_t seed) {
  Hop h;
  h.key = noise::KeyPair::from_private(filled(seed)).value();
  h.hash = common::Hash{crypto::sha256(h.key.public_key)};
  return h;
}

void BM_SixX25519_Ours(benchmark::State& state) {
  const auto a = filled(1), b = filled(2);
  const auto peer = crypto::x25519_public_key(filled(3)).value();
  raw_ours_ns = timed(state, [&] {
    benchmark::DoNotOptimize(crypto::x25519_public_key(a));
    benchmark::DoNotOptimize(crypto::x25519_public_key(b));
    for (int i = 0; i < 4; ++i) benchmark::DoNotOptimize(crypto::x25519(a, peer));
  });
}

void BM_SixX25519_OpenSsl(benchmark::State& state) {
  using Pkey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
  const auto a = filled(1);
  const auto peer_pub = crypto::x25519_public_key(filled(3)).value();
  Pkey peer(EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, peer_pub.data(), peer_pub.size()), EVP_PKEY_free);
  std::array<std::uint8_t, 32> out{};
  for (auto _ : state) {
    // Two key pairs made from private keys (the ephemerals), four derivations.
    for (int i = 0; i < 2; ++i) {
      Pkey k(EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, a.data(), a.size()), EVP_PKEY_free);
      std::size_t len = out.size();
      EVP_PKEY_get_raw_public_key(k.get(), out.data(), &len);
      benchmark::DoNotOptimize(out);
    }
    Pkey priv(EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, a.data(), a.size()), EVP_PKEY_free);
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new(priv.get(), nullptr),
                                                                    EVP_PKEY_CTX_free);
    EVP_PKEY_derive_init(ctx.get());
    EVP_PKEY_derive_set_peer(ctx.get(), peer.get());
    for (int i = 0; i < 4; ++i) {
      std::size_t len = out.size();
      EVP_PKEY_derive(ctx.get(), out.data(), &len);
      benchmark::DoNotOptimize(out);
    }
  }
}

void BM_TwoHopBuild(benchmark::State& state) {
  const Hop first = make_hop(0x10), second = make_hop(0x20);
  const common::Hash creator{crypto::sha256(filled(0x30))};
  std::array<std::uint8_t, 32> ephemeral_seed = filled(0x40);
  const std::array<std::uint8_t, 8> reply_random{1, 2, 3, 4, 5, 6, 7, 8};
  std::uint64_t builds = 0;
  const double ns = timed(state, [&] {
    // Creator: two fresh ephemerals, the records.
    std::vector<tunnel::ShortHopBuildSpec> specs(2);
    for (std::size_t i = 0; i < 2; ++i) {
      ephemeral_seed[0] = static_cast<std::uint8_t>(builds);
      ephemeral_seed[1] = static_cast<std::uint8_t>(i);
      const Hop& hop = i == 0 ? first : second;
      specs[i].slot_idx = i == 0 ? 2 : 0;
      specs[i].hop_hash = hop.hash;
      specs[i].hop_static_pub = Bytes(hop.key.public_key.begin(), hop.key.public_key.end());
      specs[i].ephemeral = noise::KeyPair::from_private(ephemeral_seed).value();
      specs[i].request.receive_tunnel_id = 100 + static_cast<std::uint32_t>(i);
      specs[i].request.next_tunnel_id = i == 0 ? 101 : 0;
      specs[i].request.next_ident = i == 0 ? second.hash : creator;
      specs[i].request.flags = i == 0 ? 0 : tunnel::kBuildFlagOutboundEndpoint;
      specs[i].request.request_time_min = 29000000;
      specs[i].request.next_msg_id = 7;
    }
    std::vector<Bytes> records(4, Bytes(tunnel::kBuildRecordSize, 0x5A));
    auto keys = tunnel::write_short_build_requests(records, specs);
    if (!keys) {
      state.SkipWithError("records failed");
      return;
    }
    // Each hop in turn.
    for (std::size_t i = 0; i < 2; ++i) {
      const Hop& hop = i == 0 ? first : second;
      const std::size_t slot = specs[i].slot_idx;
      auto opened = tunnel::open_short_build_request(hop.key, records[slot]);
      if (!opened || !tunnel::write_short_build_reply(records, slot, opened->keys, reply_random, 0)) {
        state.SkipWithError("hop failed");
        return;
      }
    }
    // The creator reads the replies.
    auto codes = tunnel::open_short_build_replies(records, *keys);
    if (!codes || (*codes)[0] != 0 || (*codes)[1] != 0) state.SkipWithError("reply failed");
    ++builds;
  });
  state.counters["builds_per_s"] = benchmark::Counter(static_cast<double>(builds), benchmark::Counter::kIsRate);
  if (raw_ours_ns > 0) state.counters["vs_raw_x25519"] = ns / raw_ours_ns;
}

}  // namespace

BENCHMARK(BM_SixX25519_OpenSsl);
BENCHMARK(BM_SixX25519_Ours);
BENCHMARK(BM_TwoHopBuild);
