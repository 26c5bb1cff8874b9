#include "crypto/aes_core.h"

#include <bit>

#include "crypto/aes_tables.h"
#include "crypto/endian.h"

namespace crypto {

namespace {

// Multiplication by x in GF(2^8), without a data-dependent branch.
inline std::uint8_t xtime(std::uint8_t x) { return static_cast<std::uint8_t>((x << 1) ^ (0x1b & (0u - (x >> 7)))); }

void mix_columns(AesBlock& s) {
  for (int c = 0; c < 4; ++c) {
    std::uint8_t* a = s.data() + 4 * c;
    const std::uint8_t a0 = a[0], a1 = a[1], a2 = a[2], a3 = a[3];
    const std::uint8_t t = a0 ^ a1 ^ a2 ^ a3;
    a[0] = a0 ^ t ^ xtime(a0 ^ a1);
    a[1] = a1 ^ t ^ xtime(a1 ^ a2);
    a[2] = a2 ^ t ^ xtime(a2 ^ a3);
    a[3] = a3 ^ t ^ xtime(a3 ^ a0);
  }
}

void inv_mix_columns(AesBlock& s) {
  for (int c = 0; c < 4; ++c) {
    std::uint8_t* a = s.data() + 4 * c;
    std::uint8_t m9[4], m11[4], m13[4], m14[4];
    for (int i = 0; i < 4; ++i) {
      const std::uint8_t x2 = xtime(a[i]);
      const std::uint8_t x4 = xtime(x2);
      const std::uint8_t x8 = xtime(x4);
      m9[i] = x8 ^ a[i];
      m11[i] = x8 ^ x2 ^ a[i];
      m13[i] = x8 ^ x4 ^ a[i];
      m14[i] = x8 ^ x4 ^ x2;
    }
    a[0] = m14[0] ^ m11[1] ^ m13[2] ^ m9[3];
    a[1] = m9[0] ^ m14[1] ^ m11[2] ^ m13[3];
    a[2] = m13[0] ^ m9[1] ^ m14[2] ^ m11[3];
    a[3] = m11[0] ^ m13[1] ^ m9[2] ^ m14[3];
  }
}

}  // namespace

std::uint32_t aes_sub_word(std::uint32_t w) {
  return static_cast<std::uint32_t>(aes_sbox[w >> 24]) << 24 |
         static_cast<std::uint32_t>(aes_sbox[(w >> 16) & 0xff]) << 16 |
         static_cast<std::uint32_t>(aes_sbox[(w >> 8) & 0xff]) << 8 | static_cast<std::uint32_t>(aes_sbox[w & 0xff]);
}

AesSchedule aes256_expand_key(const std::uint8_t key[32]) {
  std::uint32_t w[60];
  for (int i = 0; i < 8; ++i) w[i] = read_u32_be(key + 4 * i);
  for (int i = 8; i < 60; ++i) {
    std::uint32_t t = w[i - 1];
    if (i % 8 == 0) {
      t = aes_sub_word(std::rotl(t, 8)) ^ aes_rcon[static_cast<std::size_t>(i / 8)];
    } else if (i % 8 == 4) {
      t = aes_sub_word(t);
    }
    w[i] = w[i - 8] ^ t;
  }
  AesSchedule rk;
  for (int i = 0; i < 60; ++i) write_u32_be(rk.data() + 4 * i, w[i]);
  return rk;
}

void aes_add_round_key(AesBlock& state, const AesSchedule& rk, int round) {
  for (int i = 0; i < 16; ++i) state[static_cast<std::size_t>(i)] ^= rk[static_cast<std::size_t>(16 * round + i)];
}

void aes_sub_bytes(AesBlock& state) {
  for (auto& b : state) b = aes_sbox[b];
}

void aes_inv_sub_bytes(AesBlock& state) {
  for (auto& b : state) b = aes_inv_sbox[b];
}

// Row r (bytes r, r+4, r+8, r+12) rotates left by r positions.
void aes_shift_rows(AesBlock& state) {
  const AesBlock s = state;
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c)
      state[static_cast<std::size_t>(r + 4 * c)] = s[static_cast<std::size_t>(r + 4 * ((c + r) % 4))];
  }
}

void aes_inv_shift_rows(AesBlock& state) {
  const AesBlock s = state;
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c)
      state[static_cast<std::size_t>(r + 4 * ((c + r) % 4))] = s[static_cast<std::size_t>(r + 4 * c)];
  }
}

void aes256_encrypt_block_with_rk(AesBlock& state, const AesSchedule& rk) {
  aes_add_round_key(state, rk, 0);
  for (int round = 1; round < 14; ++round) {
    aes_sub_bytes(state);
    aes_shift_rows(state);
    mix_columns(state);
    aes_add_round_key(state, rk, round);
  }
  aes_sub_bytes(state);
  aes_shift_rows(state);
  aes_add_round_key(state, rk, 14);
}

void aes256_decrypt_block_with_rk(AesBlock& state, const AesSchedule& rk) {
  aes_add_round_key(state, rk, 14);
  for (int round = 13; round >= 1; --round) {
    aes_inv_shift_rows(state);
    aes_inv_sub_bytes(state);
    aes_add_round_key(state, rk, round);
    inv_mix_columns(state);
  }
  aes_inv_shift_rows(state);
  aes_inv_sub_bytes(state);
  aes_add_round_key(state, rk, 0);
}

}  // namespace crypto
