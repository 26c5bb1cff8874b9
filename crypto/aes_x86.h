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

// The same work on keys expanded once: enc holds the 15 encryption round keys in FIPS
// 197 byte order, dec the decryption instructions' keys (last round first).
void aes256_expand_x86(const std::uint8_t key[32], std::uint8_t enc[240]);
void aes256_decryption_keys_x86(const std::uint8_t enc[240], std::uint8_t dec[240]);
void aes256_cbc_encrypt_rk_x86(const std::uint8_t enc[240], const std::uint8_t iv[16], const std::uint8_t* in,
                               std::uint8_t* out, std::size_t blocks);
void aes256_cbc_decrypt_rk_x86(const std::uint8_t dec[240], const std::uint8_t iv[16], const std::uint8_t* in,
                               std::uint8_t* out, std::size_t blocks);
// Independent CBC encryptions side by side, in place: lane i runs under the encryption
// round keys enc[i] from the chaining value iv[i] over `blocks` blocks at data[i], and
// leaves its last ciphertext block in iv[i]. Up to eight lanes run interleaved.
void aes256_cbc_encrypt_lanes_x86(const std::uint8_t* const enc[], std::uint8_t* const iv[], std::uint8_t* const data[],
                                  std::size_t lanes, std::size_t blocks);
// Single blocks in place, block[i] under the decryption round keys dec[i]; up to eight
// interleaved.
void aes256_decrypt_lanes_x86(const std::uint8_t* const dec[], std::uint8_t* const block[], std::size_t lanes);

}  // namespace crypto::detail
