// Ed25519 against RFC 8032, against OpenSSL's implementation, and the curve and scalar
// arithmetic underneath it against OpenSSL's big numbers.
#include "crypto/ed25519.h"

#include <openssl/bn.h>
#include <openssl/evp.h>

#include <array>
#include <memory>
#include <optional>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "crypto/curve25519.h"
#include "test_util.h"

namespace crypto {
namespace {

using crypto_test::hex;
using crypto_test::unhex;
using Key = std::array<std::uint8_t, 32>;

Key key_of(ByteView b) {
  Key k{};
  std::copy_n(b.begin(), 32, k.begin());
  return k;
}

// ---- OpenSSL as the reference ----

using Pkey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

std::optional<Key> openssl_public_key(ByteView seed) {
  Pkey k(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size()), EVP_PKEY_free);
  Key out{};
  std::size_t len = out.size();
  if (!k || EVP_PKEY_get_raw_public_key(k.get(), out.data(), &len) != 1) return std::nullopt;
  return out;
}

std::optional<Ed25519Signature> openssl_sign(ByteView seed, ByteView message) {
  Pkey k(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size()), EVP_PKEY_free);
  MdCtx ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  Ed25519Signature sig{};
  std::size_t len = sig.size();
  if (!k || !ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, k.get()) != 1 ||
      EVP_DigestSign(ctx.get(), sig.data(), &len, message.data(), message.size()) != 1) {
    return std::nullopt;
  }
  return sig;
}

bool openssl_verify(ByteView pub, ByteView message, ByteView sig) {
  Pkey k(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, pub.data(), pub.size()), EVP_PKEY_free);
  MdCtx ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!k || !ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, k.get()) != 1) return false;
  return EVP_DigestVerify(ctx.get(), sig.data(), sig.size(), message.data(), message.size()) == 1;
}

// ---- RFC 8032 section 7.1 ----

struct Vector {
  const char* name;
  const char* seed;
  const char* public_key;
  std::string message;
  const char* signature;
};

std::string test_1024_message() {
  return "08b8b2b733424243760fe426a4b54908632110a66c2f6591eabd3345e3e4eb98fa6e264bf09efe12ee50f8f54e9f77b1e355f6c5"
         "0544e23fb1433ddf73be84d879de7c0046dc4996d9e773f4bc9efe5738829adb26c81b37c93a1b270b20329d658675fc6ea534e0"
         "810a4432826bf58c941efb65d57a338bbd2e26640f89ffbc1a858efcb8550ee3a5e1998bd177e93a7363c344fe6b199ee5d02e82"
         "d522c4feba15452f80288a821a579116ec6dad2b3b310da903401aa62100ab5d1a36553e06203b33890cc9b832f79ef80560ccb9"
         "a39ce767967ed628c6ad573cb116dbefefd75499da96bd68a8a97b928a8bbc103b6621fcde2beca1231d206be6cd9ec7aff6f6c9"
         "4fcd7204ed3455c68c83f4a41da4af2b74ef5c53f1d8ac70bdcb7ed185ce81bd84359d44254d95629e9855a94a7c1958d1f8ada5"
         "d0532ed8a5aa3fb2d17ba70eb6248e594e1a2297acbbb39d502f1a8c6eb6f1ce22b3de1a1f40cc24554119a831a9aad6079cad88"
         "425de6bde1a9187ebb6092cf67bf2b13fd65f27088d78b7e883c8759d2c4f5c65adb7553878ad575f9fad878e80a0c9ba63bcbcc"
         "2732e69485bbc9c90bfbd62481d9089beccf80cfe2df16a2cf65bd92dd597b0707e0917af48bbb75fed413d238f5555a7a569d80"
         "c3414a8d0859dc65a46128bab27af87a71314f318c782b23ebfe808b82b0ce26401d2e22f04d83d1255dc51addd3b75a2b1ae078"
         "4504df543af8969be3ea7082ff7fc9888c144da2af58429ec96031dbcad3dad9af0dcbaaaf268cb8fcffead94f3c7ca495e056a9"
         "b47acdb751fb73e666c6c655ade8297297d07ad1ba5e43f1bca32301651339e22904cc8c42f58c30c04aafdb038dda0847dd988d"
         "cda6f3bfd15c4b4c4525004aa06eeff8ca61783aacec57fb3d1f92b0fe2fd1a85f6724517b65e614ad6808d6f6ee34dff7310fdc"
         "82aebfd904b01e1dc54b2927094b2db68d6f903b68401adebf5a7e08d78ff4ef5d63653a65040cf9bfd4aca7984a74d371459867"
         "80fc0b16ac451649de6188a7dbdf191f64b5fc5e2ab47b57f7f7276cd419c17a3ca8e1b939ae49e488acba6b965610b5480109c8"
         "b17b80e1b7b750dfc7598d5d5011fd2dcc5600a32ef5b52a1ecc820e308aa342721aac0943bf6686b64b2579376504ccc493d97e"
         "6aed3fb0f9cd71a43dd497f01f17c0e2cb3797aa2a2f256656168e6c496afc5fb93246f6b1116398a346f1a641f3b041e989f791"
         "4f90cc2c7fff357876e506b50d334ba77c225bc307ba537152f3f1610e4eafe595f6d9d90d11faa933a15ef1369546868a7f3a45"
         "a96768d40fd9d03412c091c6315cf4fde7cb68606937380db2eaaa707b4c4185c32eddcdd306705e4dc1ffc872eeee475a64dfac"
         "86aba41c0618983f8741c5ef68d3a101e8a3b8cac60c905c15fc910840b94c00a0b9d0";
}

