#pragma once
// The 64-bit Poly1305 step on one 16-byte block, shared by the Poly1305 class and by
// code that runs it between steps of other work (the AEAD feeds ciphertext to it
// between ChaCha20 rounds, where the vector code leaves the integer units idle).
#include <cstdint>

#include "crypto/endian.h"

#ifndef __SIZEOF_INT128__
#error "Poly1305 needs a 64x64->128-bit multiply (unsigned __int128)"
#endif

namespace crypto::detail {

// r (clamped) in two 64-bit halves; the accumulator h as 64 + 64 + a few bits, kept
// below 2 (2^130 - 5) between blocks.
struct Poly1305Scalar {
  std::uint64_t r0 = 0, r1 = 0;
  std::uint64_t h0 = 0, h1 = 0, h2 = 0;
};

// h = (h + m + hibit 2^128) r modulo 2^130 - 5, partially reduced; s1 = r1 + r1 / 4.
//
// With r1 a multiple of 4, the parts of the product at 2^128 and above fold back
// as h1 * r1 * 2^128 = h1 * (r1 / 4) * 5 * 2^0 (mod p), hence s1.
[[gnu::always_inline]] inline void poly1305_scalar_block(std::uint64_t r0, std::uint64_t r1, std::uint64_t s1,
                                                         std::uint64_t& h0, std::uint64_t& h1, std::uint64_t& h2,
                                                         const std::uint8_t* m, std::uint64_t hibit) {
  using u128 = unsigned __int128;
  // The carry out of a + b where sum = a + b (mod 2^64), without a branch.
  const auto carry_of = [](std::uint64_t sum, std::uint64_t b) -> std::uint64_t { return sum < b ? 1 : 0; };
  // h += m
  u128 d0 = static_cast<u128>(h0) + read_u64_le(m);
  h0 = static_cast<std::uint64_t>(d0);
  u128 d1 = static_cast<u128>(h1) + static_cast<std::uint64_t>(d0 >> 64) + read_u64_le(m + 8);
  h1 = static_cast<std::uint64_t>(d1);
  h2 += static_cast<std::uint64_t>(d1 >> 64) + hibit;

  // h *= r, partially reduced
  d0 = static_cast<u128>(h0) * r0 + static_cast<u128>(h1) * s1;
  d1 = static_cast<u128>(h0) * r1 + static_cast<u128>(h1) * r0 + static_cast<u128>(h2) * s1;
  h2 = h2 * r0;

  h0 = static_cast<std::uint64_t>(d0);
  d1 += static_cast<std::uint64_t>(d0 >> 64);
  h1 = static_cast<std::uint64_t>(d1);
  h2 += static_cast<std::uint64_t>(d1 >> 64);

  // Fold the bits at 2^130 and above back in: (h2 >> 2) * 5.
  const std::uint64_t c = (h2 >> 2) + (h2 & ~std::uint64_t{3});
  h2 &= 3;
  h0 += c;
  const std::uint64_t c0 = carry_of(h0, c);
  h1 += c0;
  h2 += carry_of(h1, c0);
}

}  // namespace crypto::detail
