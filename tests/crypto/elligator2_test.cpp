// The Elligator 2 map against vectors derived from RFC 9380 and against the map
// written out with OpenSSL's big numbers.
#include "crypto/elligator2.h"

#include <openssl/bn.h>

#include <array>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "crypto/field.h"
#include "test_util.h"
#include "tests/support/test_data.h"

namespace crypto {
namespace {

using crypto_test::hex;
using crypto_test::unhex;
using Bn = std::unique_ptr<BIGNUM, decltype(&BN_free)>;

class BigField {
 public:
  BigField() {
    BN_set_bit(p_.get(), 255);
    BN_sub_word(p_.get(), 19);
    BN_set_word(a_.get(), 486662);
    BN_copy(half_.get(), p_.get());
    BN_sub_word(half_.get(), 1);
    BN_rshift1(half_.get(), half_.get());
  }

  Bn from_le(ByteView b) const {
    Bn x = fresh();
    BN_lebin2bn(b.data(), static_cast<int>(b.size()), x.get());
    BN_nnmod(x.get(), x.get(), p_.get(), ctx_.get());
    return x;
  }

  std::array<std::uint8_t, 32> to_le(const BIGNUM* x) const {
    std::array<std::uint8_t, 32> out{};
    BN_bn2lebinpad(x, out.data(), 32);
    return out;
  }

  // u^3 + A u^2 + u
  Bn curve_rhs(const BIGNUM* u) const {
    Bn t = fresh(), r = fresh();
    BN_mod_add(t.get(), u, a_.get(), p_.get(), ctx_.get());  // u + A
    BN_mod_mul(t.get(), t.get(), u, p_.get(), ctx_.get());   // u^2 + A u
    BN_mod_add(t.get(), t.get(), BN_value_one(), p_.get(), ctx_.get());
    BN_mod_mul(r.get(), t.get(), u, p_.get(), ctx_.get());
    return r;
  }

  // Euler's criterion: x^((p-1)/2) is 1 for a non-zero square.
  bool square_or_zero(const BIGNUM* x) const {
    if (BN_is_zero(x)) return true;
    Bn e = fresh();
    BN_mod_exp(e.get(), x, half_.get(), p_.get(), ctx_.get());
    return BN_is_one(e.get());
  }

  // The map: v = -A / (1 + 2 r^2); u = v when v's curve value is a square or zero,
  // else -v - A.
  std::array<std::uint8_t, 32> decode(std::array<std::uint8_t, 32> rep) const {
    rep[31] &= 0x3f;
    Bn r = from_le(rep), w = fresh(), v = fresh();
    BN_mod_sqr(w.get(), r.get(), p_.get(), ctx_.get());
    BN_mod_add(w.get(), w.get(), w.get(), p_.get(), ctx_.get());
    BN_mod_add(w.get(), w.get(), BN_value_one(), p_.get(), ctx_.get());
    BN_mod_inverse(w.get(), w.get(), p_.get(), ctx_.get());
    BN_mod_mul(v.get(), a_.get(), w.get(), p_.get(), ctx_.get());
    BN_mod_sub(v.get(), p_.get(), v.get(), p_.get(), ctx_.get());  // -A / w
    if (square_or_zero(curve_rhs(v.get()).get())) return to_le(v.get());
    Bn u = fresh();
    BN_mod_sub(u.get(), p_.get(), v.get(), p_.get(), ctx_.get());
    BN_mod_sub(u.get(), u.get(), a_.get(), p_.get(), ctx_.get());
    return to_le(u.get());
  }

 private:
  static Bn fresh() { return Bn(BN_new(), BN_free); }
  Bn p_ = fresh(), a_ = fresh(), half_ = fresh();
  std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)> ctx_{BN_CTX_new(), BN_CTX_free};
};

std::array<std::uint8_t, 32> key32(ByteView b) {
  std::array<std::uint8_t, 32> k{};
  std::copy_n(b.begin(), 32, k.begin());
  return k;
}

TEST(Elligator2, DecodesReferenceVectors) {
  const BigField f;
  const std::string text = test_support::read_text_file(test_support::test_data_path("elligator2-vectors.txt"));
  ASSERT_FALSE(text.empty());
  std::istringstream in(text);
  std::string line;
  int count = 0;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string rep, u;
    fields >> rep >> u;
    const auto got = elligator2_decode(unhex(rep));
    ASSERT_TRUE(got.has_value()) << rep;
    EXPECT_EQ(hex(*got), u) << rep;
    EXPECT_TRUE(f.square_or_zero(f.curve_rhs(f.from_le(*got).get()).get())) << rep;
    ++count;
  }
  EXPECT_GE(count, 5);
}

TEST(Elligator2, AgreesWithBignumMapAndLandsOnTheCurve) {
  const BigField f;
  std::mt19937_64 rng(10);
  for (int i = 0; i < 300; ++i) {
    const auto rep = key32(crypto_test::random_bytes(rng, 32));
    const auto got = elligator2_decode(rep).value();
    ASSERT_EQ(hex(got), hex(f.decode(rep))) << hex(rep);
    ASSERT_TRUE(f.square_or_zero(f.curve_rhs(f.from_le(got).get()).get())) << hex(rep);
    // Canonical: packing the unpacked result changes nothing.
    ASSERT_EQ(gf_pack(gf_unpack(got)), got);
  }
}

TEST(Elligator2, IgnoresTheTopTwoBits) {
  std::mt19937_64 rng(11);
  for (int i = 0; i < 20; ++i) {
    auto rep = key32(crypto_test::random_bytes(rng, 32));
    rep[31] &= 0x3f;
    const auto base = elligator2_decode(rep).value();
    for (std::uint8_t top : std::initializer_list<std::uint8_t>{0x40, 0x80, 0xc0}) {
      auto with_top = rep;
      with_top[31] |= top;
      EXPECT_EQ(elligator2_decode(with_top).value(), base);
    }
  }
}

TEST(Elligator2, ZeroRepresentativeGivesZero) {
  const std::array<std::uint8_t, 32> zero{};
  EXPECT_EQ(elligator2_decode(zero).value(), zero);
}

TEST(Elligator2, LengthErrors) {
  for (std::size_t len : {0u, 31u, 33u}) {
    const auto r = elligator2_decode(Bytes(len, 0x11));
    ASSERT_FALSE(r.has_value());
    EXPECT_TRUE(r.error().is(CryptoError::InvalidKey));
    EXPECT_EQ(r.error().message(), "Elligator2 representative must be 32 bytes, got " + std::to_string(len));
  }
}

}  // namespace
}  // namespace crypto
