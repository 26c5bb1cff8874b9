// The field of p = 2^255 - 19, checked against OpenSSL's big-number arithmetic.
#include <openssl/bn.h>

#include <algorithm>
#include <array>
#include <memory>
#include <random>

#include <gtest/gtest.h>

#include "crypto/curve25519.h"
#include "crypto/field.h"
#include "test_util.h"

namespace crypto {
namespace {

using Bn = std::unique_ptr<BIGNUM, decltype(&BN_free)>;
using Ctx = std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)>;

Bn bn_new() { return Bn(BN_new(), BN_free); }

Bn bn_p() {
  Bn p = bn_new();
  BN_set_bit(p.get(), 255);
  BN_sub_word(p.get(), 19);
  return p;
}

// The value of an element's limbs as an exact (signed) integer, not reduced.
Bn bn_of_limbs(const Gf& a) {
  Bn r = bn_new();
  BN_zero(r.get());
  for (int i = 4; i >= 0; --i) {
    BN_lshift(r.get(), r.get(), 51);
    const std::int64_t v = a.v[static_cast<std::size_t>(i)];
    const std::uint64_t mag =
        v < 0 ? static_cast<std::uint64_t>(0) - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
    Bn t = bn_new();
    BN_set_word(t.get(), mag);
    if (v < 0)
      BN_sub(r.get(), r.get(), t.get());
    else
      BN_add(r.get(), r.get(), t.get());
  }
  return r;
}

std::array<std::uint8_t, 32> bn_to_le32(const BIGNUM* x) {
  std::array<std::uint8_t, 32> out{};
  BN_bn2lebinpad(x, out.data(), 32);
  return out;
}

// The canonical encoding of an element computed by OpenSSL from its limbs.
std::array<std::uint8_t, 32> reference_pack(const Gf& a) {
  Ctx ctx(BN_CTX_new(), BN_CTX_free);
  Bn r = bn_of_limbs(a);
  BN_nnmod(r.get(), r.get(), bn_p().get(), ctx.get());
  return bn_to_le32(r.get());
}

std::array<std::uint8_t, 32> le32(ByteView b) {
  std::array<std::uint8_t, 32> out{};
  std::copy_n(b.begin(), 32, out.begin());
  return out;
}

// Limbs of the sizes the operations must accept: up to 2^58 in magnitude, either sign.
Gf random_wide(std::mt19937_64& rng) {
  Gf a;
  for (auto& v : a.v) v = static_cast<std::int64_t>(rng() >> 5) - (std::int64_t{1} << 58);
  return a;
}

Gf random_unpacked(std::mt19937_64& rng) { return gf_unpack(le32(crypto_test::random_bytes(rng, 32))); }

const std::array<std::uint8_t, 32> kP = {0xed, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                                         0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                                         0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f};

TEST(CurveField, PackReducesAgainstBignum) {
  std::mt19937_64 rng(1);
  for (int i = 0; i < 2000; ++i) {
    const Gf a = i % 2 ? random_wide(rng) : random_unpacked(rng);
    ASSERT_EQ(gf_pack(a), reference_pack(a)) << i;
  }
}

TEST(CurveField, ArithmeticAgainstBignum) {
  Ctx ctx(BN_CTX_new(), BN_CTX_free);
  const Bn p = bn_p();
  std::mt19937_64 rng(2);
  for (int i = 0; i < 2000; ++i) {
    const Gf a = i % 3 == 0 ? random_wide(rng) : random_unpacked(rng);
    const Gf b = i % 3 == 1 ? random_wide(rng) : random_unpacked(rng);
    Bn ba = bn_of_limbs(a), bb = bn_of_limbs(b), r = bn_new();
    BN_mod_mul(r.get(), ba.get(), bb.get(), p.get(), ctx.get());
    ASSERT_EQ(gf_pack(gf_mul(a, b)), bn_to_le32(r.get())) << i;
    BN_mod_sqr(r.get(), ba.get(), p.get(), ctx.get());
    ASSERT_EQ(gf_pack(gf_sq(a)), bn_to_le32(r.get())) << i;
    BN_mod_add(r.get(), ba.get(), bb.get(), p.get(), ctx.get());
    ASSERT_EQ(gf_pack(gf_add(a, b)), bn_to_le32(r.get())) << i;
    BN_mod_sub(r.get(), ba.get(), bb.get(), p.get(), ctx.get());
    ASSERT_EQ(gf_pack(gf_sub(a, b)), bn_to_le32(r.get())) << i;
    if (i % 20 == 0) {
      Bn ra = bn_new();
      BN_nnmod(ra.get(), ba.get(), p.get(), ctx.get());
      if (BN_is_zero(ra.get())) {
        ASSERT_TRUE(gf_is_zero(gf_inv(a)));
      } else {
        BN_mod_inverse(r.get(), ra.get(), p.get(), ctx.get());
        ASSERT_EQ(gf_pack(gf_inv(a)), bn_to_le32(r.get())) << i;
      }
      Bn e = bn_new();
      BN_one(e.get());
      BN_lshift(e.get(), e.get(), 252);
      BN_sub_word(e.get(), 3);
      BN_mod_exp(r.get(), ra.get(), e.get(), p.get(), ctx.get());
      ASSERT_EQ(gf_pack(gf_pow2523(a)), bn_to_le32(r.get())) << i;
    }
  }
}

TEST(CurveField, CarryKeepsTheValue) {
  std::mt19937_64 rng(3);
  for (int i = 0; i < 200; ++i) {
    Gf a = random_wide(rng);
    const auto before = gf_pack(a);
    gf_carry(a);
    EXPECT_EQ(gf_pack(a), before);
    for (int k = 1; k < 5; ++k) EXPECT_LT(a.v[static_cast<std::size_t>(k)], std::int64_t{1} << 51);
  }
}

TEST(CurveField, CanonicalEncodingEdges) {
  // p itself, p + 1 and 2^255 - 1 (the largest unpackable value), as unpacked limbs.
  EXPECT_TRUE(gf_is_zero(gf_unpack(kP)));
  auto p_plus_1 = kP;
  p_plus_1[0] += 1;
  const std::array<std::uint8_t, 32> one = {1};
  EXPECT_EQ(gf_pack(gf_unpack(p_plus_1)), one);
  auto top = kP;
  top[0] = 0xff;  // 2^255 - 1 = p + 18
  const std::array<std::uint8_t, 32> eighteen = {18};
  EXPECT_EQ(gf_pack(gf_unpack(top)), eighteen);
  // Bit 255 is ignored by unpacking.
  auto high = one;
  high[31] = 0x80;
  EXPECT_EQ(gf_pack(gf_unpack(high)), one);
  // p - 1 stays as it is; 0 - 1 packs to p - 1.
  auto p_minus_1 = kP;
  p_minus_1[0] -= 1;
  EXPECT_EQ(gf_pack(gf_unpack(p_minus_1)), p_minus_1);
  EXPECT_EQ(gf_pack(gf_sub(Gf{}, gf_from_u64(1))), p_minus_1);
  EXPECT_FALSE(gf_is_zero(gf_from_u64(1)));
  EXPECT_TRUE(gf_is_zero(gf_inv(Gf{})));
}

TEST(CurveField, CswapByMask) {
  const Gf a = gf_from_u64(5), b = gf_from_u64(7);
  Gf x = a, y = b;
  gf_cswap(x, y, 0);
  EXPECT_EQ(x.v, a.v);
  EXPECT_EQ(y.v, b.v);
  gf_cswap(x, y, 1);
  EXPECT_EQ(x.v, b.v);
  EXPECT_EQ(y.v, a.v);
}

TEST(CurveField, SquareRoots) {
  const auto r4 = gf_sqrt_opt(gf_from_u64(4));
  ASSERT_TRUE(r4.has_value());
  auto p_minus_2 = kP;
  p_minus_2[0] -= 2;
  const std::array<std::uint8_t, 32> two = {2};
  EXPECT_TRUE(gf_pack(*r4) == two || gf_pack(*r4) == p_minus_2);
  EXPECT_FALSE(gf_sqrt_opt(gf_from_u64(2)).has_value());
  const auto r0 = gf_sqrt_opt(Gf{});
  ASSERT_TRUE(r0.has_value());
  EXPECT_TRUE(gf_is_zero(*r0));
  // Roots of squares of random elements, including those needing the sqrt(-1) branch.
  std::mt19937_64 rng(4);
  int non_squares = 0;
  for (int i = 0; i < 100; ++i) {
    const Gf x = random_unpacked(rng);
    const Gf sq = gf_sq(x);
    const auto r = gf_sqrt_opt(sq);
    ASSERT_TRUE(r.has_value());
    EXPECT_TRUE(gf_equal(gf_sq(*r), sq));
    // 2 x^2 is never a square, 2 not being one.
    if (!gf_sqrt_opt(gf_mul(sq, gf_from_u64(2))).has_value()) ++non_squares;
  }
  EXPECT_EQ(non_squares, 100);
}

TEST(CurveField, ConstantsHoldTheirDefinitions) {
  // sqrt(-1)^2 = -1
  EXPECT_TRUE(gf_equal(gf_sq(ed_sqrt_m1), gf_sub(Gf{}, gf_from_u64(1))));
  // d * 121666 = -121665, and 2d = d + d
  EXPECT_TRUE(gf_equal(gf_mul(ed_d, gf_from_u64(121666)), gf_sub(Gf{}, gf_from_u64(121665))));
  EXPECT_TRUE(gf_equal(ed_d2, gf_add(ed_d, ed_d)));
  // (p - 1) / 2, as little-endian bytes, doubled plus one is p.
  Ctx ctx(BN_CTX_new(), BN_CTX_free);
  Bn h = bn_new();
  BN_lebin2bn(half_p_le.data(), 32, h.get());
  BN_lshift1(h.get(), h.get());
  BN_add_word(h.get(), 1);
  EXPECT_EQ(BN_cmp(h.get(), bn_p().get()), 0);
  // B lies on the curve, y = 4/5, T = XY, and its x is even.
  const EdPoint& b = ed_basepoint;
  const Gf x2 = gf_sq(b.x), y2 = gf_sq(b.y);
  EXPECT_TRUE(gf_equal(gf_sub(y2, x2), gf_add(gf_from_u64(1), gf_mul(ed_d, gf_mul(x2, y2)))));
  EXPECT_TRUE(gf_equal(gf_mul(b.y, gf_from_u64(5)), gf_from_u64(4)));
  EXPECT_TRUE(gf_equal(b.t, gf_mul(b.x, b.y)));
  EXPECT_EQ(gf_pack(b.x)[0] & 1, 0);
  // L as bytes equals 2^252 + 27742317777372353535851937790883648493.
  Bn l = bn_new();
  BIGNUM* c = nullptr;
  BN_dec2bn(&c, "27742317777372353535851937790883648493");
  BN_one(l.get());
  BN_lshift(l.get(), l.get(), 252);
  BN_add(l.get(), l.get(), c);
  BN_free(c);
  EXPECT_EQ(bn_to_le32(l.get()), ed_l);
}

// The constants are compile-time values, usable in constant expressions.
static_assert(half_p_le[31] == 0x3f && half_p_le[0] == 0xf6);
static_assert(ed_basepoint.z.v[0] == 1);
static_assert(gf_unpack(half_p_le).v[4] == (std::int64_t{1} << 50) - 1);

}  // namespace
}  // namespace crypto
