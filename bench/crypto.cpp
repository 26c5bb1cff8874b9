// Our primitives beside the same operations in OpenSSL, measured in one run.
//
// Each benchmark alternates batches of our call and OpenSSL's call and reports both
// speeds plus "ratio" = our speed / OpenSSL's speed (1.0 = as fast as OpenSSL).
#include <benchmark/benchmark.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "bench/paired.h"
#include "crypto/aes.h"
#include "crypto/chacha20.h"
#include "crypto/chacha20_poly1305.h"
#include "crypto/cpu_features.h"
#include "crypto/poly1305.h"
#include "crypto/sha1.h"
#include "crypto/sha256.h"
#include "crypto/siphash.h"
#include "encoding/bytes.h"

namespace {

Bytes pattern(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 131 + 7);
  return b;
}

// Runs `ours` and `theirs` in alternating batches for the benchmark's iterations, timed by
// the thread's CPU time (bench/paired.h).
template <typename Ours, typename Theirs>
void compare(benchmark::State& state, std::size_t bytes_per_op, Ours ours, Theirs theirs) {
  const bench_support::PairedTimes t = bench_support::time_paired(state, ours, theirs, 64);
  if (t.ours_ns == 0 || t.theirs_ns == 0) return;
  state.counters["ours_ns"] = t.ours_ns;
  state.counters["openssl_ns"] = t.theirs_ns;
  state.counters["ours_MBps"] = static_cast<double>(bytes_per_op) / t.ours_ns * 1e3;
  state.counters["openssl_MBps"] = static_cast<double>(bytes_per_op) / t.theirs_ns * 1e3;
  state.counters["ratio"] = t.theirs_ns / t.ours_ns;
}

void digest_with(const EVP_MD* md, const Bytes& data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(data.data(), data.size(), out, &len, md, nullptr);
  benchmark::DoNotOptimize(out);
}

void BM_Sha256_16KiB(benchmark::State& state) {
  const Bytes data = pattern(16384);
  const auto engine = static_cast<crypto::Engine>(state.range(0));
  compare(
      state, data.size(),
      [&] {
        crypto::Sha256 h(engine);
        h.update(data);
        benchmark::DoNotOptimize(h.finalize());
      },
      [&] { digest_with(EVP_sha256(), data); });
}
BENCHMARK(BM_Sha256_16KiB)->ArgName("portable")->Arg(0)->Arg(1);

void BM_Sha1_16KiB(benchmark::State& state) {
  const Bytes data = pattern(16384);
  const auto engine = static_cast<crypto::Engine>(state.range(0));
  compare(
      state, data.size(), [&] { benchmark::DoNotOptimize(crypto::sha1(data, engine)); },
      [&] { digest_with(EVP_sha1(), data); });
}
BENCHMARK(BM_Sha1_16KiB)->ArgName("portable")->Arg(0)->Arg(1);

// The inputs of one AEAD call: a message of the given size, 32 bytes of associated data.
struct AeadInputs {
  explicit AeadInputs(std::size_t n) : data(pattern(n)), key(pattern(32)), nonce(pattern(12)), ad(pattern(32)) {}
  Bytes data, key, nonce, ad;
};

// OpenSSL's ChaCha20-Poly1305 through EVP, one context kept across calls as a caller
// that seals (or opens) many messages would: the cipher is set once, each call only
// sets the key and nonce.
class OpenSslAead {
 public:
  enum Direction { Seal = 1, Open = 0 };
  explicit OpenSslAead(Direction d) : ctx_(EVP_CIPHER_CTX_new()) {
    EVP_CipherInit_ex(ctx_, EVP_chacha20_poly1305(), nullptr, nullptr, nullptr, d);
  }
  ~OpenSslAead() { EVP_CIPHER_CTX_free(ctx_); }
  OpenSslAead(const OpenSslAead&) = delete;
  OpenSslAead& operator=(const OpenSslAead&) = delete;