std::vector<Vector> rfc8032_vectors() {
  return {
      {"TEST 1", "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
       "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
       "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe2"
       "4"
       "655141438e7a100b"},
      {"TEST 2", "4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
       "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
       "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302a"
       "eeb00d291612bb0c00"},
      {"TEST 3", "c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
       "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
       "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc6594a7c15e9716ed2"
       "8dc027beceea1ec40a"},
      {"TEST 1024", "f5e5767cf153319517630f226876b86c8160cc583bc013744c6bf255f5cc0ee5",
       "278117fc144c72340f67d0f2316e8386ceffbf2b2428c9c51fef7c597f1d426e", test_1024_message(),
       "0aab4c900501b3e24d7cdf4663326a3a87df5e4843b2cbdb67cbf6e460fec350aa5371b1508f9f4528ecea23c436d94b5e8fcd4f681e30"
       "a6ac00a9704a188a03"},
      {"TEST SHA(abc)", "833fe62409237b9d62ec77587520911e9a759cec1d19755b7da901b96dca3d42",
       "ec172b93ad5e563bf4932c70e1245034c35467ef2efd4d64ebf819683467e2bf",
       "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd454d4423643ce8"
       "0e2a9ac94fa54ca49f",
       "dc2a4459e7369633a52b1bf277839a00201009a3efbf3ecb69bea2186c26b58909351fc9ac90b3ecfdfbc7c66431e0303dca179c138ac1"
       "7ad9bef1177331a704"},
  };
}

TEST(Ed25519, Rfc8032Vectors) {
  for (const auto& v : rfc8032_vectors()) {
    SCOPED_TRACE(v.name);
    const Bytes seed = unhex(v.seed);
    const Bytes message = unhex(v.message);
    EXPECT_EQ(hex(ed25519_public_key(seed).value()), v.public_key);
    const auto sig = ed25519_sign(seed, message).value();
    EXPECT_EQ(hex(sig), v.signature);
    const auto key = ed25519_signing_key(seed).value();
    EXPECT_EQ(hex(key.public_key), v.public_key);
    EXPECT_EQ(hex(ed25519_sign(key, message)), v.signature);
    EXPECT_EQ(ed25519_sign(seed, message).value(), sig);  // deterministic
    EXPECT_TRUE(ed25519_verify(unhex(v.public_key), message, sig));
    Bytes changed = message;
    changed.push_back(0);
    EXPECT_FALSE(ed25519_verify(unhex(v.public_key), changed, sig));
    if (!message.empty()) {
      changed = message;
      changed[message.size() / 2] ^= 0x01;
      EXPECT_FALSE(ed25519_verify(unhex(v.public_key), changed, sig));
    }
  }
}

TEST(Ed25519, SeedLengthErrors) {
  for (std::size_t len : {0u, 31u, 33u, 64u}) {
    const Bytes seed(len, 7);
    const std::string expected = "Ed25519 seed must be 32 bytes, got " + std::to_string(len);
    const auto pub = ed25519_public_key(seed);
    ASSERT_FALSE(pub.has_value());
    EXPECT_TRUE(pub.error().is(CryptoError::InvalidKey));
    EXPECT_EQ(pub.error().message(), expected);
    const auto sig = ed25519_sign(seed, as_bytes("message"));
    ASSERT_FALSE(sig.has_value());
    EXPECT_TRUE(sig.error().is(CryptoError::InvalidKey));
    EXPECT_EQ(sig.error().message(), expected);
    const auto key = ed25519_signing_key(seed);
    ASSERT_FALSE(key.has_value());
    EXPECT_EQ(key.error().message(), expected);
  }
}

