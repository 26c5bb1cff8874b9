// The four-limb field (BMI2 and ADX) against OpenSSL's big-number arithmetic, on values
// anywhere below 2^256, the edges of the limbs and of p included: any such value is an
// element, so every operation must accept them and give the residue OpenSSL computes.
#include "crypto/field64.h"

#include <openssl/bn.h>

#include <array>
#include <memory>
#include <random>

#include <gtest/gtest.h>

#include "crypto/field.h"
#include "test_util.h"

namespace crypto {
namespace {

#if defined(FIELD64_AVAILABLE)

using Bn = std::unique_ptr<BIGNUM, decltype(&BN_free)>;

Bn bn_of(const Fe64& a) {
  std::array<std::uint8_t, 32> le{};
  for (std::size_t i = 0; i < 32; ++i) le[i] = static_cast<std::uint8_t>(a.v[i / 8] >> (8 * (i % 8)));
  return Bn(BN_lebin2bn(le.data(), 32, nullptr), BN_free);
}

// OpenSSL's residue of an expression of two elements, as 32 little-endian bytes.
template <typename Op>
std::array<std::uint8_t, 32> reference(const Fe64& a, const Fe64& b, Op op) {
  std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)> ctx(BN_CTX_new(), BN_CTX_free);
  Bn p(BN_new(), BN_free), r(BN_new(), BN_free);
  BN_set_bit(p.get(), 255);
  BN_sub_word(p.get(), 19);
  op(r.get(), bn_of(a).get(), bn_of(b).get(), p.get(), ctx.get());
  std::array<std::uint8_t, 32> out{};
  BN_bn2lebinpad(r.get(), out.data(), 32);
  return out;
}

// Random values, then values made of all-zero and all-one limbs, and values near p, 2p
// and 2^256.
Fe64 element(std::mt19937_64& rng, int i) {
  Fe64 a;
  for (auto& v : a.v) v = rng();
  switch (i % 4) {
    case 1:
      for (auto& v : a.v) v = (rng() & 1) ? ~std::uint64_t{0} : 0;
      break;
    case 2: {  // p - 20 .. p + 20, 2p - 20 .. 2p + 18 or 2^256 - 40 .. 2^256 - 1
      const std::uint64_t top[] = {0x7fffffffffffffff, 0xffffffffffffffff};
      a.v = {0xffffffffffffffed, ~std::uint64_t{0}, ~std::uint64_t{0}, top[rng() & 1]};
      const std::uint64_t d = rng() % 40;
      if (a.v[3] == top[1] && (rng() & 1)) a.v[0] = 0xffffffffffffffdb;  // 2p
      if (rng() & 1)
        a.v[0] -= d;
      else
        a.v[0] += std::min<std::uint64_t>(d, 18);
      break;
    }
    default: break;
  }
  return a;
}

// The encoding of what `op` writes, into a fresh element and into its first operand.
template <typename Op>
std::array<std::uint8_t, 32> packed(const Fe64& a, Op op) {
  Fe64 fresh;
  op(fresh, a);
  Fe64 in_place = a;
  op(in_place, in_place);
  EXPECT_EQ(fresh.v, in_place.v) << "the result written over the operand differs";
  return fe64_pack(fresh);
}

class Field64 : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!field_isa_supported(FieldIsa::Mulx)) GTEST_SKIP() << "this CPU has no BMI2 and ADX";
  }
};

TEST_F(Field64, OperationsMatchBignum) {
  std::mt19937_64 rng(21);
  for (int i = 0; i < 4000; ++i) {
    const Fe64 a = element(rng, i), b = element(rng, i / 4);
    ASSERT_EQ(packed(a, [&](Fe64& r, const Fe64& x) { fe64_mul(r, x, b); }), reference(a, b, BN_mod_mul)) << i;
    ASSERT_EQ(packed(a, [&](Fe64& r, const Fe64& x) { fe64_sq(r, x); }), reference(a, a, BN_mod_mul)) << i;
    ASSERT_EQ(packed(a, [&](Fe64& r, const Fe64& x) { fe64_add(r, x, b); }), reference(a, b, BN_mod_add)) << i;
    ASSERT_EQ(packed(a, [&](Fe64& r, const Fe64& x) { fe64_sub(r, x, b); }), reference(a, b, BN_mod_sub)) << i;
    ASSERT_EQ(packed(b, [&](Fe64& r, const Fe64& x) { fe64_sub(r, a, x); }), reference(a, b, BN_mod_sub)) << i;
    for (std::uint32_t k : {121665u, 0xffffffffu}) {
      ASSERT_EQ(packed(a, [&](Fe64& r, const Fe64& x) { fe64_mul_small(r, x, k); }),
                reference(a, Fe64{{k, 0, 0, 0}}, BN_mod_mul))
          << i;
    }
  }
}

TEST_F(Field64, InverseAndPackMatchBignum) {
  std::mt19937_64 rng(22);
  const Fe64 one{{1, 0, 0, 0}};
  for (int i = 0; i < 300; ++i) {
    const Fe64 a = element(rng, i);
    // a * 1 is a's residue; the inverse's residue is OpenSSL's, 0 for 0.
    ASSERT_EQ(fe64_pack(a), reference(a, one, BN_mod_mul)) << i;
    const auto inv = reference(a, one, [](BIGNUM* r, const BIGNUM* x, const BIGNUM*, const BIGNUM* p, BN_CTX* ctx) {
      if (!BN_mod_inverse(r, x, p, ctx)) BN_zero(r);
      return 1;
    });
    ASSERT_EQ(packed(a, [](Fe64& r, const Fe64& x) { fe64_inv(r, x); }), inv) << i;
  }
  // p and 2p themselves, and zero, have no inverse: 0.
  for (const Fe64& z : {Fe64{}, Fe64{{0xffffffffffffffed, ~0ull, ~0ull, 0x7fffffffffffffff}},
                        Fe64{{0xffffffffffffffda, ~0ull, ~0ull, ~0ull}}}) {
    EXPECT_EQ(packed(z, [](Fe64& r, const Fe64& x) { fe64_inv(r, x); }), (std::array<std::uint8_t, 32>{}));
  }
}

TEST_F(Field64, CswapSwapsOnlyOnOne) {
  Fe64 a{{1, 2, 3, 4}}, b{{5, 6, 7, 8}};
  fe64_cswap(a, b, 0);
  EXPECT_EQ(a.v, (std::array<std::uint64_t, 4>{1, 2, 3, 4}));
  fe64_cswap(a, b, 1);
  EXPECT_EQ(a.v, (std::array<std::uint64_t, 4>{5, 6, 7, 8}));
  EXPECT_EQ(b.v, (std::array<std::uint64_t, 4>{1, 2, 3, 4}));
}

#endif

}  // namespace
}  // namespace crypto
