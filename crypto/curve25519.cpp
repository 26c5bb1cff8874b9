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

namespace {

// A point with Z = 1 kept as (y + x, y - x, 2 d x y): adding it to an extended point
// costs three products before the conversion back.
struct EdAffineNiels {
  Gf ypx, ymx, xy2d;
};

// A point kept as (Y + X, Y - X, Z, 2 d T) for repeated additions.
struct EdCached {
  Gf ypx, ymx, z, t2d;
};

// A sum or double before its last products: x = X/Z, y = Y/T.
struct EdCompleted {
  Gf x, y, z, t;
};

// (X : Y : Z) without T, all that doubling reads.
struct EdProjective {
  Gf x, y, z;
};

EdPoint to_extended(const EdCompleted& c) {
  return EdPoint{gf_mul(c.x, c.t), gf_mul(c.y, c.z), gf_mul(c.z, c.t), gf_mul(c.x, c.y)};
}

EdProjective to_projective(const EdCompleted& c) {
  return EdProjective{gf_mul(c.x, c.t), gf_mul(c.y, c.z), gf_mul(c.z, c.t)};
}

EdProjective to_projective(const EdPoint& p) { return EdProjective{p.x, p.y, p.z}; }

EdCached to_cached(const EdPoint& p) { return EdCached{gf_add(p.y, p.x), gf_sub(p.y, p.x), p.z, gf_mul(p.t, ed_d2)}; }

EdAffineNiels to_affine_niels(const EdPoint& p) {
  const Gf zi = gf_inv(p.z);
  const Gf x = gf_mul(p.x, zi);
  const Gf y = gf_mul(p.y, zi);
  EdAffineNiels n{gf_add(y, x), gf_sub(y, x), gf_mul(gf_mul(x, y), ed_d2)};
  gf_carry(n.ypx);
  gf_carry(n.ymx);
  return n;
}

// 2P: -x^2 + y^2 = 1 + d x^2 y^2 doubled, x' = 2xy / (y^2 - x^2),
// y' = (y^2 + x^2) / (2 - y^2 + x^2).
EdCompleted dbl(const EdProjective& p) {
  const Gf xx = gf_sq(p.x);
  const Gf yy = gf_sq(p.y);
  const Gf zz = gf_sq(p.z);
  const Gf aa = gf_sq(gf_add(p.x, p.y));
  const Gf y3 = gf_add(yy, xx);
  const Gf z3 = gf_sub(yy, xx);
  return EdCompleted{gf_sub(aa, y3), y3, z3, gf_sub(gf_add(zz, zz), z3)};
}

// P + Q and P - Q by the unified formula of ed_add, stopped before its last products.
EdCompleted add(const EdPoint& p, const EdAffineNiels& q) {
  const Gf a = gf_mul(gf_add(p.y, p.x), q.ypx);
  const Gf b = gf_mul(gf_sub(p.y, p.x), q.ymx);
  const Gf c = gf_mul(q.xy2d, p.t);
  const Gf d = gf_add(p.z, p.z);
  return EdCompleted{gf_sub(a, b), gf_add(a, b), gf_add(d, c), gf_sub(d, c)};
}

EdCompleted sub(const EdPoint& p, const EdAffineNiels& q) {
  const Gf a = gf_mul(gf_add(p.y, p.x), q.ymx);
  const Gf b = gf_mul(gf_sub(p.y, p.x), q.ypx);
  const Gf c = gf_mul(q.xy2d, p.t);
  const Gf d = gf_add(p.z, p.z);
  return EdCompleted{gf_sub(a, b), gf_add(a, b), gf_sub(d, c), gf_add(d, c)};
}

EdCompleted add(const EdPoint& p, const EdCached& q) {
  const Gf a = gf_mul(gf_add(p.y, p.x), q.ypx);
  const Gf b = gf_mul(gf_sub(p.y, p.x), q.ymx);
  const Gf c = gf_mul(q.t2d, p.t);
  const Gf zz = gf_mul(p.z, q.z);
  const Gf d = gf_add(zz, zz);
  return EdCompleted{gf_sub(a, b), gf_add(a, b), gf_add(d, c), gf_sub(d, c)};
}

EdCompleted sub(const EdPoint& p, const EdCached& q) {
  const Gf a = gf_mul(gf_add(p.y, p.x), q.ymx);
  const Gf b = gf_mul(gf_sub(p.y, p.x), q.ypx);
  const Gf c = gf_mul(q.t2d, p.t);
  const Gf zz = gf_mul(p.z, q.z);
  const Gf d = gf_add(zz, zz);
  return EdCompleted{gf_sub(a, b), gf_add(a, b), gf_sub(d, c), gf_add(d, c)};
}

// ---- Fixed-base multiplication ----

// Row i holds j * 256^i * B for j = 1 .. 8: a scalar written in 64 signed radix-16
// digits d_k in [-8, 8] is sum d_k 16^k B, and each digit is one lookup.
using BaseRow = std::array<EdAffineNiels, 8>;
using BaseTable = std::array<BaseRow, 32>;

BaseTable build_base_table() {
  BaseTable table{};
  EdPoint row_base = ed_basepoint;
  for (auto& row : table) {
    EdPoint m = row_base;
    for (auto& entry : row) {
      entry = to_affine_niels(m);
      m = ed_add(m, row_base);
    }
    for (int k = 0; k < 8; ++k) row_base = ed_double(row_base);
  }
  return table;
}

// Built on first use (a few hundred point operations) and read-only afterwards.
const BaseTable& base_table() {
  static const BaseTable table = build_base_table();
  return table;
}

// In place: r = p when mask is all ones, unchanged when it is zero.
void gf_cmov(Gf& r, const Gf& p, std::int64_t mask) {
  for (int i = 0; i < 5; ++i) r.v[i] ^= mask & (r.v[i] ^ p.v[i]);
}

void cmov(EdAffineNiels& r, const EdAffineNiels& p, std::int64_t mask) {
  gf_cmov(r.ypx, p.ypx, mask);
  gf_cmov(r.ymx, p.ymx, mask);
  gf_cmov(r.xy2d, p.xy2d, mask);
}

// digit * (row's unit) for a digit in [-8, 8]: all eight entries are read and the one
// wanted kept by masks, then negated by mask when the digit is negative.
EdAffineNiels select(const BaseRow& row, std::int64_t digit) {
  const std::int64_t negative = digit >> 63;  // all ones when digit < 0
  const std::int64_t magnitude = (digit ^ negative) - negative;
  EdAffineNiels r{gf_from_u64(1), gf_from_u64(1), Gf{}};
  for (std::int64_t j = 0; j < 8; ++j) {
    const std::int64_t equal = ((magnitude ^ (j + 1)) - 1) >> 63;  // all ones when magnitude == j + 1
    cmov(r, row[static_cast<std::size_t>(j)], equal);
  }
  // -P swaps y + x with y - x and negates 2 d x y. Done limb by limb in place: a
  // negated copy built whole and moved back by mask would be read across the stores
  // that wrote it, which the CPU cannot forward.
  for (std::size_t i = 0; i < 5; ++i) {
    const std::int64_t t = negative & (r.ypx.v[i] ^ r.ymx.v[i]);
    r.ypx.v[i] ^= t;
    r.ymx.v[i] ^= t;
    r.xy2d.v[i] ^= negative & (r.xy2d.v[i] ^ -r.xy2d.v[i]);
  }
  return r;
}

// ---- Variable-time double multiplication ----

// Width-w non-adjacent form of a scalar below 2^255: digit i is zero or odd with
// |digit| < 2^(w-1), and any two non-zero digits are at least w places apart.
std::array<std::int8_t, 256> naf(const std::array<std::uint8_t, 32>& s, int w) {
  std::array<std::uint64_t, 5> x{};
  for (std::size_t i = 0; i < 32; ++i) x[i / 8] |= static_cast<std::uint64_t>(s[i]) << (8 * (i % 8));
  std::array<std::int8_t, 256> out{};
  const std::uint64_t width = std::uint64_t{1} << w;
  const std::uint64_t window_mask = width - 1;
  std::uint64_t carry = 0;
  int pos = 0;
  while (pos < 256) {
    const auto word = static_cast<std::size_t>(pos / 64);
    const int bit = pos % 64;
    std::uint64_t bits = x[word] >> bit;
    if (bit > 64 - w) bits |= x[word + 1] << (64 - bit);
    const std::uint64_t window = carry + (bits & window_mask);
    if ((window & 1) == 0) {
      ++pos;
      continue;
    }
    if (window < width / 2) {
      carry = 0;
      out[static_cast<std::size_t>(pos)] = static_cast<std::int8_t>(window);
    } else {
      carry = 1;
      out[static_cast<std::size_t>(pos)] =
          static_cast<std::int8_t>(static_cast<std::int64_t>(window) - static_cast<std::int64_t>(width));
    }
    pos += w;
  }
  return out;
}

// Odd multiples B, 3B, ..., 127B, for width-8 digits of the base point's scalar.
using OddBaseTable = std::array<EdAffineNiels, 64>;

OddBaseTable build_odd_base_table() {
  OddBaseTable table{};
  const EdPoint b2 = ed_double(ed_basepoint);
  EdPoint m = ed_basepoint;
  for (auto& entry : table) {
    entry = to_affine_niels(m);
    m = ed_add(m, b2);
  }
  return table;
}

const OddBaseTable& odd_base_table() {
  static const OddBaseTable table = build_odd_base_table();
  return table;
}

}  // namespace