TEST(Ed25519, MalformedLengthsAreFalse) {
  const auto v = rfc8032_vectors()[1];
  const Bytes pub = unhex(v.public_key), msg = unhex(v.message), sig = unhex(v.signature);
  ASSERT_TRUE(ed25519_verify(pub, msg, sig));
  EXPECT_FALSE(ed25519_verify(ByteView(pub).first(31), msg, sig));
  EXPECT_FALSE(ed25519_verify(pub, msg, ByteView(sig).first(63)));
  Bytes longer = sig;
  longer.push_back(0);
  EXPECT_FALSE(ed25519_verify(pub, msg, longer));
  EXPECT_FALSE(ed25519_verify({}, msg, {}));
}

// ---- Verification corners ----

Key add_le(Key a, const Key& b) {
  unsigned carry = 0;
  for (std::size_t i = 0; i < 32; ++i) {
    carry += static_cast<unsigned>(a[i]) + b[i];
    a[i] = static_cast<std::uint8_t>(carry);
    carry >>= 8;
  }
  return a;
}

Key small(std::uint8_t x) { return Key{x}; }

Bytes signature_of(const Key& r, const Key& s) {
  Bytes sig(r.begin(), r.end());
  sig.insert(sig.end(), s.begin(), s.end());
  return sig;
}

// A signature (R = [s]B, S = s) under the public-key bytes `pub` whose point A, taken
// as the point of `canonical_pub`, has small order: a message is searched for whose
// challenge k gives [k]A = identity, so that the signature is valid exactly when `pub`
// decodes to that point. The message is returned.
Bytes message_valid_for_small_order_key(const Key& pub, const Key& canonical_pub, const Key& s) {
  const auto r = ed_pack(ed_scalarmult(ed_basepoint, s));
  const auto a = ed_unpack(canonical_pub).value();
  const Key identity = small(1);
  for (std::uint8_t i = 0;; ++i) {
    const Bytes message = {i};
    Bytes hashed(r.begin(), r.end());
    hashed.insert(hashed.end(), pub.begin(), pub.end());
    hashed.insert(hashed.end(), message.begin(), message.end());
    std::array<std::uint8_t, 64> digest{};
    unsigned len = 0;
    EVP_Digest(hashed.data(), hashed.size(), digest.data(), &len, EVP_sha512(), nullptr);
    if (ed_pack(ed_scalarmult(a, reduce_64_mod_l(digest))) == identity) return message;
  }
}

// A signature with the verdicts ours and OpenSSL's verification give it.
struct VerdictCase {
  const char* name;
  Key pub;
  Bytes message;
  Bytes sig;
  bool ours;
  bool openssl;
};

void expect_verdicts(const std::vector<VerdictCase>& cases) {
  for (const auto& c : cases) {
    EXPECT_EQ(ed25519_verify(c.pub, c.message, c.sig), c.ours) << c.name;
    EXPECT_EQ(openssl_verify(c.pub, c.message, c.sig), c.openssl) << c.name;
  }
}

