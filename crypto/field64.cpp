#include "crypto/field64.h"

namespace crypto {

#if defined(FIELD64_AVAILABLE)

namespace {

// r = a^(2^n): n squarings.
void sq_times(Fe64& r, const Fe64& a, int n) {
  fe64_sq(r, a);
  for (int i = 1; i < n; ++i) fe64_sq(r, r);
}

}  // namespace

Fe64 fe64_unpack(const std::array<std::uint8_t, 32>& s) {
  Fe64 r;
  for (std::size_t w = 0; w < 4; ++w) {
    std::uint64_t x = 0;
    for (std::size_t b = 8; b-- > 0;) x = (x << 8) | s[8 * w + b];
    r.v[w] = x;
  }
  r.v[3] &= ~(std::uint64_t{1} << 63);
  return r;
}

std::array<std::uint8_t, 32> fe64_pack(const Fe64& a) {
  using field64_detail::u128;
  // Bit 255 folded back as 19 leaves a value below 2^255 + 19; that value is p or more
  // exactly when adding 19 reaches bit 255, and then the sum without bit 255 is the
  // value minus p.
  Fe64 t = a;
  u128 acc = static_cast<u128>(t.v[0]) + 19 * (t.v[3] >> 63);
  t.v[3] &= ~(std::uint64_t{1} << 63);
  for (std::size_t i = 0; i < 4; ++i) {
    if (i > 0) acc += t.v[i];
    t.v[i] = static_cast<std::uint64_t>(acc);
    acc >>= 64;
  }
  Fe64 s;
  acc = static_cast<u128>(t.v[0]) + 19;
  for (std::size_t i = 0; i < 4; ++i) {
    if (i > 0) acc += t.v[i];
    s.v[i] = static_cast<std::uint64_t>(acc);
    acc >>= 64;
  }
  const std::uint64_t use_s = 0 - (s.v[3] >> 63);
  s.v[3] &= ~(std::uint64_t{1} << 63);
  std::array<std::uint8_t, 32> out{};
  for (std::size_t i = 0; i < 4; ++i) {
    const std::uint64_t w = (s.v[i] & use_s) | (t.v[i] & ~use_s);
    for (std::size_t b = 0; b < 8; ++b) out[8 * i + b] = static_cast<std::uint8_t>(w >> (8 * b));
  }
  return out;
}

void fe64_inv(Fe64& r, const Fe64& z) {
  // The addition chain of the portable field: a^(2^250 - 1), then five squarings and
  // a^11 give a^(2^255 - 21) = a^(p - 2).
  Fe64 z2, z9, z11, t, z_5_0, z_10_0, z_20_0, z_50_0, z_100_0;
  fe64_sq(z2, z);
  sq_times(t, z2, 2);
  fe64_mul(z9, t, z);
  fe64_mul(z11, z9, z2);
  fe64_sq(t, z11);
  fe64_mul(z_5_0, t, z9);  // 2^5 - 1
  sq_times(t, z_5_0, 5);
  fe64_mul(z_10_0, t, z_5_0);  // 2^10 - 1
  sq_times(t, z_10_0, 10);
  fe64_mul(z_20_0, t, z_10_0);  // 2^20 - 1
  sq_times(t, z_20_0, 20);
  fe64_mul(t, t, z_20_0);  // 2^40 - 1
  sq_times(t, t, 10);
  fe64_mul(z_50_0, t, z_10_0);  // 2^50 - 1
  sq_times(t, z_50_0, 50);
  fe64_mul(z_100_0, t, z_50_0);  // 2^100 - 1
  sq_times(t, z_100_0, 100);
  fe64_mul(t, t, z_100_0);  // 2^200 - 1
  sq_times(t, t, 50);
  fe64_mul(t, t, z_50_0);  // 2^250 - 1
  sq_times(t, t, 5);
  fe64_mul(r, t, z11);
}

#endif

}  // namespace crypto