  // For a Seal context: out receives the ciphertext and the tag.
  void seal(const AeadInputs& in, std::uint8_t* out) {
    int len = 0;
    EVP_EncryptInit_ex(ctx_, nullptr, nullptr, in.key.data(), in.nonce.data());
    EVP_EncryptUpdate(ctx_, nullptr, &len, in.ad.data(), static_cast<int>(in.ad.size()));
    EVP_EncryptUpdate(ctx_, out, &len, in.data.data(), static_cast<int>(in.data.size()));
    EVP_EncryptFinal_ex(ctx_, out + len, &len);
    EVP_CIPHER_CTX_ctrl(ctx_, EVP_CTRL_AEAD_GET_TAG, 16, out + in.data.size());
  }
  // For an Open context: whether the tag of `sealed` (ciphertext and tag) checked out; out receives the plaintext.
  bool open(const AeadInputs& in, const Bytes& sealed, std::uint8_t* out) {
    int len = 0;
    const std::size_t n = sealed.size() - 16;
    EVP_DecryptInit_ex(ctx_, nullptr, nullptr, in.key.data(), in.nonce.data());
    EVP_DecryptUpdate(ctx_, nullptr, &len, in.ad.data(), static_cast<int>(in.ad.size()));
    EVP_DecryptUpdate(ctx_, out, &len, sealed.data(), static_cast<int>(n));
    EVP_CIPHER_CTX_ctrl(ctx_, EVP_CTRL_AEAD_SET_TAG, 16, const_cast<std::uint8_t*>(sealed.data() + n));
    return EVP_DecryptFinal_ex(ctx_, out + len, &len) == 1;
  }

 private:
  EVP_CIPHER_CTX* ctx_;
};

void BM_ChaCha20Poly1305_Encrypt(benchmark::State& state) {
  const AeadInputs in(static_cast<std::size_t>(state.range(0)));
  OpenSslAead theirs(OpenSslAead::Seal);
  Bytes out(in.data.size() + 16);
  compare(
      state, in.data.size(),
      [&] { benchmark::DoNotOptimize(crypto::aead_chacha20_poly1305_encrypt(in.key, in.nonce, in.ad, in.data)); },
      [&] {
        theirs.seal(in, out.data());
        benchmark::DoNotOptimize(out.data());
      });
}
BENCHMARK(BM_ChaCha20Poly1305_Encrypt)->Arg(64)->Arg(256)->Arg(1024)->Arg(16384);

void BM_ChaCha20Poly1305_Decrypt(benchmark::State& state) {
  const AeadInputs in(static_cast<std::size_t>(state.range(0)));
  const Bytes sealed = *crypto::aead_chacha20_poly1305_encrypt(in.key, in.nonce, in.ad, in.data);
  OpenSslAead theirs(OpenSslAead::Open);
  Bytes out(in.data.size());
  compare(
      state, in.data.size(),
      [&] { benchmark::DoNotOptimize(crypto::aead_chacha20_poly1305_decrypt(in.key, in.nonce, in.ad, sealed)); },
      [&] { benchmark::DoNotOptimize(theirs.open(in, sealed, out.data())); });
}
BENCHMARK(BM_ChaCha20Poly1305_Decrypt)->Arg(64)->Arg(256)->Arg(1024)->Arg(16384);

// The AEAD, ChaCha20 and Poly1305 at the vector level this process runs at (the best
// the CPU has, or what ONDREL_CPU_CAP leaves), beside OpenSSL at whatever level
// OPENSSL_ia32cap holds it to; scripts/bench_levels.sh runs both held to the same
// instructions. The label names our level. Both sides seal into a buffer the caller
// holds.
crypto::VectorIsa run_level(benchmark::State& state) {
  const crypto::VectorIsa isa = crypto::best_vector_isa();
  state.SetLabel(std::string("ours=") + crypto::to_string(isa));
  return isa;
}

void level_args(benchmark::internal::Benchmark* b) { b->ArgName("bytes")->Arg(1024)->Arg(16384); }

void BM_ChaCha20Poly1305_SealLevel(benchmark::State& state) {
  const crypto::VectorIsa isa = run_level(state);
  const AeadInputs in(static_cast<std::size_t>(state.range(0)));
  OpenSslAead openssl(OpenSslAead::Seal);
  Bytes ours(in.data.size() + 16), theirs(in.data.size() + 16);
  compare(
      state, in.data.size(),
      [&] {
        benchmark::DoNotOptimize(
            crypto::aead_chacha20_poly1305_encrypt_into(in.key, in.nonce, in.ad, in.data, ours, isa));
      },
      [&] {
        openssl.seal(in, theirs.data());
        benchmark::DoNotOptimize(theirs.data());
      });
  if (ours != theirs) state.SkipWithError("the two sides sealed different bytes");
}
BENCHMARK(BM_ChaCha20Poly1305_SealLevel)->Apply(level_args);

