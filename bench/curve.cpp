// X25519 and Ed25519 beside OpenSSL. Each of our benchmarks runs right after OpenSSL's
// for the same operation and reports "vs_openssl", our time per operation divided by
// OpenSSL's (1.0 = as fast, 2.0 = twice as slow). X25519 runs on the engine the CPU
// allows and on the portable one; BM_X25519_Field runs each field beside OpenSSL in
// alternating batches. To hold OpenSSL to the instruction sets of a lesser CPU:
//   OPENSSL_ia32cap=':~0xf0230000'        no AVX-512 (OpenSSL's X25519 stays on mulx)
//   OPENSSL_ia32cap=':~0xf02b0128'        no AVX-512, AVX2, BMI2 or ADX: its portable field
// and ours with ONDREL_CPU_CAP (ifma; bmi2adx,ifma) for the rows that follow the best
// engine. Our Ed25519 runs on the portable field at every level.
#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include "bench/openssl_cap.h"
#include "bench/paired.h"
#include "bench/timed_loop.h"

#include "crypto/ed25519.h"
#include "crypto/x25519.h"

namespace {

using bench_support::timed;
using Pkey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

enum Op { kX25519, kX25519PublicKey, kSign, kVerify, kOps };
double openssl_ns_per_op[kOps] = {};

std::array<std::uint8_t, 32> filled(std::uint8_t seed) {
  std::array<std::uint8_t, 32> b{};
  for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(seed + 31 * i);
  return b;
}

const std::array<std::uint8_t, 32> kScalar = filled(1);
const std::array<std::uint8_t, 32> kPeer = crypto::x25519_public_key(filled(2)).value();
const std::array<std::uint8_t, 32> kSeed = filled(3);
const std::array<std::uint8_t, 100> kMessage = {1, 2, 3};

void report(benchmark::State& state, Op op, double ns) {
  if (openssl_ns_per_op[op] > 0) state.counters["vs_openssl"] = ns / openssl_ns_per_op[op];
}

Pkey openssl_ed_key() {
  return Pkey(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, kSeed.data(), kSeed.size()), EVP_PKEY_free);
}

Pkey openssl_ed_public() {
  const auto pub = crypto::ed25519_public_key(kSeed).value();
  return Pkey(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, pub.data(), pub.size()), EVP_PKEY_free);
}

// OpenSSL's X25519 of kScalar and kPeer, set up once and derived on each call.
class OpenSslX25519 {
 public:
  OpenSslX25519() {
    EVP_PKEY_derive_init(ctx_.get());
    EVP_PKEY_derive_set_peer(ctx_.get(), peer_.get());
  }
  void operator()() {
    std::size_t len = out_.size();
    EVP_PKEY_derive(ctx_.get(), out_.data(), &len);
    benchmark::DoNotOptimize(out_);
  }

 private:
  Pkey priv_{EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, kScalar.data(), kScalar.size()), EVP_PKEY_free};
  Pkey peer_{EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, kPeer.data(), kPeer.size()), EVP_PKEY_free};
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx_{EVP_PKEY_CTX_new(priv_.get(), nullptr),
                                                                   EVP_PKEY_CTX_free};
  std::array<std::uint8_t, 32> out_{};
};

void BM_X25519_OpenSsl(benchmark::State& state) {
  OpenSslX25519 theirs;
  openssl_ns_per_op[kX25519] = timed(state, [&] { theirs(); });
}

void BM_X25519_Ours(benchmark::State& state) {
  report(state, kX25519, timed(state, [&] { benchmark::DoNotOptimize(crypto::x25519(kScalar, kPeer)); }));
}

// The portable ladder, which CPUs without AVX-512 IFMA run.
void BM_X25519_OursPortable(benchmark::State& state) {
  report(state, kX25519,
         timed(state, [&] { benchmark::DoNotOptimize(crypto::x25519(kScalar, kPeer, crypto::Engine::Portable)); }));
}

// OpenSSL 3's X25519 multiplies in four 64-bit limbs through mulx, adcx and adox when
// it believes the CPU has BMI2 and ADX, else in five 51-bit limbs.
std::string openssl_x25519_level() {
  const auto cap = bench_support::openssl_cap();
  return cap.leaf7_ebx_has(8) && cap.leaf7_ebx_has(19) ? "mulx" : "portable";
}

// Each of our fields beside OpenSSL in alternating batches. Hold OpenSSL to the level of
// the row: OPENSSL_ia32cap=':~0x80100' clears BMI2 and ADX, for the portable row (it has
// no IFMA path: its best is mulx). The label names OpenSSL's level and says "matched"
// on the row of ours at that level.
void BM_X25519_Field(benchmark::State& state) {
  const auto isa = static_cast<crypto::FieldIsa>(state.range(0));
  if (!crypto::field_isa_supported(isa)) {
    state.SkipWithError("this CPU (or ONDREL_CPU_CAP) lacks the field");
    return;
  }
  OpenSslX25519 openssl;
  bench_support::paired(
      state, [&] { benchmark::DoNotOptimize(crypto::x25519(kScalar, kPeer, isa)); }, [&] { openssl(); }, 4);
  const std::string theirs = openssl_x25519_level();
  state.SetLabel("openssl " + theirs + (theirs == crypto::to_string(isa) ? " matched" : ""));
}

