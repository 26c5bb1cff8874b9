// Tunnel cell layers beside the raw AES-256 work they consist of, measured in one run.
//
// Per hop a layer is two single AES blocks on the IV and AES-256-CBC over the other
// 1,008 bytes; the hop records keep their keys expanded, so the tunnel side runs no key
// schedule per cell. Each benchmark alternates batches of:
//   tunnel      - relay_cell (one hop) or a two-hop decrypt_inbound_cell
//   raw_ours    - the same AES calls through our byte-key primitive (which expands the
//                 key on every call)
//   raw_openssl - the same calls through OpenSSL's EVP, keyed on every call
//   keyed_openssl - OpenSSL with one context per key set up before the run (no key
//                 schedule in the loop: the floor for this work)
// and reports cells/s and MB/s of each, plus vs_raw_ours = tunnel speed / raw_ours speed.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "crypto/aes.h"
#include "encoding/bytes.h"
#include "tunnel/tunnel.h"
#include "tunnel/tunnel_manager.h"

namespace {

constexpr std::size_t kCell = 1024;

Bytes pattern(std::size_t n, unsigned seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 131);
  return b;
}

tunnel::Key32 key(unsigned seed) {
  tunnel::Key32 k{};
  const Bytes p = pattern(32, seed);
  std::copy(p.begin(), p.end(), k.begin());
  return k;
}

struct Contender {
  const char* name;
  std::function<void()> run;
};

void race(benchmark::State& state, std::vector<Contender> contenders) {
  using clock = std::chrono::steady_clock;
  constexpr int batch = 32;
  std::vector<double> seconds(contenders.size(), 0.0);
  std::int64_t ops = 0;
  for (auto _ : state) {
    for (std::size_t c = 0; c < contenders.size(); ++c) {
      const auto t0 = clock::now();
      for (int i = 0; i < batch; ++i) contenders[c].run();
      seconds[c] += std::chrono::duration<double>(clock::now() - t0).count();
    }
    ops += batch;
  }
  const double n = static_cast<double>(ops);
  for (std::size_t c = 0; c < contenders.size(); ++c) {
    const std::string name = contenders[c].name;
    state.counters[name + "_cells_per_s"] = n / seconds[c];
    state.counters[name + "_MBps"] = n * kCell / seconds[c] / 1e6;
  }
  state.counters["vs_raw_ours"] = seconds[1] / seconds[0];
}

struct Hop {
  tunnel::Key32 layer, iv;
};

// Our primitive, one call per AES operation, as a layer would be written without the
// pre-expanded keys.
void raw_ours(const Hop& hop, bool add, const Bytes& cell) {
  const ByteView iv(cell.data(), 16);
  const ByteView data(cell.data() + 16, kCell - 16);
  if (add) {
    auto iv1 = crypto::aes256_encrypt_block(hop.iv, iv);
    benchmark::DoNotOptimize(crypto::aes256_cbc_encrypt(hop.layer, *iv1, data));
    benchmark::DoNotOptimize(crypto::aes256_encrypt_block(hop.iv, *iv1));
  } else {
    auto iv1 = crypto::aes256_decrypt_block(hop.iv, iv);
    benchmark::DoNotOptimize(crypto::aes256_cbc_decrypt(hop.layer, *iv1, data));
    benchmark::DoNotOptimize(crypto::aes256_decrypt_block(hop.iv, *iv1));
  }
}

struct OpenSslHop {
  EVP_CIPHER_CTX* ecb = EVP_CIPHER_CTX_new();
  EVP_CIPHER_CTX* cbc = EVP_CIPHER_CTX_new();
  OpenSslHop() = default;
  OpenSslHop(const OpenSslHop&) = delete;
  OpenSslHop& operator=(const OpenSslHop&) = delete;
  ~OpenSslHop() {
    EVP_CIPHER_CTX_free(ecb);
    EVP_CIPHER_CTX_free(cbc);
  }
};

