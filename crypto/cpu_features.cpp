#include "crypto/cpu_features.h"

#include <cstdlib>
#include <string_view>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace crypto {

namespace {

CpuFeatures detect() {
  CpuFeatures f;
#if defined(__x86_64__) || defined(__i386__)
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return f;
  const bool ssse3 = (c >> 9) & 1;
  const bool sse41 = (c >> 19) & 1;
  const bool aesni = (c >> 25) & 1;
  f.aes = aesni && ssse3 && sse41;
  // 256-bit registers are usable only when the OS saves them (XCR0 bits 1 and 2).
  const bool osxsave = (c >> 27) & 1;
  const bool avx = (c >> 28) & 1;
  bool ymm_enabled = false;
  if (osxsave && avx) {
    unsigned lo = 0, hi = 0;
    __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    ymm_enabled = (lo & 6) == 6;
  }
  unsigned a7 = 0, b7 = 0, c7 = 0, d7 = 0;
  if (__get_cpuid_count(7, 0, &a7, &b7, &c7, &d7)) {
    const bool sha = (b7 >> 29) & 1;
    f.sha = sha && ssse3 && sse41;
    f.avx2 = ymm_enabled && ((b7 >> 5) & 1);
    f.bmi2 = (b7 >> 8) & 1;
    f.adx = (b7 >> 19) & 1;
  }
  f.ssse3 = ssse3;
  // 512-bit registers also need the opmask and upper-ZMM state saved (XCR0 bits 5 to 7).
  bool zmm_enabled = false;
  if (osxsave && avx) {
    unsigned lo = 0, hi = 0;
    __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    zmm_enabled = (lo & 0xe6) == 0xe6;
  }
  // b7 stays 0 when the CPU has no leaf 7.
  if (zmm_enabled && f.avx2) {
    const bool avx512f = (b7 >> 16) & 1;
    const bool avx512bw = (b7 >> 30) & 1;
    const bool avx512vl = (b7 >> 31) & 1;
    f.avx512 = avx512f && avx512bw && avx512vl;
    f.avx512ifma = f.avx512 && ((b7 >> 21) & 1);
  }
#endif
  return f;
}

}  // namespace

void apply_cpu_cap(CpuFeatures& f, const char* cap) {
  if (cap == nullptr) return;
  std::string_view rest(cap);
  while (!rest.empty()) {
    const std::size_t comma = rest.find(',');
    const std::string_view name = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
    if (name == "avx512") f.avx512 = false;
    if (name == "ifma") f.avx512ifma = false;
    if (name == "avx2") f.avx2 = false;
    if (name == "ssse3") f.ssse3 = false;
    if (name == "sha") f.sha = false;
    if (name == "aes") f.aes = false;
    if (name == "bmi2adx") f.bmi2 = f.adx = false;
  }
  // Each vector level needs the ones below it, and the SHA and AES paths need SSSE3.
  if (!f.ssse3) f.avx2 = f.sha = f.aes = false;
  if (!f.avx2) f.avx512 = false;
  if (!f.avx512) f.avx512ifma = false;
}

const CpuFeatures& cpu_features() {
  static const CpuFeatures features = [] {
    CpuFeatures f = detect();
    apply_cpu_cap(f, std::getenv("ONDREL_CPU_CAP"));
    return f;
  }();
  return features;
}

VectorIsa best_vector_isa() {
  static const VectorIsa best = [] {
    const CpuFeatures& f = cpu_features();
    if (f.avx512) return VectorIsa::Avx512;
    if (f.avx2) return VectorIsa::Avx2;
    if (f.ssse3) return VectorIsa::Ssse3;
    return VectorIsa::Portable;
  }();
  return best;
}

bool vector_isa_supported(VectorIsa isa) { return isa <= best_vector_isa(); }

VectorIsa vector_isa_for(Engine engine) { return engine == Engine::Portable ? VectorIsa::Portable : best_vector_isa(); }

const char* to_string(VectorIsa isa) {
  switch (isa) {
    case VectorIsa::Portable: return "portable";
    case VectorIsa::Ssse3: return "ssse3";
    case VectorIsa::Avx2: return "avx2";
    case VectorIsa::Avx512: return "avx512";
  }
  return "unknown";
}

}  // namespace crypto