TEST(Ed25519, VerificationCorners) {
  Key p{};
  p.fill(0xff);
  p[0] = 0xed;
  p[31] = 0x7f;
  const Key identity = small(1);                // y = 1, x = 0
  const Key identity_p1 = add_le(p, small(1));  // y = p + 1, the identity once reduced
  Key identity_neg = identity;                  // y = 1 with the sign bit: x = 0 is refused
  identity_neg[31] |= 0x80;
  const Key y_p = p;   // y = p, a point of order 4 once reduced
  const Key y_zero{};  // its canonical encoding
  const Key b_enc = ed_pack(ed_basepoint);
  const Key s7 = small(7);
  const Key r7 = ed_pack(ed_scalarmult(ed_basepoint, s7));
  // y = 2 has no x on the curve.
  ASSERT_FALSE(ed_unpack(small(2)).has_value());

  // OpenSSL decodes public keys leniently (y >= p reduced, x = 0 with the sign bit
  // taken as x = 0); where it accepts such a key, the signature is valid for the point
  // it decodes to, and our refusal is the canonical-encoding rule alone.
  const Bytes m = to_bytes("corner");
  const std::vector<VerdictCase> cases = {
      // With A the identity, [S]B = R holds for every message.
      {"identity key, S = 0, R = identity", identity, m, signature_of(identity, small(0)), true, true},
      {"identity key, S = L", identity, m, signature_of(identity, ed_l), false, false},
      {"identity key, S = 1, R = B", identity, m, signature_of(b_enc, small(1)), true, true},
      {"identity key, S = L + 1", identity, m, signature_of(b_enc, add_le(ed_l, small(1))), false, false},
      {"identity key, R = identity as p + 1", identity, m, signature_of(identity_p1, small(0)), false, false},
      {"identity key, R = identity with the sign bit", identity, m, signature_of(identity_neg, small(0)), false, false},
      {"R off the curve", identity, m, signature_of(small(2), small(1)), false, false},
      {"identity key, R = [7]B, S = 7", identity, m, signature_of(r7, s7), true, true},
      {"identity key encoded as p + 1", identity_p1, m, signature_of(r7, s7), false, true},
      {"identity key as y = 1 with the sign bit", identity_neg, m, signature_of(r7, s7), false, true},
      {"order-4 key, canonical y = 0", y_zero, message_valid_for_small_order_key(y_zero, y_zero, s7),
       signature_of(r7, s7), true, true},
      {"order-4 key encoded as y = p", y_p, message_valid_for_small_order_key(y_p, y_zero, s7), signature_of(r7, s7),
       false, true},
  };
  expect_verdicts(cases);
}

// ---- Small-order and non-canonical points ----

// The eight points of small order by their canonical encodings, and the non-canonical
// encodings that still name a curve point: y = p and y = p + 1 (y reduced), and x = 0
// with the sign bit set.
struct NamedEncoding {
  const char* name;
  const char* hex;
  bool decodes;  // whether ed_unpack accepts it
};

const std::vector<NamedEncoding>& small_order_encodings() {
  static const std::vector<NamedEncoding> table = {
      {"identity", "0100000000000000000000000000000000000000000000000000000000000000", true},
      {"order 2, y = -1", "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", true},
      {"order 4, y = 0, x even", "0000000000000000000000000000000000000000000000000000000000000000", true},
      {"order 4, y = 0, x odd", "0000000000000000000000000000000000000000000000000000000000000080", true},
      {"order 8, first", "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a", true},
      {"order 8, first negated", "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac03fa", true},
      {"order 8, second", "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05", true},
      {"order 8, second negated", "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc85", true},
      {"identity with the sign bit", "0100000000000000000000000000000000000000000000000000000000000080", false},
      {"order 2 with the sign bit", "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff", false},
      {"identity as y = p + 1", "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", false},
      {"identity as y = p + 1, sign bit", "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff", false},
      {"order 4 as y = p", "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", false},
      {"order 4 as y = p, sign bit", "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff", false},
      {"y = 2^255 - 1", "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", false},
  };
  return table;
}

TEST(Ed25519, SmallOrderAndNonCanonicalDecoding) {
  for (const auto& e : small_order_encodings()) {
    const Bytes enc = unhex(e.hex);
    const auto point = ed_unpack(enc);
    EXPECT_EQ(point.has_value(), e.decodes) << e.name;
    if (!point) continue;
    EXPECT_EQ(hex(ed_pack(*point)), e.hex) << e.name;  // canonical encodings come back unchanged
    // Small order: [8]P is the identity.
    EXPECT_EQ(ed_pack(ed_scalarmult(*point, small(8))), small(1)) << e.name;
  }
}

Key challenge_of(const Key& r, const Key& pub, ByteView message) {
  Bytes hashed(r.begin(), r.end());
  hashed.insert(hashed.end(), pub.begin(), pub.end());
  hashed.insert(hashed.end(), message.begin(), message.end());
  std::array<std::uint8_t, 64> digest{};
  unsigned len = 0;
  EVP_Digest(hashed.data(), hashed.size(), digest.data(), &len, EVP_sha512(), nullptr);
  return reduce_64_mod_l(digest);
}

// The first one-byte message whose challenge k under (R, A) gives [k]T the encoding
// `want` (T a point of small order, so only k mod 8 matters).
Bytes message_with(const Key& r, const Key& pub, const EdPoint& t, const Key& want) {
  for (std::uint8_t i = 0; i < 255; ++i) {
    const Bytes message = {i};
    if (ed_pack(ed_scalarmult(t, challenge_of(r, pub, message))) == want) return message;
  }
  ADD_FAILURE() << "no message found";
  return {};
}

