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
  unsigned a7 = 0, b7 = 0, c7 = 0, d7 = 0;
  if (__get_cpuid_count(7, 0, &a7, &b7, &c7, &d7)) {
    const bool sha = (b7 >> 29) & 1;
    f.sha = sha && ssse3 && sse41;
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