// The same work through OpenSSL. rekey: set the keys for every call, as our byte-key
// primitive does; otherwise the contexts keep the keys set before the run.
void openssl_layer(OpenSslHop& ctx, const Hop& hop, bool add, bool rekey, const Bytes& cell, Bytes& out) {
  const int enc = add ? 1 : 0;
  int len = 0;
  std::uint8_t iv1[16];
  if (rekey) EVP_CipherInit_ex(ctx.ecb, EVP_aes_256_ecb(), nullptr, hop.iv.data(), nullptr, enc);
  EVP_CipherUpdate(ctx.ecb, iv1, &len, cell.data(), 16);
  if (rekey) {
    EVP_CipherInit_ex(ctx.cbc, EVP_aes_256_cbc(), nullptr, hop.layer.data(), iv1, enc);
  } else {
    EVP_CipherInit_ex(ctx.cbc, nullptr, nullptr, nullptr, iv1, enc);
  }
  EVP_CIPHER_CTX_set_padding(ctx.cbc, 0);
  EVP_CipherUpdate(ctx.cbc, out.data() + 16, &len, cell.data() + 16, static_cast<int>(kCell - 16));
  if (rekey) EVP_CipherInit_ex(ctx.ecb, EVP_aes_256_ecb(), nullptr, hop.iv.data(), nullptr, enc);
  EVP_CipherUpdate(ctx.ecb, out.data(), &len, iv1, 16);
  benchmark::DoNotOptimize(out.data());
}

void keyed(OpenSslHop& ctx, const Hop& hop, bool add) {
  const int enc = add ? 1 : 0;
  EVP_CipherInit_ex(ctx.ecb, EVP_aes_256_ecb(), nullptr, hop.iv.data(), nullptr, enc);
  EVP_CIPHER_CTX_set_padding(ctx.ecb, 0);
  EVP_CipherInit_ex(ctx.cbc, EVP_aes_256_cbc(), nullptr, hop.layer.data(), nullptr, enc);
}

void BM_RelayCell(benchmark::State& state) {
  const Hop hop{key(1), key(2)};
  tunnel::TunnelManager m;
  m.transit.push_back(tunnel::TransitHop{7, 8, {}, hop.layer, hop.iv, false, 0});
  const Bytes cell = pattern(kCell, 3);
  Bytes out(kCell);
  OpenSslHop rekeyed, fixed;
  keyed(fixed, hop, true);
  race(state, {
                  {"tunnel", [&] { benchmark::DoNotOptimize(m.relay_cell(7, cell)); }},
                  {"raw_ours", [&] { raw_ours(hop, true, cell); }},
                  {"raw_openssl", [&] { openssl_layer(rekeyed, hop, true, true, cell, out); }},
                  {"keyed_openssl", [&] { openssl_layer(fixed, hop, true, false, cell, out); }},
              });
}
BENCHMARK(BM_RelayCell);

void BM_DecryptInbound2Hop(benchmark::State& state) {
  const Hop hops[2] = {{key(1), key(2)}, {key(3), key(4)}};
  tunnel::Tunnel t;
  for (const Hop& h : hops) {
    tunnel::TunnelHop th;
    th.layer_key = h.layer;
    th.iv_key = h.iv;
    t.hops.push_back(th);
  }
  const Bytes cell = pattern(kCell, 5);
  Bytes out(kCell);
  OpenSslHop rekeyed[2], fixed[2];
  keyed(fixed[0], hops[0], false);
  keyed(fixed[1], hops[1], false);
  race(state, {
                  {"tunnel", [&] { benchmark::DoNotOptimize(t.decrypt_inbound_cell(cell)); }},
                  {"raw_ours",
                   [&] {
                     raw_ours(hops[1], false, cell);
                     raw_ours(hops[0], false, cell);
                   }},
                  {"raw_openssl",
                   [&] {
                     openssl_layer(rekeyed[1], hops[1], false, true, cell, out);
                     openssl_layer(rekeyed[0], hops[0], false, true, out, out);
                   }},
                  {"keyed_openssl",
                   [&] {
                     openssl_layer(fixed[1], hops[1], false, false, cell, out);
                     openssl_layer(fixed[0], hops[0], false, false, out, out);
                   }},
              });
}
BENCHMARK(BM_DecryptInbound2Hop);

}  // namespace
