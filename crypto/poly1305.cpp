#include "crypto/poly1305.h"

#include <cstring>

#include "crypto/endian.h"
#include "crypto/poly1305_scalar.h"
#include "crypto/poly1305_x86.h"

namespace crypto {

namespace {

using u128 = unsigned __int128;

constexpr std::uint64_t mask44 = (std::uint64_t{1} << 44) - 1;
constexpr std::uint64_t mask42 = (std::uint64_t{1} << 42) - 1;

// Below this many blocks the wide code's set-up (the powers of r, the final sum of
// the lanes) costs more than it saves. Two lanes save little per block, so they need
// a long run to pay off.
constexpr std::size_t wide_min_blocks = 16;
constexpr std::size_t sse2_min_blocks = 96;

// a * b modulo 2^130 - 5 in radix 2^44 (limbs of 44, 44, 42 bits, a few bits over
// allowed), carried back to that form. 2^132 is 20 modulo p, so products landing at
// 2^132 and above come back times 20.
void mul44(const std::uint64_t a[3], const std::uint64_t b[3], std::uint64_t out[3]) {
  const std::uint64_t s1 = b[1] * 20, s2 = b[2] * 20;
  const u128 d0 = static_cast<u128>(a[0]) * b[0] + static_cast<u128>(a[1]) * s2 + static_cast<u128>(a[2]) * s1;
  u128 d1 = static_cast<u128>(a[0]) * b[1] + static_cast<u128>(a[1]) * b[0] + static_cast<u128>(a[2]) * s2;
  u128 d2 = static_cast<u128>(a[0]) * b[2] + static_cast<u128>(a[1]) * b[1] + static_cast<u128>(a[2]) * b[0];
  std::uint64_t r0 = static_cast<std::uint64_t>(d0) & mask44;
  d1 += d0 >> 44;
  const std::uint64_t r1 = static_cast<std::uint64_t>(d1) & mask44;
  d2 += d1 >> 44;
  const std::uint64_t r2 = static_cast<std::uint64_t>(d2) & mask42;
  r0 += static_cast<std::uint64_t>(d2 >> 42) * 5;
  out[0] = r0 & mask44;
  out[1] = r1 + (r0 >> 44);
  out[2] = r2;
}

// The same in radix 2^26: five limbs of 26 bits, 2^130 being 5 modulo p.
void mul26(const std::uint64_t a[5], const std::uint64_t b[5], std::uint64_t out[5]) {
  std::uint64_t s[5];
  for (int i = 1; i < 5; ++i) s[i] = b[i] * 5;
  std::uint64_t d[5];
  d[0] = a[0] * b[0] + a[1] * s[4] + a[2] * s[3] + a[3] * s[2] + a[4] * s[1];
  d[1] = a[0] * b[1] + a[1] * b[0] + a[2] * s[4] + a[3] * s[3] + a[4] * s[2];
  d[2] = a[0] * b[2] + a[1] * b[1] + a[2] * b[0] + a[3] * s[4] + a[4] * s[3];
  d[3] = a[0] * b[3] + a[1] * b[2] + a[2] * b[1] + a[3] * b[0] + a[4] * s[4];
  d[4] = a[0] * b[4] + a[1] * b[3] + a[2] * b[2] + a[3] * b[1] + a[4] * b[0];
  for (int i = 0; i < 4; ++i) {
    d[i + 1] += d[i] >> 26;
    d[i] &= (std::uint64_t{1} << 26) - 1;
  }
  d[0] += (d[4] >> 26) * 5;
  d[4] &= (std::uint64_t{1} << 26) - 1;
  d[1] += d[0] >> 26;
  d[0] &= (std::uint64_t{1} << 26) - 1;
  for (int i = 0; i < 5; ++i) out[i] = d[i];
}

}  // namespace

Poly1305::Poly1305(const std::uint8_t key[32], VectorIsa isa) {
  if (!vector_isa_supported(isa)) isa = best_vector_isa();
  if (isa >= VectorIsa::Avx512 && cpu_features().avx512ifma) {
    wide_ = Wide::Ifma;
  } else if (isa >= VectorIsa::Avx2) {
    wide_ = Wide::Avx2;
  } else if (isa >= VectorIsa::Ssse3) {
    wide_ = Wide::Sse2;
  }
  // r is clamped as the RFC requires: the top four bits of every 32-bit word and
  // the low two bits of the upper three words are cleared.
  r0_ = read_u64_le(key) & 0x0ffffffc0fffffff;
  r1_ = read_u64_le(key + 8) & 0x0ffffffc0ffffffc;
  std::memcpy(s_, key + 16, 16);
}

// Whole groups of eight (IFMA), four (AVX2) or two (SSE2) blocks through the vector
// code; h moves to its radix and back.
void Poly1305::wide_blocks(const std::uint8_t* m, std::size_t n) {
  constexpr std::uint64_t mask26 = (std::uint64_t{1} << 26) - 1;
  if (wide_ == Wide::Ifma) {
    if (!have_powers_) {
      powers44_[0][0] = r0_ & mask44;
      powers44_[0][1] = ((r0_ >> 44) | (r1_ << 20)) & mask44;
      powers44_[0][2] = r1_ >> 24;
      for (int i = 1; i < 8; ++i) mul44(powers44_[i - 1], powers44_[0], powers44_[i]);
      have_powers_ = true;
    }
    std::uint64_t h[3] = {h0_ & mask44, ((h0_ >> 44) | (h1_ << 20)) & mask44, (h1_ >> 24) | (h2_ << 40)};
    detail::poly1305_blocks_ifma(h, powers44_, m, n);
    // h[0], h[1] are below 2^44 and h[2] a little above 2^42 at most, so h stays below
    // 2p as the 64-bit code and finalize() expect.
    h0_ = h[0] | (h[1] << 44);
    h1_ = (h[1] >> 20) | (h[2] << 24);
    h2_ = h[2] >> 40;
    return;
  }
  if (!have_powers_) {
    std::uint64_t* r = powers26_[0];
    r[0] = r0_ & mask26;
    r[1] = (r0_ >> 26) & mask26;
    r[2] = ((r0_ >> 52) | (r1_ << 12)) & mask26;
    r[3] = (r1_ >> 14) & mask26;
    r[4] = r1_ >> 40;
    // Only the powers the kernel reads, each from two already known.
    const auto power = [this](int e) { return powers26_[e - 1]; };
    mul26(power(1), power(1), power(2));
    if (wide_ == Wide::Avx2) {
      mul26(power(2), power(1), power(3));
      mul26(power(2), power(2), power(4));
      mul26(power(4), power(4), power(8));
    } else {
      mul26(power(2), power(2), power(4));
      mul26(power(4), power(2), power(6));
      mul26(power(4), power(4), power(8));
    }
    have_powers_ = true;
  }
  std::uint64_t h[5] = {h0_ & mask26, (h0_ >> 26) & mask26, ((h0_ >> 52) | (h1_ << 12)) & mask26, (h1_ >> 14) & mask26,
                        (h1_ >> 40) | (h2_ << 24)};
  if (wide_ == Wide::Avx2) {
    detail::poly1305_blocks_avx2(h, powers26_, m, n);
  } else {
    detail::poly1305_blocks_sse2(h, powers26_, m, n);
  }
  // h[0..3] are below 2^26 and h[4] a little above at most: below 2p again.
  h0_ = h[0] | (h[1] << 26) | (h[2] << 52);
  h1_ = (h[2] >> 12) | (h[3] << 14) | (h[4] << 40);
  h2_ = h[4] >> 24;
}

// h = (h + m) * r mod 2^130 - 5 for every 16-byte block; hibit is the 2^128 bit
// (1 for full blocks, 0 for the padded final block).
void Poly1305::blocks(const std::uint8_t* m, std::size_t n, std::uint64_t hibit) {
  const std::size_t min_blocks = wide_ == Wide::Sse2 ? sse2_min_blocks : wide_min_blocks;
  if (wide_ != Wide::None && hibit == 1 && n >= min_blocks) {
    const std::size_t lanes = wide_ == Wide::Ifma ? 8 : wide_ == Wide::Avx2 ? 4 : 2;
    const std::size_t wide = n / lanes * lanes;
    wide_blocks(m, wide);
    m += 16 * wide;
    n -= wide;
  }
  const std::uint64_t r0 = r0_, r1 = r1_;
  const std::uint64_t s1 = r1 + (r1 >> 2);
  std::uint64_t h0 = h0_, h1 = h1_, h2 = h2_;
  for (; n > 0; --n, m += 16) detail::poly1305_scalar_block(r0, r1, s1, h0, h1, h2, m, hibit);
  h0_ = h0;
  h1_ = h1;
  h2_ = h2;
}

detail::Poly1305Scalar Poly1305::scalar_state() const { return {r0_, r1_, h0_, h1_, h2_}; }

void Poly1305::set_accumulator(const detail::Poly1305Scalar& s) {
  h0_ = s.h0;
  h1_ = s.h1;
  h2_ = s.h2;
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
  return poly1305_mac(one_time_key, message, best_vector_isa());
}

Result<Poly1305Tag> poly1305_mac(ByteView one_time_key, ByteView message, VectorIsa isa) {
  if (one_time_key.size() != 32) {
    return fail(CryptoError::InvalidKey, msg("Poly1305 requires a 32-byte one-time key, got ", one_time_key.size()));
  }
  Poly1305 p(one_time_key.data(), isa);
  p.update(message.data(), message.size());
  return p.finalize();
}

}  // namespace crypto
