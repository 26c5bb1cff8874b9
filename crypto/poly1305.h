#pragma once
// The Poly1305 one-time authenticator (RFC 8439).
#include <array>
#include <cstddef>
#include <cstdint>

#include "crypto/cpu_features.h"
#include "crypto/poly1305_scalar.h"
#include "encoding/bytes.h"
#include "encoding/error.h"

namespace crypto {

using Poly1305Tag = std::array<std::uint8_t, 16>;

// The 16-byte tag of message under a 32-byte one-time key.
Result<Poly1305Tag> poly1305_mac(ByteView one_time_key, ByteView message);
// The same at a chosen vector level, so that tests and benchmarks reach every one.
Result<Poly1305Tag> poly1305_mac(ByteView one_time_key, ByteView message, VectorIsa isa);

// Incremental Poly1305 over a message fed in pieces; the AEAD uses it to
// authenticate ad, ciphertext, padding and lengths without joining them first.
// The key is not checked here: callers pass exactly 32 bytes.
class Poly1305 {
 public:
  // Long runs of blocks go eight at a time through AVX-512 IFMA when `isa` is
  // Avx512 and the CPU has IFMA, else four at a time through AVX2 when `isa` is at
  // least Avx2, else two at a time through SSE2 at Ssse3; shorter runs, and the
  // portable level, take the 64-bit code.
  explicit Poly1305(const std::uint8_t key[32], VectorIsa isa = best_vector_isa());
  void update(const std::uint8_t* data, std::size_t len);
  // Zero bytes up to the next multiple of 16 of everything fed so far.
  void pad16();
  Poly1305Tag finalize();

  // The 64-bit state, for a caller that runs whole blocks itself between steps of
  // other work, and the accumulator it hands back. Only between whole blocks: nothing
  // may be buffered (everything fed so far a multiple of 16 bytes, or pad16() called).
  detail::Poly1305Scalar scalar_state() const;
  void set_accumulator(const detail::Poly1305Scalar& state);

 private:
  void blocks(const std::uint8_t* m, std::size_t n, std::uint64_t hibit);
  void wide_blocks(const std::uint8_t* m, std::size_t n);

  // r (clamped) in two 64-bit halves; the accumulator h as 64 + 64 + a few bits,
  // kept partially reduced modulo 2^130 - 5 between blocks.
  std::uint64_t r0_, r1_;
  std::uint64_t h0_ = 0, h1_ = 0, h2_ = 0;
  std::uint8_t s_[16];
  std::uint8_t buf_[16];
  std::size_t pos_ = 0;
  enum class Wide : std::uint8_t { None, Sse2, Avx2, Ifma };
  Wide wide_ = Wide::None;
  // Powers of r for the wide code, computed on its first use: r^1 .. r^8 in radix
  // 2^44 for IFMA; in radix 2^26, r^1 .. r^4 and r^8 for AVX2, r^1, r^2, r^4, r^6 and
  // r^8 for SSE2, at index power - 1.
  bool have_powers_ = false;
  std::uint64_t powers44_[8][3];
  std::uint64_t powers26_[8][5];
};

}  // namespace crypto
