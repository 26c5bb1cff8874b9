#include "crypto/curve25519.h"

#include <algorithm>

#include "crypto/ct_eq.h"

namespace crypto {

EdPoint ed_add(const EdPoint& p, const EdPoint& q) {
  const Gf a = gf_mul(gf_sub(p.y, p.x), gf_sub(q.y, q.x));
  const Gf b = gf_mul(gf_add(p.y, p.x), gf_add(q.y, q.x));
  const Gf c = gf_mul(gf_mul(p.t, q.t), ed_d2);
  const Gf zz = gf_mul(p.z, q.z);
  const Gf d = gf_add(zz, zz);
  const Gf e = gf_sub(b, a);
  const Gf f = gf_sub(d, c);
  const Gf g = gf_add(d, c);
  const Gf h = gf_add(b, a);
  return EdPoint{gf_mul(e, f), gf_mul(h, g), gf_mul(g, f), gf_mul(e, h)};
}

EdPoint ed_double(const EdPoint& p) {
  // Doubling on -x^2 + y^2 = 1 + d x^2 y^2 in extended coordinates; T is not read.
  const Gf a = gf_sq(p.x);
  const Gf b = gf_sq(p.y);
  const Gf zz = gf_sq(p.z);
  const Gf c = gf_add(zz, zz);
  const Gf e = gf_sub(gf_sub(gf_sq(gf_add(p.x, p.y)), a), b);
  const Gf g = gf_sub(b, a);  // -A + B
  const Gf f = gf_sub(g, c);
  const Gf h = gf_sub(gf_sub(Gf{}, a), b);  // -A - B
  return EdPoint{gf_mul(e, f), gf_mul(g, h), gf_mul(f, g), gf_mul(e, h)};
}

void ed_cswap(EdPoint& p, EdPoint& q, std::uint32_t bit) {
  gf_cswap(p.x, q.x, bit);
  gf_cswap(p.y, q.y, bit);
  gf_cswap(p.z, q.z, bit);
  gf_cswap(p.t, q.t, bit);
}

EdPoint ed_scalarmult(const EdPoint& p, const std::array<std::uint8_t, 32>& scalar) {
  EdPoint r0 = ed_neutral;
  EdPoint r1 = p;
  for (int i = 255; i >= 0; --i) {
    const std::uint32_t bit = (scalar[static_cast<std::size_t>(i >> 3)] >> (i & 7)) & 1;
    ed_cswap(r0, r1, bit);
    r1 = ed_add(r1, r0);
    r0 = ed_double(r0);
    ed_cswap(r0, r1, bit);
  }
  return r0;
}

std::array<std::uint8_t, 32> ed_pack(const EdPoint& p) {
  const Gf zi = gf_inv(p.z);
  const auto x = gf_pack(gf_mul(p.x, zi));
  auto out = gf_pack(gf_mul(p.y, zi));
  out[31] ^= static_cast<std::uint8_t>((x[0] & 1) << 7);
  return out;
}

std::optional<EdPoint> ed_unpack(ByteView encoding) {
  if (encoding.size() != 32) return std::nullopt;
  std::array<std::uint8_t, 32> y_bytes;
  std::copy(encoding.begin(), encoding.end(), y_bytes.begin());
  const unsigned sign = y_bytes[31] >> 7;
  y_bytes[31] &= 0x7f;
  const Gf y = gf_unpack(y_bytes);
  if (!ct_eq(gf_pack(y), y_bytes)) return std::nullopt;  // y >= p

  const Gf one = gf_from_u64(1);
  const Gf y2 = gf_sq(y);
  const Gf u = gf_sub(y2, one);
  const Gf v = gf_add(gf_mul(ed_d, y2), one);
  const Gf v3 = gf_mul(gf_sq(v), v);
  const Gf v7 = gf_mul(gf_sq(v3), v);
  Gf x = gf_mul(gf_mul(u, v3), gf_pow2523(gf_mul(u, v7)));

  const Gf vx2 = gf_mul(v, gf_sq(x));
  if (!gf_equal(vx2, u)) {
    if (!gf_equal(vx2, gf_sub(Gf{}, u))) return std::nullopt;
    x = gf_mul(x, ed_sqrt_m1);
  }

  const auto x_bytes = gf_pack(x);
  const bool x_zero = gf_is_zero(x);
  if (x_zero && sign == 1) return std::nullopt;
  if ((x_bytes[0] & 1) != sign) x = gf_sub(Gf{}, x);
  return EdPoint{x, y, one, gf_mul(x, y)};
}

std::array<std::uint8_t, 32> clamp_ed25519_scalar(const std::array<std::uint8_t, 64>& digest) {
  std::array<std::uint8_t, 32> a;
  std::copy_n(digest.begin(), 32, a.begin());
  a[0] &= 248;
  a[31] &= 127;
  a[31] |= 64;
  return a;
}

std::array<std::uint8_t, 32> mod_l(std::array<std::int64_t, 64>& x) {
  // Fold digits 63 down to 32 into the lower ones: 2^256 = 16 * 2^252 = -16 * (L - 2^252)
  // mod L. Each fold rounds its carries to nearest (bias 128) so digits stay small.
  for (int i = 63; i >= 32; --i) {
    std::int64_t carry = 0;
    int j = i - 32;
    for (; j < i - 12; ++j) {
      x[j] += carry - 16 * x[i] * ed_l[j - (i - 32)];
      carry = (x[j] + 128) >> 8;
      x[j] -= carry * 256;
    }
    x[j] += carry;
    x[i] = 0;
  }
  // Subtract the multiple of L given by the bits at and above 2^252.
  std::int64_t carry = 0;
  for (int j = 0; j < 32; ++j) {
    x[j] += carry - (x[31] >> 4) * ed_l[j];
    carry = x[j] >> 8;
    x[j] &= 255;
  }
  // A negative carry means the value went below zero: add L back once.
  for (int j = 0; j < 32; ++j) x[j] -= carry * ed_l[j];
  std::array<std::uint8_t, 32> r;
  for (int i = 0; i < 32; ++i) {
    x[i + 1] += x[i] >> 8;
    r[i] = static_cast<std::uint8_t>(x[i] & 255);
  }
  return r;
}

std::array<std::uint8_t, 32> reduce_64_mod_l(const std::array<std::uint8_t, 64>& bytes) {
  std::array<std::int64_t, 64> x;
  for (int i = 0; i < 64; ++i) x[i] = bytes[i];
  return mod_l(x);
}

}  // namespace crypto
