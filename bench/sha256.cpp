// SHA-256 on each of our ways of compressing blocks beside OpenSSL's EVP sha256, timed in
// alternating batches. vs_openssl is our time over OpenSSL's (below 1 is faster).
//
// A fair pair holds OpenSSL to the instruction sets of our path, through
// OPENSSL_ia32cap; every row's label names OpenSSL's level and says "matched" on the
// row of ours at that level:
//   (nothing)                                    sha against sha
//   OPENSSL_ia32cap=':~0xf0230000'               avx2 against avx2 (SHA and AVX-512 cleared)
//   OPENSSL_ia32cap='~0x1000000000000000:~0xf0230128'
//                                                ssse3 against ssse3 (AVX, AVX2, BMI2,
//                                                AVX-512 and SHA cleared)
// ONDREL_CPU_CAP (sha; sha,avx2) holds the best path the same way, which the rows here
// do not need: each names its path.
#include <openssl/evp.h>

#include <cpuid.h>

#include <cstring>
#include <string>

#include <benchmark/benchmark.h>

#include "bench/openssl_cap.h"
#include "bench/paired.h"
#include "crypto/sha256.h"
#include "encoding/bytes.h"

namespace {

// The path OpenSSL 3's SHA-256 takes on the CPU it believes it has.
std::string openssl_sha256_level() {
  const auto cap = bench_support::openssl_cap();
  if (cap.leaf7_ebx_has(29)) return "sha";
  if (cap.leaf7_ebx_has(5) && cap.leaf7_ebx_has(3) && cap.leaf7_ebx_has(8)) return "avx2";
  unsigned a = 0, b = 0, c = 0, d = 0;
  __get_cpuid(0, &a, &b, &c, &d);
  const bool intel = b == 0x756e6547 && d == 0x49656e69 && c == 0x6c65746e;  // "GenuineIntel"
  if (intel && cap.leaf1_ecx_has(28)) return "avx";
  if (cap.leaf1_ecx_has(9)) return "ssse3";
  return "portable";
}

void BM_Sha256(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  const auto isa = static_cast<crypto::Sha256Isa>(state.range(1));
  if (!crypto::sha256_isa_supported(isa)) {
    state.SkipWithError("this CPU (or ONDREL_CPU_CAP) lacks the path");
    return;
  }
  Bytes data(size);
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(i * 131 + 7);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  const auto t = bench_support::paired(
      state,
      [&] {
        crypto::Sha256 h(isa);
        h.update(data);
        benchmark::DoNotOptimize(h.finalize());
      },
      [&] {
        unsigned char out[EVP_MAX_MD_SIZE];
        unsigned int len = 0;
        EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
        EVP_DigestUpdate(ctx, data.data(), data.size());
        EVP_DigestFinal_ex(ctx, out, &len);
        benchmark::DoNotOptimize(out);
      });
  EVP_MD_CTX_free(ctx);
  if (t.ours_ns > 0) {
    state.counters["ours_MBps"] = static_cast<double>(size) / t.ours_ns * 1e3;
    state.counters["openssl_MBps"] = static_cast<double>(size) / t.theirs_ns * 1e3;
  }
  const std::string theirs = openssl_sha256_level();
  state.SetLabel(std::string("openssl ") + theirs + (theirs == crypto::to_string(isa) ? " matched" : ""));
}

BENCHMARK(BM_Sha256)->ArgNames({"bytes", "path"})->ArgsProduct({{1024, 16384}, {0, 1, 2, 3}});

}  // namespace