void BM_ChaCha20Poly1305_OpenLevel(benchmark::State& state) {
  const crypto::VectorIsa isa = run_level(state);
  const AeadInputs in(static_cast<std::size_t>(state.range(0)));
  const Bytes sealed = *crypto::aead_chacha20_poly1305_encrypt(in.key, in.nonce, in.ad, in.data);
  OpenSslAead openssl(OpenSslAead::Open);
  Bytes ours(in.data.size()), theirs(in.data.size());
  bool all_opened = true;
  compare(
      state, in.data.size(),
      [&] {
        all_opened &=
            crypto::aead_chacha20_poly1305_decrypt_into(in.key, in.nonce, in.ad, sealed, ours, isa).has_value();
        benchmark::DoNotOptimize(ours.data());
      },
      [&] {
        all_opened &= openssl.open(in, sealed, theirs.data());
        benchmark::DoNotOptimize(theirs.data());
      });
  if (!all_opened || ours != in.data || theirs != in.data) state.SkipWithError("a side failed to open the message");
}
BENCHMARK(BM_ChaCha20Poly1305_OpenLevel)->Apply(level_args);

void BM_ChaCha20_Level(benchmark::State& state) {
  const crypto::VectorIsa isa = run_level(state);
  const Bytes data = pattern(static_cast<std::size_t>(state.range(0)));
  const Bytes key = pattern(32);
  std::uint8_t iv[16] = {1, 0, 0, 0};  // OpenSSL's IV: counter 1, then the nonce
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  Bytes ours(data.size()), theirs(data.size());
  compare(
      state, data.size(),
      [&] {
        crypto::detail::chacha20_xor_unchecked(key.data(), iv + 4, 1, data.data(), ours.data(), data.size(), isa);
        benchmark::DoNotOptimize(ours.data());
      },
      [&] {
        int len = 0;
        EVP_EncryptInit_ex(ctx, EVP_chacha20(), nullptr, key.data(), iv);
        EVP_EncryptUpdate(ctx, theirs.data(), &len, data.data(), static_cast<int>(data.size()));
        benchmark::DoNotOptimize(theirs.data());
      });
  EVP_CIPHER_CTX_free(ctx);
}
BENCHMARK(BM_ChaCha20_Level)->Apply(level_args);

void BM_Poly1305_Level(benchmark::State& state) {
  const crypto::VectorIsa isa = run_level(state);
  const Bytes data = pattern(static_cast<std::size_t>(state.range(0)));
  const Bytes key = pattern(32);
  EVP_MAC* mac = EVP_MAC_fetch(nullptr, "POLY1305", nullptr);
  EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(mac);
  compare(
      state, data.size(),
      [&] {
        crypto::Poly1305 p(key.data(), isa);
        p.update(data.data(), data.size());
        benchmark::DoNotOptimize(p.finalize());
      },
      [&] {
        unsigned char out[16];
        std::size_t len = 0;
        EVP_MAC_init(ctx, key.data(), key.size(), nullptr);
        EVP_MAC_update(ctx, data.data(), data.size());
        EVP_MAC_final(ctx, out, &len, sizeof out);
        benchmark::DoNotOptimize(out);
      });
  EVP_MAC_CTX_free(ctx);
  EVP_MAC_free(mac);
}
BENCHMARK(BM_Poly1305_Level)->Apply(level_args);

// One 1,024-byte tunnel cell, key schedule included on both sides.
void BM_Aes256Cbc_Cell(benchmark::State& state) {
  const bool encrypt = state.range(0) == 0;
  const auto engine = static_cast<crypto::Engine>(state.range(1));
  const Bytes cell = pattern(1024);
  const Bytes key = pattern(32);
  const Bytes iv = pattern(16);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  Bytes out(cell.size() + 16);
  compare(
      state, cell.size(),
      [&] {
        benchmark::DoNotOptimize(encrypt ? crypto::aes256_cbc_encrypt(key, iv, cell, engine)
                                         : crypto::aes256_cbc_decrypt(key, iv, cell, engine));
      },
      [&] {
        int len = 0;
        EVP_CipherInit_ex(ctx, EVP_aes_256_cbc(), nullptr, key.data(), iv.data(), encrypt ? 1 : 0);
        EVP_CIPHER_CTX_set_padding(ctx, 0);
        EVP_CipherUpdate(ctx, out.data(), &len, cell.data(), static_cast<int>(cell.size()));
        benchmark::DoNotOptimize(out.data());
      });
  EVP_CIPHER_CTX_free(ctx);
}
BENCHMARK(BM_Aes256Cbc_Cell)->ArgNames({"decrypt", "portable"})->Args({0, 0})->Args({1, 0})->Args({0, 1})->Args({1, 1});