Key neg(Key enc) {
  enc[31] ^= 0x80;
  return enc;
}

// S = r + k * a mod L, by OpenSSL's big numbers.
Key s_for(const Key& r, const Key& k, const Key& a) {
  std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)> ctx(BN_CTX_new(), BN_CTX_free);
  using Bn = std::unique_ptr<BIGNUM, decltype(&BN_free)>;
  Bn br(BN_new(), BN_free), bk(BN_new(), BN_free), ba(BN_new(), BN_free), bl(BN_new(), BN_free);
  BN_lebin2bn(r.data(), 32, br.get());
  BN_lebin2bn(k.data(), 32, bk.get());
  BN_lebin2bn(a.data(), 32, ba.get());
  BN_lebin2bn(ed_l.data(), 32, bl.get());
  BN_mul(bk.get(), bk.get(), ba.get(), ctx.get());
  BN_add(bk.get(), bk.get(), br.get());
  BN_nnmod(bk.get(), bk.get(), bl.get(), ctx.get());
  Key out{};
  BN_bn2lebinpad(bk.get(), out.data(), 32);
  return out;
}

// Verdicts on keys and R values of small or mixed order and on non-canonical encodings.
// Verification is cofactorless ([S]B = R + [k]A exactly), refuses non-canonical A and R,
// and refuses S >= L; OpenSSL's verdict is given beside ours where they differ only by
// its lenient decoding of A.
TEST(Ed25519, SmallOrderAndNonCanonicalVerdicts) {
  const auto enc = [](std::size_t i) { return key_of(unhex(small_order_encodings()[i].hex)); };
  const auto pt = [&](std::size_t i) { return ed_unpack(enc(i)).value(); };
  const Key identity = enc(0), order2 = enc(1), order4 = enc(2), order8 = enc(4);
  const Key order2_signed = enc(9), order4_as_p = enc(12);
  const EdPoint t2 = pt(1), t4 = pt(2), t8 = pt(4);
  const Key s5 = small(5), s7 = small(7);
  const Key r7 = ed_pack(ed_scalarmult(ed_basepoint, s7));
  const Key b_enc = ed_pack(ed_basepoint);

  // A = T8 of order 8: valid only when [k]T8 is the identity.
  const Bytes m8_zero = message_with(r7, order8, t8, identity);
  const Bytes m8_nonzero = message_with(r7, order8, t8, order8);
  // A = -T8, the other canonical order-8 point.
  const Key order8_neg = enc(5);
  const Bytes m8n_zero = message_with(r7, order8_neg, ed_unpack(order8_neg).value(), identity);
  // A = T2: valid for even k.
  const Bytes m2_zero = message_with(r7, order2, t2, identity);
  const Bytes m2_signed = message_with(r7, order2_signed, t2, identity);
  // R = [7]B + T8 with A = T8 and [k]T8 = -T8: R + [k]A = [7]B, valid without a cofactor.
  const Key r_mixed = ed_pack(ed_add(ed_scalarmult(ed_basepoint, s7), t8));
  const Bytes m_mixed = message_with(r_mixed, order8, t8, neg(order8));
  const Bytes m_mixed_wrong = message_with(r_mixed, order8, t8, identity);
  // A = B + T8 (secret 1 plus a torsion part): S = r + k, valid only when [k]T8 = O.
  const Key a_mixed = ed_pack(ed_add(ed_basepoint, t8));
  const Key r5 = ed_pack(ed_scalarmult(ed_basepoint, s5));
  const Bytes ma_zero = message_with(r5, a_mixed, t8, identity);
  const Bytes ma_nonzero = message_with(r5, a_mixed, t8, order8);
  const Key one = small(1);
  const Key sa_zero = s_for(s5, challenge_of(r5, a_mixed, ma_zero), one);
  const Key sa_nonzero = s_for(s5, challenge_of(r5, a_mixed, ma_nonzero), one);
  // R = T4 and A = T4 with k = 3 mod 4: R + [k]A = [4]T4 = O, so S = 0 balances.
  const Bytes m4 = message_with(order4, order4, t4, neg(order4));
  const Bytes m4_as_p = message_with(order4_as_p, order4, t4, neg(order4));
  // S = L - 1 with R = [L - 1]B = -B and A the identity.
  Key l_minus_1 = ed_l;
  l_minus_1[0] -= 1;
  // S + 2L is still below 2^256 and names the same residue as S.
  Key s7_2l = add_le(add_le(s7, ed_l), ed_l);
  Key s7_high = s7;
  s7_high[31] |= 0xe0;

  const Bytes m = to_bytes("corner");
  const std::vector<VerdictCase> cases = {
      {"order-8 key, [k]A = O", order8, m8_zero, signature_of(r7, s7), true, true},
      {"order-8 key, [k]A != O", order8, m8_nonzero, signature_of(r7, s7), false, false},
      {"negated order-8 key, [k]A = O", order8_neg, m8n_zero, signature_of(r7, s7), true, true},
      {"order-2 key, k even", order2, m2_zero, signature_of(r7, s7), true, true},
      {"order-2 key with the sign bit", order2_signed, m2_signed, signature_of(r7, s7), false, true},
      {"R of order 8, identity key, S = 0", identity, m, signature_of(order8, small(0)), false, false},
      {"R of order 4, identity key, S = 0", identity, m, signature_of(order4, small(0)), false, false},
      {"mixed-order R balanced by an order-8 key", order8, m_mixed, signature_of(r_mixed, s7), true, true},
      {"mixed-order R not balanced", order8, m_mixed_wrong, signature_of(r_mixed, s7), false, false},
      {"mixed-order key, [k]T = O", a_mixed, ma_zero, signature_of(r5, sa_zero), true, true},
      {"mixed-order key, [k]T != O", a_mixed, ma_nonzero, signature_of(r5, sa_nonzero), false, false},
      {"R = A = order 4, S = 0", order4, m4, signature_of(order4, small(0)), true, true},
      {"R as y = p, A = order 4, S = 0", order4, m4_as_p, signature_of(order4_as_p, small(0)), false, false},
      {"identity key, S = L - 1, R = -B", identity, m, signature_of(neg(b_enc), l_minus_1), true, true},
      {"identity key, S = 7 + 2L", identity, m, signature_of(r7, s7_2l), false, false},
      {"identity key, S with the top bits set", identity, m, signature_of(r7, s7_high), false, false},
      {"order-2 R with the sign bit, S = 0", identity, m, signature_of(order2_signed, small(0)), false, false},
  };
  for (const auto& c : cases) ASSERT_FALSE(c.message.empty()) << c.name;
  expect_verdicts(cases);
}

