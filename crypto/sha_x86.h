#pragma once
// Block functions of SHA-1 and SHA-256 through the x86 SHA instructions. Only called
// when cpu_features().sha is set; they give the same state as the portable code.
#include <cstddef>
#include <cstdint>

namespace crypto::detail {

void sha256_blocks_x86(std::uint32_t state[8], const std::uint8_t* p, std::size_t blocks);
// Sixteen messages side by side in AVX-512 lanes (F, BW, VL), each the same number of
// blocks from its own pointer into its own state: the states one sha256_blocks_x86 call
// per message gives. Only called when cpu_features().avx512 is set.
void sha256_blocks_x16(std::uint32_t* const state[16], const std::uint8_t* const data[16], std::size_t blocks);
// SHA-256 blocks on CPUs without the SHA instructions, the message schedule in vectors:
// one block at a time through SSSE3 (only called when cpu_features().ssse3 is set), or
// two at a time through AVX2 with BMI2 rotations (cpu_features().avx2 and bmi2).
void sha256_blocks_ssse3(std::uint32_t state[8], const std::uint8_t* p, std::size_t blocks);
void sha256_blocks_avx2(std::uint32_t state[8], const std::uint8_t* p, std::size_t blocks);
void sha1_blocks_x86(std::uint32_t state[5], const std::uint8_t* p, std::size_t blocks);

}  // namespace crypto::detail
