// X25519 against RFC 7748 and against OpenSSL's implementation.
#include "crypto/x25519.h"

#include <openssl/evp.h>

#include <array>
#include <memory>
#include <optional>
#include <random>

#include <gtest/gtest.h>

#include "crypto/cpu_features.h"
#include "test_util.h"

namespace crypto {
namespace {

using crypto_test::hex;
using crypto_test::unhex;

std::string x25519_hex(std::string_view k, std::string_view u, FieldIsa isa) {
  const auto r = x25519(unhex(k), unhex(u), isa);
  return r ? hex(*r) : "error";
}

// OpenSSL's X25519, or none when it refuses (it refuses an all-zero shared secret).
std::optional<std::array<std::uint8_t, 32>> openssl_x25519(ByteView k, ByteView u) {
  using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
  Key priv(EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, k.data(), k.size()), EVP_PKEY_free);
  Key pub(EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, u.data(), u.size()), EVP_PKEY_free);
  if (!priv || !pub) return std::nullopt;
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new(priv.get(), nullptr),
                                                                  EVP_PKEY_CTX_free);
  std::array<std::uint8_t, 32> out{};
  std::size_t len = out.size();
  if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 || EVP_PKEY_derive_set_peer(ctx.get(), pub.get()) != 1 ||
      EVP_PKEY_derive(ctx.get(), out.data(), &len) != 1 || len != 32) {
    return std::nullopt;
  }
  return out;
}

// Every computing test runs on each field the CPU has: the AVX-512 IFMA ladder, the
// four-limb BMI2 and ADX ladder and the radix-2^51 ladder every CPU runs.
class X25519Engines : public ::testing::TestWithParam<FieldIsa> {
 protected:
  void SetUp() override {
    if (!field_isa_supported(GetParam())) GTEST_SKIP() << "this CPU has no " << to_string(GetParam());
  }
};

TEST_P(X25519Engines, Rfc7748Vectors) {
  EXPECT_EQ(x25519_hex("a546e36bf0527c9d3b16154b82465edd62144c0ac1fc5a18506a2244ba449ac4",
                       "e6db6867583030db3594c1a424b15f7c726624ec26b3353b10a903a6d0ab1c4c", GetParam()),
            "c3da55379de9c6908e94ea4df28d084f32eccf03491c71f754b4075577a28552");
  // The u-coordinate of this vector has bit 255 set.
  EXPECT_EQ(x25519_hex("4b66e9d4d1b4673c5ad22691957d6af5c11b6421e0ea01d42ca4169e7918ba0d",
                       "e5210f12786811d3f4b7959d0538ae2c31dbe7106fc03c3efc4cd549c715a493", GetParam()),
            "95cbde9476e8907d7aade45cb4b873f88b595a68799fa152e6f8f7647aac7957");
}

TEST_P(X25519Engines, Rfc7748Iterations) {
  // k = u = 9; each round computes x25519(k, u), then u = old k and k = the result.
  std::array<std::uint8_t, 32> k = {9}, u = {9};
  auto step = [&] {
    const auto r = x25519(k, u, GetParam()).value();
    u = k;
    k = r;
  };
  step();
  EXPECT_EQ(hex(k), "422c8e7a6227d7bca1350b3e2bb7279f7897b87bb6854b783c60e80311ae3079");
  for (int i = 1; i < 1000; ++i) step();
  EXPECT_EQ(hex(k), "684cf59ba83309552800ef566f2f4d3c1c3887c49360e3875f2eb94d99532c51");
}

TEST_P(X25519Engines, Rfc7748KeyExchange) {
  const Bytes alice = unhex("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a");
  const Bytes bob = unhex("5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb");
  const auto alice_pub = x25519_public_key(alice).value();
  const auto bob_pub = x25519_public_key(bob).value();
  EXPECT_EQ(hex(alice_pub), "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a");
  EXPECT_EQ(hex(bob_pub), "de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f");
  const std::string shared = "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742";
  EXPECT_EQ(hex(x25519(alice, bob_pub, GetParam()).value()), shared);
  EXPECT_EQ(hex(x25519(bob, alice_pub, GetParam()).value()), shared);
}

