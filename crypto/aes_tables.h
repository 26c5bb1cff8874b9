#pragma once
// The constant tables of AES: S-box, inverse S-box and the AES-256 round constants.
//
// All three are computed by the compiler from their definitions (inversion in
// GF(2^8) followed by the affine map), so they exist fully formed in the program
// image and no code has to fill them before the first AES operation.

#include <array>
#include <cstdint>

namespace crypto {

namespace aes_detail {

// Multiplication in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1.
constexpr std::uint8_t gf_mul(std::uint8_t a, std::uint8_t b) {
  std::uint8_t p = 0;
  for (int i = 0; i < 8; ++i) {
    if (b & 1) p ^= a;
    const bool high = a & 0x80;
    a = static_cast<std::uint8_t>(a << 1);
    if (high) a ^= 0x1b;
    b >>= 1;
  }
  return p;
}

// The multiplicative inverse, x^254; 0 maps to 0.
constexpr std::uint8_t gf_inv(std::uint8_t x) {
  std::uint8_t result = 1;
  std::uint8_t base = x;
  for (int e = 254; e > 0; e >>= 1) {
    if (e & 1) result = gf_mul(result, base);
    base = gf_mul(base, base);
  }
  return x == 0 ? 0 : result;
}

constexpr std::uint8_t rotl8(std::uint8_t x, int n) { return static_cast<std::uint8_t>((x << n) | (x >> (8 - n))); }

constexpr std::array<std::uint8_t, 256> make_sbox() {
  std::array<std::uint8_t, 256> s{};
  for (int x = 0; x < 256; ++x) {
    const std::uint8_t b = gf_inv(static_cast<std::uint8_t>(x));
    s[static_cast<std::size_t>(x)] =
        static_cast<std::uint8_t>(b ^ rotl8(b, 1) ^ rotl8(b, 2) ^ rotl8(b, 3) ^ rotl8(b, 4) ^ 0x63);
  }
  return s;
}

constexpr std::array<std::uint8_t, 256> make_inv_sbox(const std::array<std::uint8_t, 256>& s) {
  std::array<std::uint8_t, 256> inv{};
  for (int x = 0; x < 256; ++x) inv[s[static_cast<std::size_t>(x)]] = static_cast<std::uint8_t>(x);
  return inv;
}

constexpr std::array<std::uint32_t, 8> make_rcon() {
  std::array<std::uint32_t, 8> r{};
  std::uint8_t c = 1;
  for (std::size_t i = 1; i < r.size(); ++i) {
    r[i] = static_cast<std::uint32_t>(c) << 24;
    c = gf_mul(c, 2);
  }
  return r;
}

}  // namespace aes_detail

inline constexpr std::array<std::uint8_t, 256> aes_sbox = aes_detail::make_sbox();
inline constexpr std::array<std::uint8_t, 256> aes_inv_sbox = aes_detail::make_inv_sbox(aes_sbox);
// Index 0 is unused (0); index i holds 2^(i-1) in its most significant byte.
inline constexpr std::array<std::uint32_t, 8> aes_rcon = aes_detail::make_rcon();

static_assert(aes_sbox[0x00] == 0x63 && aes_sbox[0x01] == 0x7c && aes_sbox[0x53] == 0xed && aes_sbox[0xff] == 0x16);
static_assert(aes_inv_sbox[0x63] == 0x00 && aes_inv_sbox[0x16] == 0xff);
static_assert(aes_rcon[0] == 0 && aes_rcon[1] == 0x01000000 && aes_rcon[7] == 0x40000000);

}  // namespace crypto
