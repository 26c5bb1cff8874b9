#pragma once
// Which instruction-set extensions the ciphers and hashes may use on this CPU.
//
// The hashes, AES and ChaCha20 have a portable path and a path through the CPU's
// SHA, AES or AVX2 instructions. Both give identical results; the faster one is taken when the CPU
// has it. Tests ask for the portable path explicitly so that both stay checked.

#include <cstdint>

namespace crypto {

struct CpuFeatures {
  bool sha = false;     // SHA-1 and SHA-256 instructions (with SSSE3 and SSE4.1)
  bool aes = false;     // AES round instructions (with SSSE3 and SSE4.1)
  bool avx2 = false;    // 256-bit integer vectors, enabled by the operating system
  bool avx512ifma = false;  // 52-bit multiply-add on 256-bit vectors (AVX-512 IFMA and VL), enabled by the OS
};

// Detected on first use and fixed for the life of the process.
const CpuFeatures& cpu_features();

// Which implementation an operation runs on.
enum class Engine : std::uint8_t {
  Best,      // the CPU instructions when present, else portable code
  Portable,  // plain C++ on every CPU
};

}  // namespace crypto
