#include "crypto/cpu_features.h"

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
    // AVX-512 IFMA with VL; the OS must save the opmask and upper registers too (XCR0
    // bits 5 to 7).
    unsigned xcr0 = 0, xcr0_hi = 0;
    if (ymm_enabled) __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0_hi) : "c"(0));
    f.avx512ifma = (xcr0 & 0xe0) == 0xe0 && ((b7 >> 16) & 1) && ((b7 >> 21) & 1) && ((b7 >> 31) & 1);
  }
#endif
  return f;
}

}  // namespace

const CpuFeatures& cpu_features() {
  static const CpuFeatures features = detect();
  return features;
}

}  // namespace crypto