// ---- Agreement with OpenSSL ----

TEST(Ed25519, AgreesWithOpenSsl) {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 10000; ++i) {
    const Bytes seed = crypto_test::random_bytes(rng, 32);
    const Bytes message = crypto_test::random_bytes(rng, rng() % 300);
    const auto pub = ed25519_public_key(seed).value();
    ASSERT_EQ(hex(pub), hex(openssl_public_key(seed).value()));
    const auto sig = ed25519_sign(seed, message).value();
    const auto theirs = openssl_sign(seed, message).value();
    ASSERT_EQ(hex(sig), hex(theirs)) << "seed " << hex(seed);
    if (i % 10 == 0) {  // the expanded key signs alike
      const auto key = ed25519_signing_key(seed).value();
      ASSERT_EQ(key.public_key, pub);
      ASSERT_EQ(ed25519_sign(key, message), sig);
    }
    // Each side verifies the other's signature (the same bytes, checked twice over).
    ASSERT_TRUE(ed25519_verify(pub, message, theirs));
    ASSERT_TRUE(openssl_verify(pub, message, sig));

    // Single-bit flips of the public key, the signature and the message.
    if (i % 20 != 0) continue;
    for (int f = 0; f < 5; ++f) {
      Bytes p(pub.begin(), pub.end()), s(sig.begin(), sig.end()), mm = message;
      Bytes& target = f < 1 ? p : f < 4 ? s : mm;
      if (target.empty()) continue;
      const std::size_t bit = rng() % (target.size() * 8);
      target[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
      const bool ours = ed25519_verify(p, mm, s);
      ASSERT_EQ(ours, openssl_verify(p, mm, s)) << "seed " << hex(seed) << " flip " << f << " bit " << bit;
      ASSERT_FALSE(ours);
    }
  }
}

// ---- Curve and scalar arithmetic ----

using Bn = std::unique_ptr<BIGNUM, decltype(&BN_free)>;

Bn bn_l() {
  Bn l(BN_new(), BN_free);
  BN_lebin2bn(ed_l.data(), 32, l.get());
  return l;
}

