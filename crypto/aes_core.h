#pragma once
// The steps of the portable AES-256 implementation, one block at a time.
//
// The state is 16 bytes in input order (byte index = row + 4 * column). The key
// schedule is the 60 words of the AES-256 expansion as 240 bytes, word i big-endian
// at bytes 4i..4i+3, so round key N is bytes 16N..16N+15.

#include <array>
#include <cstdint>

namespace crypto {

using AesSchedule = std::array<std::uint8_t, 240>;
using AesBlock = std::array<std::uint8_t, 16>;

std::uint32_t aes_sub_word(std::uint32_t w);
AesSchedule aes256_expand_key(const std::uint8_t key[32]);

void aes_add_round_key(AesBlock& state, const AesSchedule& rk, int round);
void aes_sub_bytes(AesBlock& state);
void aes_inv_sub_bytes(AesBlock& state);
void aes_shift_rows(AesBlock& state);
void aes_inv_shift_rows(AesBlock& state);

// One block in place under an expanded schedule.
void aes256_encrypt_block_with_rk(AesBlock& state, const AesSchedule& rk);
void aes256_decrypt_block_with_rk(AesBlock& state, const AesSchedule& rk);

}  // namespace crypto
