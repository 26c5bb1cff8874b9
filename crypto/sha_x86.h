#pragma once
// Block functions of SHA-1 and SHA-256 through the x86 SHA instructions. Only called
// when cpu_features().sha is set; they give the same state as the portable code.
#include <cstddef>
#include <cstdint>

namespace crypto::detail {

void sha256_blocks_x86(std::uint32_t state[8], const std::uint8_t* p, std::size_t blocks);
void sha1_blocks_x86(std::uint32_t state[5], const std::uint8_t* p, std::size_t blocks);

}  // namespace crypto::detail