EdPoint ed_negate(const EdPoint& p) { return EdPoint{gf_sub(Gf{}, p.x), p.y, p.z, gf_sub(Gf{}, p.t)}; }

EdPoint ed_scalarmult_base(const std::array<std::uint8_t, 32>& scalar) {
  // Signed radix-16 digits: nibbles, then each digit above 7 borrows from the next.
  std::array<std::int64_t, 64> e{};
  for (std::size_t i = 0; i < 32; ++i) {
    e[2 * i] = scalar[i] & 15;
    e[2 * i + 1] = scalar[i] >> 4;
  }
  std::int64_t carry = 0;
  for (std::size_t i = 0; i < 63; ++i) {
    e[i] += carry;
    carry = (e[i] + 8) >> 4;
    e[i] -= carry * 16;
  }
  e[63] += carry;

  const BaseTable& table = base_table();
  // Odd digits first, then times 16, then even digits: sum d_k 16^k B with row k/2.
  EdPoint h = ed_neutral;
  for (std::size_t i = 1; i < 64; i += 2) h = to_extended(add(h, select(table[i / 2], e[i])));
  EdProjective s = to_projective(dbl(to_projective(h)));
  s = to_projective(dbl(s));
  s = to_projective(dbl(s));
  h = to_extended(dbl(s));
  for (std::size_t i = 0; i < 64; i += 2) h = to_extended(add(h, select(table[i / 2], e[i])));
  return h;
}