// Sixteen independent cell bodies (1,008 bytes each) CBC-encrypted under keys expanded
// beforehand, as a tunnel hop layers the cells of a frame: ours all together
// (aes256_cbc_encrypt_many; together=0: one call per cell), OpenSSL one context per key,
// set to each cell's IV.
void BM_Aes256Cbc_SixteenCells(benchmark::State& state) {
  constexpr std::size_t kCells = 16, kBody = 1008;
  const bool together = state.range(0) != 0;
  std::vector<Bytes> bodies(kCells, pattern(kBody));
  std::vector<crypto::Aes256EncryptKey> expanded;
  std::vector<EVP_CIPHER_CTX*> contexts;
  std::vector<std::array<std::uint8_t, 16>> chains(kCells);
  for (std::size_t i = 0; i < kCells; ++i) {
    Bytes key = pattern(32);
    key[0] = static_cast<std::uint8_t>(i);
    expanded.push_back(*crypto::aes256_encrypt_key(key));
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_CipherInit_ex(ctx, EVP_aes_256_cbc(), nullptr, key.data(), nullptr, 1);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    contexts.push_back(ctx);
  }
  Bytes out(kBody + 16);
  compare(
      state, kCells * kBody,
      [&] {
        std::array<crypto::CbcEncryptJob, kCells> jobs;
        for (std::size_t i = 0; i < kCells; ++i) jobs[i] = {&expanded[i], chains[i], bodies[i]};
        if (together) {
          benchmark::DoNotOptimize(crypto::aes256_cbc_encrypt_many(jobs));
        } else {
          for (const auto& job : jobs) benchmark::DoNotOptimize(crypto::aes256_cbc_encrypt_many(std::span(&job, 1)));
        }
      },
      [&] {
        for (std::size_t i = 0; i < kCells; ++i) {
          int len = 0;
          EVP_CipherInit_ex(contexts[i], nullptr, nullptr, nullptr, chains[i].data(), 1);
          EVP_CipherUpdate(contexts[i], out.data(), &len, bodies[i].data(), static_cast<int>(kBody));
          benchmark::DoNotOptimize(out.data());
        }
      });
  for (EVP_CIPHER_CTX* ctx : contexts) EVP_CIPHER_CTX_free(ctx);
}
BENCHMARK(BM_Aes256Cbc_SixteenCells)->ArgName("together")->Arg(1)->Arg(0);

// Sixteen cell checksums' inputs (1,019 bytes each) hashed by sha256_many at each vector
// level (Avx512: side by side in vector lanes; below it one at a time), beside OpenSSL's
// SHA-256 of each.
void BM_Sha256_SixteenCells(benchmark::State& state) {
  constexpr std::size_t kCells = 16, kInput = 1019;
  const auto isa = static_cast<crypto::VectorIsa>(state.range(0));
  if (!crypto::vector_isa_supported(isa)) {
    state.SkipWithError("this CPU lacks the level");
    return;
  }
  std::vector<Bytes> inputs(kCells, pattern(kInput));
  for (std::size_t i = 0; i < kCells; ++i) inputs[i][0] = static_cast<std::uint8_t>(i);
  std::vector<ByteView> views(inputs.begin(), inputs.end());
  std::vector<crypto::Sha256Digest> digests(kCells);
  compare(
      state, kCells * kInput,
      [&] {
        crypto::sha256_many(views, digests, isa);
        benchmark::DoNotOptimize(digests.data());
      },
      [&] {
        for (const Bytes& in : inputs) digest_with(EVP_sha256(), in);
      });
}
BENCHMARK(BM_Sha256_SixteenCells)
    ->ArgName("level")
    ->Arg(static_cast<int>(crypto::VectorIsa::Portable))
    ->Arg(static_cast<int>(crypto::VectorIsa::Avx2))
    ->Arg(static_cast<int>(crypto::VectorIsa::Avx512));

void BM_SipHash_8Bytes(benchmark::State& state) {
  const Bytes key = pattern(16);
  const Bytes data = pattern(8);
  EVP_MAC* mac = EVP_MAC_fetch(nullptr, "SIPHASH", nullptr);
  EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(mac);
  unsigned int size = 8;
  OSSL_PARAM params[2] = {OSSL_PARAM_construct_uint(OSSL_MAC_PARAM_SIZE, &size), OSSL_PARAM_END};
  compare(
      state, data.size(), [&] { benchmark::DoNotOptimize(crypto::siphash_2_4(key, data)); },
      [&] {
        unsigned char out[8];
        std::size_t len = 0;
        EVP_MAC_init(ctx, key.data(), key.size(), params);
        EVP_MAC_update(ctx, data.data(), data.size());
        EVP_MAC_final(ctx, out, &len, sizeof out);
        benchmark::DoNotOptimize(out);
      });
  EVP_MAC_CTX_free(ctx);
  EVP_MAC_free(mac);
}
BENCHMARK(BM_SipHash_8Bytes);

}  // namespace
