#pragma once
// ChaCha20 keystream XOR eight blocks at a time through AVX2. Only called when
// cpu_features().avx2 is set; results are identical to the portable code.
#include <cstddef>
#include <cstdint>

namespace crypto::detail {

// XORs whole 512-byte groups of `in` with the keystream of the 16-word input state
// (block counter in word 12) and returns the number of bytes done, a multiple of 512.
std::size_t chacha20_xor_avx2(const std::uint32_t input[16], const std::uint8_t* in, std::uint8_t* out,
                              std::size_t len);

}  // namespace crypto::detail