EdPoint ed_double_scalarmult_vartime(const std::array<std::uint8_t, 32>& a, const EdPoint& p,
                                     const std::array<std::uint8_t, 32>& b) {
  const auto a_digits = naf(a, 5);
  const auto b_digits = naf(b, 8);

  // P, 3P, ..., 15P.
  std::array<EdCached, 8> odd_p;
  odd_p[0] = to_cached(p);
  const EdPoint p2 = ed_double(p);
  for (std::size_t j = 1; j < odd_p.size(); ++j) odd_p[j] = to_cached(to_extended(add(p2, odd_p[j - 1])));
  const OddBaseTable& odd_b = odd_base_table();

  int i = 255;
  while (i >= 0 && a_digits[static_cast<std::size_t>(i)] == 0 && b_digits[static_cast<std::size_t>(i)] == 0) --i;
  if (i < 0) return ed_neutral;

  EdProjective r{Gf{}, gf_from_u64(1), gf_from_u64(1)};
  for (;; --i) {
    EdCompleted t = dbl(r);
    const int da = a_digits[static_cast<std::size_t>(i)];
    const int db = b_digits[static_cast<std::size_t>(i)];
    if (da > 0) t = add(to_extended(t), odd_p[static_cast<std::size_t>(da / 2)]);
    if (da < 0) t = sub(to_extended(t), odd_p[static_cast<std::size_t>(-da / 2)]);
    if (db > 0) t = add(to_extended(t), odd_b[static_cast<std::size_t>(db / 2)]);
    if (db < 0) t = sub(to_extended(t), odd_b[static_cast<std::size_t>(-db / 2)]);
    if (i == 0) return to_extended(t);
    r = to_projective(t);
  }
}

