#pragma once
// AES-256-CBC through the x86 AES instructions. Only called when
// cpu_features().aes is set; results are identical to the portable code.
#include <cstddef>
#include <cstdint>

namespace crypto::detail {

void aes256_cbc_encrypt_x86(const std::uint8_t key[32], const std::uint8_t iv[16], const std::uint8_t* in,
                            std::uint8_t* out, std::size_t blocks);
void aes256_cbc_decrypt_x86(const std::uint8_t key[32], const std::uint8_t iv[16], const std::uint8_t* in,
                            std::uint8_t* out, std::size_t blocks);

}  // namespace crypto::detail