TEST_P(X25519Engines, IgnoresBit255AndClampedScalarBits) {
  std::mt19937_64 rng(5);
  for (int i = 0; i < 20; ++i) {
    Bytes k = crypto_test::random_bytes(rng, 32);
    Bytes u = crypto_test::random_bytes(rng, 32);
    u[31] &= 0x7f;
    const auto base = x25519(k, u, GetParam()).value();
    Bytes u_high = u;
    u_high[31] |= 0x80;
    EXPECT_EQ(x25519(k, u_high, GetParam()).value(), base);
    Bytes k_flipped = k;
    k_flipped[0] ^= 0x07;   // the three low bits
    k_flipped[31] ^= 0xc0;  // the two high bits
    EXPECT_EQ(x25519(k_flipped, u, GetParam()).value(), base);
  }
}

TEST_P(X25519Engines, LowOrderPointsGiveZeroBytes) {
  // 0, 1, a point of order 8, p - 1, p and p + 1 (= 1): all have small order, and the
  // result is 32 zero bytes rather than an error.
  const std::array<std::string_view, 6> low_order = {
      "0000000000000000000000000000000000000000000000000000000000000000",
      "0100000000000000000000000000000000000000000000000000000000000000",
      "e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800",
      "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
      "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
      "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
  };
  const Bytes k = unhex("a546e36bf0527c9d3b16154b82465edd62144c0ac1fc5a18506a2244ba449ac4");
  for (auto u : low_order) {
    const auto r = x25519(k, unhex(u), GetParam());
    ASSERT_TRUE(r.has_value()) << u;
    EXPECT_EQ(*r, X25519Key{}) << u;
    EXPECT_FALSE(openssl_x25519(k, unhex(u)).has_value()) << "OpenSSL refuses the zero result for " << u;
  }
}

TEST(X25519, LengthErrors) {
  struct Case {
    std::size_t k_len, u_len;
    std::string message;
  };
  const Case cases[] = {
      {31, 32, "X25519 scalar must be 32 bytes, got 31"},
      {33, 31, "X25519 scalar must be 32 bytes, got 33"},  // scalar checked first
      {32, 0, "X25519 u-coordinate must be 32 bytes, got 0"},
      {32, 33, "X25519 u-coordinate must be 32 bytes, got 33"},
  };
  for (const auto& c : cases) {
    const auto r = x25519(Bytes(c.k_len, 1), Bytes(c.u_len, 9));
    ASSERT_FALSE(r.has_value());
    EXPECT_TRUE(r.error().is(CryptoError::InvalidKey));
    EXPECT_EQ(r.error().message(), c.message);
  }
  const auto r = x25519_public_key(Bytes(16, 1));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(), "X25519 scalar must be 32 bytes, got 16");
}

TEST_P(X25519Engines, AgreesWithOpenSsl) {
  std::mt19937_64 rng(6);
  int zero_results = 0;
  for (int i = 0; i < 1000; ++i) {
    Bytes k = crypto_test::random_bytes(rng, 32);
    Bytes u = crypto_test::random_bytes(rng, 32);
    switch (i % 5) {
      case 3:  // runs of all-zero and all-one bytes, at the edges of the limbs
        for (auto& b : u) b = (rng() & 1) ? 0xff : 0x00;
        for (auto& b : k) b = (rng() & 1) ? 0xff : 0x00;
        break;
      case 0:  // bit 255 set
        u[31] |= 0x80;
        break;
      case 1: {  // u in p .. 2^255 - 1, not canonical
        u.assign(32, 0xff);
        u[0] = static_cast<std::uint8_t>(0xed + rng() % 19);
        u[31] = (rng() & 1) ? 0x7f : 0xff;
        break;
      }
      case 2:  // a public key as another party would send it
        u = Bytes(32, 0);
        {
          const auto pub = x25519_public_key(crypto_test::random_bytes(rng, 32)).value();
          u.assign(pub.begin(), pub.end());
        }
        break;
      default: break;
    }
    const auto ours = x25519(k, u, GetParam());
    ASSERT_TRUE(ours.has_value());
    const auto theirs = openssl_x25519(k, u);
    if (theirs) {
      ASSERT_EQ(hex(*ours), hex(*theirs)) << "k=" << hex(k) << " u=" << hex(u);
    } else {
      // OpenSSL refuses only an all-zero result, which we return as bytes.
      ASSERT_EQ(*ours, X25519Key{}) << "k=" << hex(k) << " u=" << hex(u);
      ++zero_results;
    }
  }
  // u = p + 1 .. p + 18 reduce to 1 .. 18; only u = p (zero) and p + 1 (one) have low order.
  EXPECT_GT(zero_results, 0);
}