TEST(Ed25519, ModLAgainstBignum) {
  std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)> ctx(BN_CTX_new(), BN_CTX_free);
  const Bn l = bn_l();
  std::mt19937_64 rng(8);
  auto expect_reduced = [&](const std::array<std::uint8_t, 64>& in) {
    Bn x(BN_new(), BN_free);
    BN_lebin2bn(in.data(), 64, x.get());
    BN_nnmod(x.get(), x.get(), l.get(), ctx.get());
    Key want{};
    BN_bn2lebinpad(x.get(), want.data(), 32);
    EXPECT_EQ(hex(reduce_64_mod_l(in)), hex(want)) << hex(in);
  };
  std::array<std::uint8_t, 64> in{};
  expect_reduced(in);
  in.fill(0xff);
  expect_reduced(in);
  in.fill(0);
  std::copy(ed_l.begin(), ed_l.end(), in.begin());
  expect_reduced(in);  // L -> 0
  in[0] -= 1;
  expect_reduced(in);  // L - 1 stays
  for (int i = 0; i < 2000; ++i) {
    const Bytes r = crypto_test::random_bytes(rng, 64);
    std::copy(r.begin(), r.end(), in.begin());
    if (i % 3 == 0) std::fill(in.begin() + 32, in.end(), 0);  // below 2^256
    if (i % 7 == 0) std::fill(in.begin() + 32, in.begin() + 32 + static_cast<std::ptrdiff_t>(i % 32), 0xff);
    if (i % 11 == 0) {  // a multiple of L plus a small remainder
      Bn x(BN_new(), BN_free), m(BN_new(), BN_free);
      BN_lebin2bn(r.data(), 32, m.get());
      BN_mul(x.get(), m.get(), l.get(), ctx.get());
      BN_add_word(x.get(), static_cast<BN_ULONG>(i % 5));
      BN_bn2lebinpad(x.get(), in.data(), 64);
    }
    expect_reduced(in);
  }

  // S = k * a + r, with the largest values the limbs can hold (all bits set) and random
  // ones; the operands need not be reduced.
  for (int i = 0; i < 300; ++i) {
    Key r{}, k{}, a{};
    for (std::size_t j = 0; j < 32; ++j) {
      r[j] = i == 0 ? 0xff : static_cast<std::uint8_t>(rng());
      k[j] = i == 0 ? 0xff : static_cast<std::uint8_t>(rng());
      a[j] = i == 0 ? 0xff : static_cast<std::uint8_t>(rng());
    }
    if (i == 1) k = Key{};  // r alone
    if (i == 2) r = ed_l;   // r = L
    Bn br(BN_new(), BN_free), bk(BN_new(), BN_free), ba(BN_new(), BN_free), want(BN_new(), BN_free);
    BN_lebin2bn(r.data(), 32, br.get());
    BN_lebin2bn(k.data(), 32, bk.get());
    BN_lebin2bn(a.data(), 32, ba.get());
    BN_mul(want.get(), bk.get(), ba.get(), ctx.get());
    BN_add(want.get(), want.get(), br.get());
    BN_nnmod(want.get(), want.get(), l.get(), ctx.get());
    Key w{};
    BN_bn2lebinpad(want.get(), w.data(), 32);
    EXPECT_EQ(hex(mul_add_mod_l(k, a, r)), hex(w)) << hex(k) << " " << hex(a) << " " << hex(r);
  }
}

