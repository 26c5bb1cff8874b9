#include "crypto/poly1305.h"

#include <cstring>

#include "crypto/endian.h"

namespace crypto {

namespace {
constexpr std::uint32_t mask26 = 0x3ffffff;
}

Poly1305::Poly1305(const std::uint8_t key[32]) {
  // r is clamped as the RFC requires, and split into 26-bit limbs.
  r_[0] = read_u32_le(key + 0) & 0x3ffffff;
  r_[1] = (read_u32_le(key + 3) >> 2) & 0x3ffff03;
  r_[2] = (read_u32_le(key + 6) >> 4) & 0x3ffc0ff;
  r_[3] = (read_u32_le(key + 9) >> 6) & 0x3f03fff;
  r_[4] = (read_u32_le(key + 12) >> 8) & 0x00fffff;
  std::memcpy(s_, key + 16, 16);
}

// h = (h + m) * r mod 2^130 - 5 for every 16-byte block; hibit is 2^128 in limb form
// (2^24 in the top limb) for full blocks and 0 for the padded final block.
void Poly1305::blocks(const std::uint8_t* m, std::size_t n, std::uint32_t hibit) {
  const std::uint64_t r0 = r_[0], r1 = r_[1], r2 = r_[2], r3 = r_[3], r4 = r_[4];
  const std::uint64_t s1 = r1 * 5, s2 = r2 * 5, s3 = r3 * 5, s4 = r4 * 5;
  std::uint64_t h0 = h_[0], h1 = h_[1], h2 = h_[2], h3 = h_[3], h4 = h_[4];
  for (; n > 0; --n, m += 16) {
    h0 += read_u32_le(m + 0) & mask26;
    h1 += (read_u32_le(m + 3) >> 2) & mask26;
    h2 += (read_u32_le(m + 6) >> 4) & mask26;
    h3 += (read_u32_le(m + 9) >> 6) & mask26;
    h4 += (read_u32_le(m + 12) >> 8) | hibit;

    const std::uint64_t d0 = h0 * r0 + h1 * s4 + h2 * s3 + h3 * s2 + h4 * s1;
    std::uint64_t d1 = h0 * r1 + h1 * r0 + h2 * s4 + h3 * s3 + h4 * s2;
    std::uint64_t d2 = h0 * r2 + h1 * r1 + h2 * r0 + h3 * s4 + h4 * s3;
    std::uint64_t d3 = h0 * r3 + h1 * r2 + h2 * r1 + h3 * r0 + h4 * s4;
    std::uint64_t d4 = h0 * r4 + h1 * r3 + h2 * r2 + h3 * r1 + h4 * r0;

    std::uint64_t c = d0 >> 26;
    h0 = d0 & mask26;
    d1 += c;
    c = d1 >> 26;
    h1 = d1 & mask26;
    d2 += c;
    c = d2 >> 26;
    h2 = d2 & mask26;
    d3 += c;
    c = d3 >> 26;
    h3 = d3 & mask26;
    d4 += c;
    c = d4 >> 26;
    h4 = d4 & mask26;
    h0 += c * 5;
    c = h0 >> 26;
    h0 &= mask26;
    h1 += c;
  }
  h_[0] = static_cast<std::uint32_t>(h0);
  h_[1] = static_cast<std::uint32_t>(h1);
  h_[2] = static_cast<std::uint32_t>(h2);
  h_[3] = static_cast<std::uint32_t>(h3);
  h_[4] = static_cast<std::uint32_t>(h4);
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
    blocks(buf_, 1, 1u << 24);
    pos_ = 0;
  }
  if (len >= 16) {
    blocks(data, len / 16, 1u << 24);
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
  blocks(buf_, 1, 1u << 24);
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

  // Fully carry h, then reduce it modulo 2^130 - 5 without branches.
  std::uint32_t h0 = h_[0], h1 = h_[1], h2 = h_[2], h3 = h_[3], h4 = h_[4];
  std::uint32_t c = h1 >> 26;
  h1 &= mask26;
  h2 += c;
  c = h2 >> 26;
  h2 &= mask26;
  h3 += c;
  c = h3 >> 26;
  h3 &= mask26;
  h4 += c;
  c = h4 >> 26;
  h4 &= mask26;
  h0 += c * 5;
  c = h0 >> 26;
  h0 &= mask26;
  h1 += c;

  // g = h + 5 - 2^130; take g when it did not go negative, that is when h >= p.
  std::uint32_t g0 = h0 + 5;
  c = g0 >> 26;
  g0 &= mask26;
  std::uint32_t g1 = h1 + c;
  c = g1 >> 26;
  g1 &= mask26;
  std::uint32_t g2 = h2 + c;
  c = g2 >> 26;
  g2 &= mask26;
  std::uint32_t g3 = h3 + c;
  c = g3 >> 26;
  g3 &= mask26;
  const std::uint32_t g4 = h4 + c - (1u << 26);

  const std::uint32_t keep_g = (g4 >> 31) - 1;  // all ones when g4 did not borrow
  h0 = (h0 & ~keep_g) | (g0 & keep_g);
  h1 = (h1 & ~keep_g) | (g1 & keep_g);
  h2 = (h2 & ~keep_g) | (g2 & keep_g);
  h3 = (h3 & ~keep_g) | (g3 & keep_g);
  h4 = (h4 & ~keep_g) | (g4 & keep_g);

  // h mod 2^128 as four 32-bit words, plus s.
  const std::uint32_t w0 = h0 | (h1 << 26);
  const std::uint32_t w1 = (h1 >> 6) | (h2 << 20);
  const std::uint32_t w2 = (h2 >> 12) | (h3 << 14);
  const std::uint32_t w3 = (h3 >> 18) | (h4 << 8);

  Poly1305Tag tag;
  std::uint64_t f = static_cast<std::uint64_t>(w0) + read_u32_le(s_ + 0);
  write_u32_le(tag.data() + 0, static_cast<std::uint32_t>(f));
  f = static_cast<std::uint64_t>(w1) + read_u32_le(s_ + 4) + (f >> 32);
  write_u32_le(tag.data() + 4, static_cast<std::uint32_t>(f));
  f = static_cast<std::uint64_t>(w2) + read_u32_le(s_ + 8) + (f >> 32);
  write_u32_le(tag.data() + 8, static_cast<std::uint32_t>(f));
  f = static_cast<std::uint64_t>(w3) + read_u32_le(s_ + 12) + (f >> 32);
  write_u32_le(tag.data() + 12, static_cast<std::uint32_t>(f));
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
