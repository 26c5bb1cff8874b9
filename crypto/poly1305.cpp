#include "crypto/poly1305.h"

#include <cstring>

#include "crypto/endian.h"

#ifndef __SIZEOF_INT128__
#error "Poly1305 needs a 64x64->128-bit multiply (unsigned __int128)"
#endif

namespace crypto {

namespace {

using u128 = unsigned __int128;

// The carry out of a + b where sum = a + b (mod 2^64), computed without a branch.
inline std::uint64_t carry_of(std::uint64_t sum, std::uint64_t b) { return sum < b ? 1 : 0; }

}  // namespace

Poly1305::Poly1305(const std::uint8_t key[32]) {
  // r is clamped as the RFC requires: the top four bits of every 32-bit word and
  // the low two bits of the upper three words are cleared.
  r0_ = read_u64_le(key) & 0x0ffffffc0fffffff;
  r1_ = read_u64_le(key + 8) & 0x0ffffffc0ffffffc;
  std::memcpy(s_, key + 16, 16);
}

// h = (h + m) * r mod 2^130 - 5 for every 16-byte block; hibit is the 2^128 bit
// (1 for full blocks, 0 for the padded final block).
//
// With r1 a multiple of 4, the parts of the product at 2^128 and above fold back
// as h1 * r1 * 2^128 = h1 * (r1 / 4) * 5 * 2^0 (mod p), hence s1 = r1 + r1 / 4.
void Poly1305::blocks(const std::uint8_t* m, std::size_t n, std::uint64_t hibit) {
  const std::uint64_t r0 = r0_, r1 = r1_;
  const std::uint64_t s1 = r1 + (r1 >> 2);
  std::uint64_t h0 = h0_, h1 = h1_, h2 = h2_;
  for (; n > 0; --n, m += 16) {
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
  h0_ = h0;
  h1_ = h1;
  h2_ = h2;
}

void Poly1305::update(const std::uint8_t* data, std::size_t len) {
  if (len == 0) return;
  if (pos_ > 0) {
    const std::size_t take = len < 16 - pos_ ? len : 16 - pos_;
    std::memcpy(buf_ + pos_, data, take);
    pos_ += take;
    data += take;
    len -= take;
    if (pos_ < 16) return;
    blocks(buf_, 1, 1);
    pos_ = 0;
  }
  if (len >= 16) {
    blocks(data, len / 16, 1);
    data += len / 16 * 16;
    len %= 16;
  }
  if (len > 0) {
    std::memcpy(buf_, data, len);
    pos_ = len;
  }
}

void Poly1305::pad16() {
  if (pos_ == 0) return;
  std::memset(buf_ + pos_, 0, 16 - pos_);
  blocks(buf_, 1, 1);
  pos_ = 0;
}

Poly1305Tag Poly1305::finalize() {
  if (pos_ > 0) {
    // A short final block: its bytes, then 0x01, then zeros, and no 2^128 bit.
    buf_[pos_] = 1;
    if (pos_ + 1 < 16) std::memset(buf_ + pos_ + 1, 0, 16 - pos_ - 1);
    blocks(buf_, 1, 0);
    pos_ = 0;
  }

  // h is below 2 * p here. g = h + 5 reaches 2^130 exactly when h >= p; then h - p
  // is the low 130 bits of g. Select without a branch.
  u128 t = static_cast<u128>(h0_) + 5;
  const std::uint64_t g0 = static_cast<std::uint64_t>(t);
  t = static_cast<u128>(h1_) + static_cast<std::uint64_t>(t >> 64);
  const std::uint64_t g1 = static_cast<std::uint64_t>(t);
  const std::uint64_t g2 = h2_ + static_cast<std::uint64_t>(t >> 64);
  const std::uint64_t take_g = 0 - (g2 >> 2);  // all ones when g >= 2^130
  const std::uint64_t h0 = (h0_ & ~take_g) | (g0 & take_g);
  const std::uint64_t h1 = (h1_ & ~take_g) | (g1 & take_g);

  // tag = (h + s) mod 2^128
  t = static_cast<u128>(h0) + read_u64_le(s_);
  Poly1305Tag tag;
  write_u64_le(tag.data(), static_cast<std::uint64_t>(t));
  t = static_cast<u128>(h1) + read_u64_le(s_ + 8) + static_cast<std::uint64_t>(t >> 64);
  write_u64_le(tag.data() + 8, static_cast<std::uint64_t>(t));
  return tag;
}

Result<Poly1305Tag> poly1305_mac(ByteView one_time_key, ByteView message) {
  if (one_time_key.size() != 32) {
    return fail(CryptoError::InvalidKey, msg("Poly1305 requires a 32-byte one-time key, got ", one_time_key.size()));
  }
  Poly1305 p(one_time_key.data());
  p.update(message.data(), message.size());
  return p.finalize();
}

}  // namespace crypto
