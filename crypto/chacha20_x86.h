#pragma once
// ChaCha20 keystream XOR four, eight or sixteen blocks at a time through SSSE3, AVX2
// or AVX-512. Each is called only when cpu_features() reports its instructions;
// results are identical to the portable code.
//
// Every function takes the 16-word input state (block counter in word 12) and XORs
// `in` with the keystream from that counter on; in and out may be the same buffer.
#include <cstddef>
#include <cstdint>

#include "crypto/poly1305_scalar.h"

namespace crypto::detail {

// All of len, the last partial group through a keystream buffer.
void chacha20_xor_ssse3(const std::uint32_t input[16], const std::uint8_t* in, std::uint8_t* out, std::size_t len);
// The same four-block code built for AVX2 (three-operand forms) and for AVX-512VL
// (single-instruction rotates, 32 registers), for the short inputs and tails at
// those levels.
void chacha20_xor4_avx2(const std::uint32_t input[16], const std::uint8_t* in, std::uint8_t* out, std::size_t len);
void chacha20_xor4_avx512vl(const std::uint32_t input[16], const std::uint8_t* in, std::uint8_t* out, std::size_t len);

// Whole 512-byte groups only; returns the number of bytes done, a multiple of 512.
std::size_t chacha20_xor_avx2(const std::uint32_t input[16], const std::uint8_t* in, std::uint8_t* out,
                              std::size_t len);

// Whole 1,024-byte groups, and a last group of more than 512 bytes through masked
// loads and stores; returns the number of bytes done (len, or a multiple of 1,024 when
// at most 512 bytes are left for the narrower code).
std::size_t chacha20_xor_avx512(const std::uint32_t input[16], const std::uint8_t* in, std::uint8_t* out,
                                std::size_t len);

// The AEAD's sealing form of the SSSE3 and AVX2 code: whole groups of 256 (SSSE3) or
// 512 (AVX2) bytes only, and the ciphertext of every group but the last is fed to
// `mac` (full blocks, from out[0] on) while the next group is computed. Returns the
// number of bytes done; the caller authenticates the last group's ciphertext itself.
std::size_t chacha20_xor_authenticating_ssse3(const std::uint32_t input[16], const std::uint8_t* in, std::uint8_t* out,
                                              std::size_t len, Poly1305Scalar& mac);
std::size_t chacha20_xor_authenticating_avx2(const std::uint32_t input[16], const std::uint8_t* in, std::uint8_t* out,
                                             std::size_t len, Poly1305Scalar& mac);

}  // namespace crypto::detail
