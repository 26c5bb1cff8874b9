#pragma once
// What OpenSSL's libcrypto will take its CPU to be: the CPUID words it reads, masked as
// the OPENSSL_ia32cap environment variable asks ("~A:~B" clears the bits of A in the
// leaf-1 EDX:ECX word and those of B in the leaf-7 EBX:ECX word). The benchmarks hold OpenSSL to the same instruction
// sets as ours and name the level each side ran at, so a mismatched pair shows in the output.
#include <cpuid.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace bench_support {

struct OpenSslCap {
  std::uint32_t leaf1_edx = 0, leaf1_ecx = 0, leaf7_ebx = 0, leaf7_ecx = 0;
  bool leaf1_ecx_has(int bit) const { return (leaf1_ecx >> bit) & 1; }
  bool leaf7_ebx_has(int bit) const { return (leaf7_ebx >> bit) & 1; }
};

inline OpenSslCap openssl_cap() {
  OpenSslCap c;
  unsigned a = 0, b = 0, cx = 0, d = 0;
  __get_cpuid(1, &a, &b, &cx, &d);
  c.leaf1_edx = d;
  c.leaf1_ecx = cx;
  if (__get_cpuid_count(7, 0, &a, &b, &cx, &d)) {
    c.leaf7_ebx = b;
    c.leaf7_ecx = cx;
  }
  const char* env = std::getenv("OPENSSL_ia32cap");
  if (env == nullptr) return c;
  // As OpenSSL reads it: "~A" clears bits of the detected first word, ":" keeps it as
  // detected, and a plain A replaces it without detecting anything, the second word
  // included. After a colon, "~B" clears bits of the second word and a plain B
  // replaces it; with no colon the second word is zero.
  const auto number = [](const char* s) { return std::strtoull(s, nullptr, 0); };
  if (*env == '~') {
    const std::uint64_t v = number(env + 1);
    c.leaf1_edx &= ~static_cast<std::uint32_t>(v);
    c.leaf1_ecx &= ~static_cast<std::uint32_t>(v >> 32);
  } else if (*env != ':') {
    const std::uint64_t v = number(env);
    c.leaf1_edx = static_cast<std::uint32_t>(v);
    c.leaf1_ecx = static_cast<std::uint32_t>(v >> 32);
    c.leaf7_ebx = c.leaf7_ecx = 0;
  }
  const char* colon = std::strchr(env, ':');
  if (colon == nullptr) {
    c.leaf7_ebx = c.leaf7_ecx = 0;
  } else if (colon[1] == '~') {
    const std::uint64_t v = number(colon + 2);
    c.leaf7_ebx &= ~static_cast<std::uint32_t>(v);
    c.leaf7_ecx &= ~static_cast<std::uint32_t>(v >> 32);
  } else {
    const std::uint64_t v = number(colon + 1);
    c.leaf7_ebx = static_cast<std::uint32_t>(v);
    c.leaf7_ecx = static_cast<std::uint32_t>(v >> 32);
  }
  return c;
}

}  // namespace bench_support