void BM_X25519PublicKey_OpenSsl(benchmark::State& state) {
  std::array<std::uint8_t, 32> out{};
  openssl_ns_per_op[kX25519PublicKey] = timed(state, [&] {
    // OpenSSL derives the public key when the key object is made, so its time includes
    // making that object: the ratio flatters ours somewhat.
    Pkey priv(EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, kScalar.data(), kScalar.size()), EVP_PKEY_free);
    std::size_t len = out.size();
    EVP_PKEY_get_raw_public_key(priv.get(), out.data(), &len);
    benchmark::DoNotOptimize(out);
  });
}

void BM_X25519PublicKey_Ours(benchmark::State& state) {
  report(state, kX25519PublicKey, timed(state, [&] { benchmark::DoNotOptimize(crypto::x25519_public_key(kScalar)); }));
}

void BM_Ed25519Sign_OpenSsl(benchmark::State& state) {
  Pkey key = openssl_ed_key();
  MdCtx ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  std::array<std::uint8_t, 64> sig{};
  openssl_ns_per_op[kSign] = timed(state, [&] {
    // Like ours, OpenSSL's one-shot signing starts from the seed's expanded key.
    std::size_t len = sig.size();
    EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get());
    EVP_DigestSign(ctx.get(), sig.data(), &len, kMessage.data(), kMessage.size());
    benchmark::DoNotOptimize(sig);
  });
}

void BM_Ed25519Sign_Ours(benchmark::State& state) {
  report(state, kSign, timed(state, [&] { benchmark::DoNotOptimize(crypto::ed25519_sign(kSeed, kMessage)); }));
}

// One signature from a key expanded once (ed25519_signing_key), beside the same
// OpenSSL run: OpenSSL's key object holds its public key too.
void BM_Ed25519SignExpandedKey_Ours(benchmark::State& state) {
  const auto key = crypto::ed25519_signing_key(kSeed).value();
  report(state, kSign, timed(state, [&] { benchmark::DoNotOptimize(crypto::ed25519_sign(key, kMessage)); }));
}

void BM_Ed25519Verify_OpenSsl(benchmark::State& state) {
  Pkey key = openssl_ed_public();
  MdCtx ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  const auto sig = crypto::ed25519_sign(kSeed, kMessage).value();
  openssl_ns_per_op[kVerify] = timed(state, [&] {
    EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get());
    const int ok = EVP_DigestVerify(ctx.get(), sig.data(), sig.size(), kMessage.data(), kMessage.size());
    if (ok != 1) state.SkipWithError("OpenSSL refused a valid signature");
  });
}

void BM_Ed25519Verify_Ours(benchmark::State& state) {
  const auto pub = crypto::ed25519_public_key(kSeed).value();
  const auto sig = crypto::ed25519_sign(kSeed, kMessage).value();
  report(state, kVerify, timed(state, [&] {
           if (!crypto::ed25519_verify(pub, kMessage, sig)) state.SkipWithError("refused a valid signature");
         }));
}

// Ed25519 beside OpenSSL in alternating batches: signing from the seed, signing with a
// key expanded once, and verifying. OpenSSL signs from a key object that already holds
// the public key, so signing from the seed (which derives it again) does more work
// than OpenSSL's; signing with an expanded key is the like-for-like pair.
void BM_Ed25519_Paired(benchmark::State& state) {
  Pkey priv = openssl_ed_key();
  Pkey pub = openssl_ed_public();
  MdCtx ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  const auto key = crypto::ed25519_signing_key(kSeed).value();
  const auto sig = crypto::ed25519_sign(kSeed, kMessage).value();
  std::array<std::uint8_t, 64> out{};
  const auto openssl_sign = [&] {
    std::size_t len = out.size();
    EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, priv.get());
    EVP_DigestSign(ctx.get(), out.data(), &len, kMessage.data(), kMessage.size());
    benchmark::DoNotOptimize(out);
  };
  switch (state.range(0)) {
    case 0:
      bench_support::paired(
          state, [&] { benchmark::DoNotOptimize(crypto::ed25519_sign(kSeed, kMessage)); }, openssl_sign, 4);
      state.SetLabel("sign from seed");
      break;
    case 1:
      bench_support::paired(
          state, [&] { benchmark::DoNotOptimize(crypto::ed25519_sign(key, kMessage)); }, openssl_sign, 4);
      state.SetLabel("sign, expanded key");
      break;
    default:
      bench_support::paired(
          state,
          [&] {
            if (!crypto::ed25519_verify(key.public_key, kMessage, sig))
              state.SkipWithError("refused a valid signature");
          },
          [&] {
            EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, pub.get());
            if (EVP_DigestVerify(ctx.get(), sig.data(), sig.size(), kMessage.data(), kMessage.size()) != 1) {
              state.SkipWithError("OpenSSL refused a valid signature");
            }
          },
          4);
      state.SetLabel("verify");
      break;
  }
}

BENCHMARK(BM_X25519_OpenSsl);
BENCHMARK(BM_X25519_Ours);
BENCHMARK(BM_X25519_OursPortable);
BENCHMARK(BM_X25519_Field)->ArgName("field")->Arg(0)->Arg(1)->Arg(2);
BENCHMARK(BM_X25519PublicKey_OpenSsl);
BENCHMARK(BM_X25519PublicKey_Ours);
BENCHMARK(BM_Ed25519Sign_OpenSsl);
BENCHMARK(BM_Ed25519Sign_Ours);
BENCHMARK(BM_Ed25519SignExpandedKey_Ours);
BENCHMARK(BM_Ed25519Verify_OpenSsl);
BENCHMARK(BM_Ed25519Verify_Ours);
BENCHMARK(BM_Ed25519_Paired)->ArgName("op")->Arg(0)->Arg(1)->Arg(2);

}  // namespace