// Public keys come from the Ed25519 base-point table, not the ladder: they match both
// OpenSSL's public key of the same private key and the ladder run on u = 9.
TEST_P(X25519Engines, PublicKeysMatchOpenSslAndTheLadder) {
  std::mt19937_64 rng(13);
  static constexpr std::array<std::uint8_t, 32> nine = {9};
  for (int i = 0; i < 500; ++i) {
    Bytes k = crypto_test::random_bytes(rng, 32);
    if (i == 0) k.assign(32, 0x00);  // clamps to 2^254
    if (i == 1) k.assign(32, 0xff);  // clamps to 2^255 - 8
    const auto ours = x25519_public_key(k).value();
    using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
    Key priv(EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, k.data(), k.size()), EVP_PKEY_free);
    ASSERT_TRUE(priv);
    X25519Key theirs{};
    std::size_t len = theirs.size();
    ASSERT_EQ(EVP_PKEY_get_raw_public_key(priv.get(), theirs.data(), &len), 1);
    ASSERT_EQ(hex(ours), hex(theirs)) << "k=" << hex(k);
    ASSERT_EQ(hex(ours), hex(x25519(k, nine, GetParam()).value())) << "k=" << hex(k);
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, X25519Engines, ::testing::Values(FieldIsa::Portable, FieldIsa::Mulx, FieldIsa::Ifma),
                         [](const auto& p) { return std::string(to_string(p.param)); });

// The default engine runs on the best field, and the portable engine on the portable one.
TEST(X25519, EnginesRunTheirFields) {
  std::mt19937_64 rng(5);
  const Bytes k = crypto_test::random_bytes(rng, 32), u = crypto_test::random_bytes(rng, 32);
  EXPECT_EQ(x25519(k, u).value(), x25519(k, u, best_field_isa()).value());
  EXPECT_EQ(x25519(k, u, Engine::Portable).value(), x25519(k, u, FieldIsa::Portable).value());
}

// The AVX-512 IFMA path is taken exactly when the compiler's own CPU check (which also
// asks whether the OS saves the AVX-512 registers) reports the instructions.
TEST(X25519, DetectsIfmaLikeTheCompilerRuntime) {
#if defined(__x86_64__)
  __builtin_cpu_init();
  const bool expected = __builtin_cpu_supports("avx512ifma") && __builtin_cpu_supports("avx512vl");
  EXPECT_EQ(cpu_features().avx512ifma, expected);
#else
  EXPECT_FALSE(cpu_features().avx512ifma);
#endif
}

// The four-limb field is offered exactly when the compiler's own CPU check reports both
// BMI2 and ADX.
TEST(X25519, DetectsBmi2AndAdxLikeTheCompilerRuntime) {
#if defined(__x86_64__)
  __builtin_cpu_init();
  EXPECT_EQ(cpu_features().bmi2, __builtin_cpu_supports("bmi2") != 0);
  EXPECT_EQ(cpu_features().adx, __builtin_cpu_supports("adx") != 0);
  EXPECT_EQ(field_isa_supported(FieldIsa::Mulx), cpu_features().bmi2 && cpu_features().adx);
#else
  EXPECT_FALSE(field_isa_supported(FieldIsa::Mulx));
#endif
}

}  // namespace
}  // namespace crypto