namespace {

// The encoding of p given 1/Z.
std::array<std::uint8_t, 32> pack_with_inverse(const EdPoint& p, const Gf& zi) {
  const auto x = gf_pack(gf_mul(p.x, zi));
  auto out = gf_pack(gf_mul(p.y, zi));
  out[31] ^= static_cast<std::uint8_t>((x[0] & 1) << 7);
  return out;
}

}  // namespace

std::array<std::uint8_t, 32> ed_pack(const EdPoint& p) { return pack_with_inverse(p, gf_inv(p.z)); }

std::array<std::array<std::uint8_t, 32>, 2> ed_pack_pair(const EdPoint& p, const EdPoint& q) {
  // 1/(Zp Zq) times Zq is 1/Zp, and times Zp is 1/Zq. Neither Z is ever zero.
  const Gf both = gf_inv(gf_mul(p.z, q.z));
  return {pack_with_inverse(p, gf_mul(both, q.z)), pack_with_inverse(q, gf_mul(both, p.z))};
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

namespace {

// Scalars modulo L in 24 signed limbs of 21 bits: value = sum limb[i] * 2^(21 i).
using ScalarLimbs = std::array<std::int64_t, 24>;

// 2^252 = -(L - 2^252) mod L, as six signed 21-bit limbs: a limb at 2^(21 i) with
// i >= 12 moves to i - 12 .. i - 7 times these.
constexpr std::array<std::int64_t, 6> kMinusC = {666643, 470296, 654183, -997805, 136657, -683901};

void fold(ScalarLimbs& s, std::size_t i) {
  for (std::size_t j = 0; j < 6; ++j) s[i - 12 + j] += s[i] * kMinusC[j];
  s[i] = 0;
}

// Limbs begin .. end - 1 brought into [-2^20, 2^20], the carries passed up.
void carry_round(ScalarLimbs& s, std::size_t begin, std::size_t end) {
  for (std::size_t i = begin; i < end; ++i) {
    const std::int64_t c = (s[i] + (std::int64_t{1} << 20)) >> 21;
    s[i + 1] += c;
    s[i] -= c * (std::int64_t{1} << 21);
  }
}

// Limbs 0 .. 11 brought into [0, 2^21), the carry passed to limb 12.
void carry_floor(ScalarLimbs& s) {
  for (std::size_t i = 0; i < 12; ++i) {
    const std::int64_t c = s[i] >> 21;
    s[i + 1] += c;
    s[i] -= c * (std::int64_t{1} << 21);
  }
}

// The residue in 0 .. L - 1 of limbs below 2^54 in magnitude.
std::array<std::uint8_t, 32> reduce_limbs(ScalarLimbs s) {
  carry_round(s, 0, 23);
  for (std::size_t i = 23; i >= 18; --i) fold(s, i);
  carry_round(s, 6, 17);
  for (std::size_t i = 17; i >= 12; --i) fold(s, i);
  carry_round(s, 0, 12);
  // What is left at 2^252 shrinks to a few units, then to -1, 0 or 1; the floor carries
  // then leave a value in 0 .. 2^252 + (L - 2^252) - 1 = L - 1 with limb 12 its bit 252.
  fold(s, 12);
  carry_round(s, 0, 12);
  fold(s, 12);
  carry_floor(s);
  fold(s, 12);
  carry_floor(s);

  std::array<std::uint8_t, 32> out{};
  std::uint64_t acc = 0;  // below 2^29
  int bits = 0;
  std::size_t o = 0;
  for (std::size_t i = 0; i <= 12; ++i) {
    acc |= static_cast<std::uint64_t>(s[i]) << bits;
    bits += 21;
    while (bits >= 8 && o < 32) {
      out[o++] = static_cast<std::uint8_t>(acc);
      acc >>= 8;
      bits -= 8;
    }
  }
  while (o < 32) {
    out[o++] = static_cast<std::uint8_t>(acc);
    acc >>= 8;
  }
  return out;
}

// Bits 21 i .. 21 i + 20 of a little-endian byte string (fewer at its end).
std::int64_t limb_of(const std::uint8_t* bytes, std::size_t len, std::size_t i) {
  std::uint64_t v = 0;
  const std::size_t first = 21 * i / 8;
  for (std::size_t b = 0; b < 4 && first + b < len; ++b) v |= static_cast<std::uint64_t>(bytes[first + b]) << (8 * b);
  return static_cast<std::int64_t>((v >> (21 * i % 8)) & ((1u << 21) - 1));
}

}  // namespace

std::array<std::uint8_t, 32> reduce_64_mod_l(const std::array<std::uint8_t, 64>& bytes) {
  ScalarLimbs s{};
  for (std::size_t i = 0; i < 23; ++i) s[i] = limb_of(bytes.data(), 64, i);
  s[23] = static_cast<std::int64_t>(bytes[60] >> 3 | std::uint64_t{bytes[61]} << 5 | std::uint64_t{bytes[62]} << 13 |
                                    std::uint64_t{bytes[63]} << 21);  // bits 483 .. 511
  return reduce_limbs(s);
}

std::array<std::uint8_t, 32> mul_add_mod_l(const std::array<std::uint8_t, 32>& a, const std::array<std::uint8_t, 32>& b,
                                           const std::array<std::uint8_t, 32>& c) {
  // Twelve limbs each, the last holding bits 231 .. 255; column sums stay below 2^54.
  std::array<std::int64_t, 12> x{}, y{};
  ScalarLimbs s{};
  for (std::size_t i = 0; i < 12; ++i) {
    x[i] = limb_of(a.data(), 32, i);
    y[i] = limb_of(b.data(), 32, i);
    s[i] = limb_of(c.data(), 32, i);
  }
  x[11] = static_cast<std::int64_t>(a[28] >> 7 | std::uint64_t{a[29]} << 1 | std::uint64_t{a[30]} << 9 |
                                    std::uint64_t{a[31]} << 17);
  y[11] = static_cast<std::int64_t>(b[28] >> 7 | std::uint64_t{b[29]} << 1 | std::uint64_t{b[30]} << 9 |
                                    std::uint64_t{b[31]} << 17);
  s[11] = static_cast<std::int64_t>(c[28] >> 7 | std::uint64_t{c[29]} << 1 | std::uint64_t{c[30]} << 9 |
                                    std::uint64_t{c[31]} << 17);
  for (std::size_t i = 0; i < 12; ++i) {
    for (std::size_t j = 0; j < 12; ++j) s[i + j] += x[i] * y[j];
  }
  return reduce_limbs(s);
}

}  // namespace crypto