TEST(Ed25519, PointArithmetic) {
  std::mt19937_64 rng(9);
  const Key identity = small(1);
  // [L]B is the identity; [L - 1]B is -B.
  EXPECT_EQ(ed_pack(ed_scalarmult(ed_basepoint, ed_l)), identity);
  Key l_minus_1 = ed_l;
  l_minus_1[0] -= 1;
  Key minus_b = ed_pack(ed_basepoint);
  minus_b[31] ^= 0x80;
  EXPECT_EQ(ed_pack(ed_scalarmult(ed_basepoint, l_minus_1)), minus_b);
  EXPECT_EQ(ed_pack(ed_scalarmult(ed_basepoint, Key{})), identity);
  EXPECT_EQ(ed_pack(ed_neutral), identity);

  EdPoint acc = ed_neutral;
  for (int i = 1; i <= 20; ++i) {
    acc = ed_add(acc, ed_basepoint);
    const auto packed = ed_pack(acc);
    EXPECT_EQ(ed_pack(ed_scalarmult(ed_basepoint, small(static_cast<std::uint8_t>(i)))), packed) << i;
    EXPECT_EQ(ed_pack(ed_double(acc)), ed_pack(ed_add(acc, acc))) << i;
    // Decoding an encoding gives back the same point.
    const auto back = ed_unpack(packed);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(ed_pack(*back), packed);
    EXPECT_TRUE(gf_equal(back->t, gf_mul(back->x, back->y)));
  }
  // A swap by bit 0 leaves both points, by bit 1 exchanges them.
  EdPoint p = ed_basepoint, q = ed_neutral;
  ed_cswap(p, q, 0);
  EXPECT_EQ(ed_pack(p), ed_pack(ed_basepoint));
  ed_cswap(p, q, 1);
  EXPECT_EQ(ed_pack(p), identity);
  EXPECT_EQ(ed_pack(q), ed_pack(ed_basepoint));

  // (a + b)B = aB + bB for random scalars below L.
  for (int i = 0; i < 10; ++i) {
    Key a = key_of(crypto_test::random_bytes(rng, 32)), b = key_of(crypto_test::random_bytes(rng, 32));
    a[31] &= 0x0f;
    b[31] &= 0x0f;
    EXPECT_EQ(ed_pack(ed_scalarmult(ed_basepoint, add_le(a, b))),
              ed_pack(ed_add(ed_scalarmult(ed_basepoint, a), ed_scalarmult(ed_basepoint, b))));
  }
}

// The table-driven fixed-base multiplication and the double multiplication of
// verification agree with the plain ladder, at the scalars whose signed digits reach
// the ends of their range and at random ones.
TEST(Ed25519, FixedBaseAndDoubleMultiplication) {
  std::mt19937_64 rng(10);
  std::vector<Key> scalars = {Key{}, small(1), small(8), small(9), ed_l};
  Key l_minus_1 = ed_l;
  l_minus_1[0] -= 1;
  scalars.push_back(l_minus_1);
  Key all = {};
  all.fill(0xff);
  all[31] = 0x7f;  // 2^255 - 1
  scalars.push_back(all);
  Key eights{}, sevens{};
  eights.fill(0x88);
  eights[31] = 0x78;
  sevens.fill(0x77);
  scalars.push_back(eights);  // every digit borrows
  scalars.push_back(sevens);  // no digit borrows
  for (int i = 0; i < 100; ++i) {
    Key k = key_of(crypto_test::random_bytes(rng, 32));
    k[31] &= 0x7f;
    scalars.push_back(k);
  }
  for (const auto& k : scalars) {
    EXPECT_EQ(hex(ed_pack(ed_scalarmult_base(k))), hex(ed_pack(ed_scalarmult(ed_basepoint, k)))) << hex(k);
  }

  std::vector<EdPoint> points = {ed_neutral, ed_basepoint};
  for (const auto& e : small_order_encodings()) {
    if (e.decodes) points.push_back(ed_unpack(unhex(e.hex)).value());
  }
  for (int i = 0; i < 10; ++i) {
    Key k = key_of(crypto_test::random_bytes(rng, 32));
    k[31] &= 0x7f;
    points.push_back(ed_scalarmult(ed_basepoint, k));
    points.push_back(ed_add(points.back(), points[4]));  // with an order-4 part
  }
  for (std::size_t i = 0; i < points.size(); ++i) {
    for (std::size_t j = 0; j < 6; ++j) {
      const Key& a = scalars[(i * 7 + j) % scalars.size()];
      const Key& b = scalars[(i * 3 + j * 5 + 1) % scalars.size()];
      const auto want = ed_pack(ed_add(ed_scalarmult(points[i], a), ed_scalarmult(ed_basepoint, b)));
      EXPECT_EQ(hex(ed_pack(ed_double_scalarmult_vartime(a, points[i], b))), hex(want))
          << "point " << i << " a " << hex(a) << " b " << hex(b);
    }
  }
}

TEST(Ed25519, ClampScalar) {
  std::array<std::uint8_t, 64> digest;
  digest.fill(0xff);
  const Key a = clamp_ed25519_scalar(digest);
  EXPECT_EQ(a[0], 0xf8);
  EXPECT_EQ(a[31], 0x7f);
  digest.fill(0);
  const Key z = clamp_ed25519_scalar(digest);
  EXPECT_EQ(z[0], 0);
  EXPECT_EQ(z[31], 0x40);
}

}  // namespace
}  // namespace crypto
