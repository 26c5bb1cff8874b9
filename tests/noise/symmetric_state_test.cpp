#include "noise/symmetric_state.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "crypto/chacha20_poly1305.h"
#include "crypto/hkdf.h"
#include "crypto/sha256.h"
#include "noise/cipher_state.h"
#include "noise/concat.h"
#include "noise/hkdf2.h"

namespace {

std::array<std::uint8_t, 32> filled(std::uint8_t v) {
  std::array<std::uint8_t, 32> a;
  a.fill(v);
  return a;
}

noise::SymmetricState keyed_state() {
  auto s = noise::SymmetricState::initialize(as_bytes("Noise_N_25519_ChaChaPoly_SHA256"));
  s.mix_key(as_bytes("shared secret"));
  return s;
}

}  // namespace

TEST(SymmetricState, InitializeByNameLength) {
  const std::string ntcp2 = "Noise_XKaesobfse+hs2+hs3_25519_ChaChaPoly_SHA256";  // 48 bytes
  const std::string ratchet = "Noise_IKelg2+hs2_25519_ChaChaPoly_SHA256";        // 40 bytes
  for (const std::string& name : {ntcp2, ratchet}) {
    const auto s = noise::SymmetricState::initialize(as_bytes(name));
    EXPECT_EQ(s.h, crypto::sha256(as_bytes(name))) << name;
    EXPECT_EQ(s.ck, s.h);
    EXPECT_FALSE(s.cipher.k.has_value());
    EXPECT_EQ(s.cipher.n, 0u);
  }
  const std::string n31 = "Noise_N_25519_ChaChaPoly_SHA256";
  ASSERT_EQ(n31.size(), 31u);
  auto s31 = noise::SymmetricState::initialize(as_bytes(n31));
  std::array<std::uint8_t, 32> expected{};
  std::copy(n31.begin(), n31.end(), expected.begin());
  EXPECT_EQ(s31.h, expected);
  EXPECT_EQ(s31.ck, expected);

  const std::string n32 = "Noise_XK_25519_ChaChaPoly_SHA256";
  ASSERT_EQ(n32.size(), 32u);
  auto s32 = noise::SymmetricState::initialize(as_bytes(n32));
  EXPECT_EQ(Bytes(s32.h.begin(), s32.h.end()), to_bytes(n32));
}

TEST(SymmetricState, FromPartsAndMixHash) {
  auto s = noise::SymmetricState::from_parts(filled(1), filled(2));
  EXPECT_EQ(s.ck, filled(1));
  EXPECT_EQ(s.h, filled(2));
  EXPECT_FALSE(s.cipher.k.has_value());
  s.mix_hash(as_bytes("data"));
  EXPECT_EQ(s.h, crypto::sha256(noise::concat_bytes(filled(2), as_bytes("data"))));
  EXPECT_EQ(s.ck, filled(1));
}

TEST(SymmetricState, MixKeyUsesNoiseHkdf) {
  auto s = noise::SymmetricState::from_parts(filled(1), filled(2));
  s.cipher.n = 7;
  s.mix_key(as_bytes("ikm"));
  const auto [ck, k] = noise::noise_hkdf2(filled(1), as_bytes("ikm"));
  EXPECT_EQ(s.ck, ck);
  ASSERT_TRUE(s.cipher.k.has_value());
  EXPECT_EQ(*s.cipher.k, k);
  EXPECT_EQ(s.cipher.n, 0u);
}

TEST(NoiseHkdf2, EqualsTheHalvesOfHkdf) {
  for (const Bytes& ikm : {Bytes{}, to_bytes("input key material"), Bytes(100, 0x42)}) {
    const auto [out1, out2] = noise::noise_hkdf2(filled(9), ikm);
    const Bytes both = *crypto::hkdf(filled(9), ikm, {}, 64);
    EXPECT_EQ(Bytes(out1.begin(), out1.end()), Bytes(both.begin(), both.begin() + 32));
    EXPECT_EQ(Bytes(out2.begin(), out2.end()), Bytes(both.begin() + 32, both.end()));
  }
}

TEST(SymmetricState, EncryptAndHashWithoutKeyPassesThrough) {
  auto s = noise::SymmetricState::initialize(as_bytes("Noise_N_25519_ChaChaPoly_SHA256"));
  const auto h0 = s.h;
  auto out = s.encrypt_and_hash(as_bytes("payload"));
  ASSERT_TRUE(out.has_value());
  EXPECT_EQ(*out, to_bytes("payload"));
  EXPECT_EQ(s.h, crypto::sha256(noise::concat_bytes(h0, as_bytes("payload"))));
  EXPECT_EQ(s.cipher.n, 0u);
}

TEST(SymmetricState, EncryptDecryptRoundTripKeepsBothSidesInStep) {
  auto alice = keyed_state();
  auto bob = keyed_state();
  for (const std::string& text : {std::string(), std::string("first"), std::string(200, 'x')}) {
    const auto h_before = alice.h;
    auto ct = alice.encrypt_and_hash(as_bytes(text));
    ASSERT_TRUE(ct.has_value());
    EXPECT_EQ(ct->size(), text.size() + 16);
    // The AEAD ran with ad = h and the nonce from before the call.
    const auto nonce = noise::make_noise_nonce(alice.cipher.n - 1);
    EXPECT_EQ(*ct, *crypto::aead_chacha20_poly1305_encrypt(*alice.cipher.k, nonce, h_before, as_bytes(text)));
    EXPECT_EQ(alice.h, crypto::sha256(noise::concat_bytes(h_before, *ct)));
    auto pt = bob.decrypt_and_hash(*ct);
    ASSERT_TRUE(pt.has_value());
    EXPECT_EQ(*pt, to_bytes(text));
    EXPECT_EQ(bob.h, alice.h);
    EXPECT_EQ(bob.cipher.n, alice.cipher.n);
  }
}

TEST(SymmetricState, FailedDecryptionChangesNothing) {
  auto alice = keyed_state();
  auto bob = keyed_state();
  const Bytes ct = *alice.encrypt_and_hash(as_bytes("hello"));
  Bytes bad = ct;
  bad.back() ^= 1;
  const auto h_before = bob.h;
  auto r = bob.decrypt_and_hash(bad);
  ASSERT_FALSE(r.has_value());
  EXPECT_TRUE(r.error().is(NoiseError::Crypto));
  ASSERT_NE(r.error().inner(), nullptr);
  EXPECT_TRUE(r.error().inner()->is(CryptoError::AuthFailed));
  EXPECT_EQ(bob.h, h_before);
  EXPECT_EQ(bob.cipher.n, 0u);
  // The correct message still opens with the same nonce.
  auto ok = bob.decrypt_and_hash(ct);
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ(*ok, to_bytes("hello"));
  EXPECT_EQ(bob.h, alice.h);

  auto too_short = bob.decrypt_and_hash(Bytes(15));
  ASSERT_FALSE(too_short.has_value());
  EXPECT_TRUE(too_short.error().inner()->is(CryptoError::AuthFailed));
  EXPECT_EQ(bob.cipher.n, 1u);
}

TEST(CipherState, NonceLayoutAndExhaustion) {
  const std::array<std::uint8_t, 12> one = {0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(noise::make_noise_nonce(1), one);
  const std::array<std::uint8_t, 12> big = {0, 0, 0, 0, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01};
  EXPECT_EQ(noise::make_noise_nonce(0x0102030405060708), big);

  noise::CipherState sender;
  sender.k = filled(3);
  sender.n = std::numeric_limits<std::uint64_t>::max() - 1;
  noise::CipherState receiver = sender;
  auto ct = sender.encrypt_with_ad({}, as_bytes("last"));
  ASSERT_TRUE(ct.has_value());
  EXPECT_EQ(sender.n, noise::CipherState::exhausted);
  auto pt = receiver.decrypt_with_ad({}, *ct);
  ASSERT_TRUE(pt.has_value());
  EXPECT_EQ(receiver.n, noise::CipherState::exhausted);

  auto no_more = sender.encrypt_with_ad({}, as_bytes("one more"));
  ASSERT_FALSE(no_more.has_value());
  EXPECT_TRUE(no_more.error().is(NoiseError::NonceExhausted));
  auto no_more_in = receiver.decrypt_with_ad({}, *ct);
  ASSERT_FALSE(no_more_in.has_value());
  EXPECT_TRUE(no_more_in.error().is(NoiseError::NonceExhausted));
  EXPECT_EQ(receiver.n, noise::CipherState::exhausted);
}

TEST(CipherState, WithoutKeyNothingIsTouched) {
  noise::CipherState c;
  c.n = noise::CipherState::exhausted;  // irrelevant without a key
  EXPECT_EQ(*c.encrypt_with_ad(as_bytes("ad"), as_bytes("text")), to_bytes("text"));
  EXPECT_EQ(*c.decrypt_with_ad(as_bytes("ad"), as_bytes("text")), to_bytes("text"));
  EXPECT_EQ(c.n, noise::CipherState::exhausted);
}

TEST(ConcatBytes, Cases) {
  EXPECT_TRUE(noise::concat_bytes({}, {}).empty());
  EXPECT_EQ(noise::concat_bytes(as_bytes("abc"), {}), to_bytes("abc"));
  EXPECT_EQ(noise::concat_bytes({}, as_bytes("abc")), to_bytes("abc"));
  EXPECT_EQ(noise::concat_bytes(as_bytes("ab"), as_bytes("cd")), to_bytes("abcd"));
}

TEST(SymmetricState, EncryptAndHashIntoTheCallersBuffer) {
  for (bool keyed : {false, true}) {
    auto a = noise::SymmetricState::initialize(as_bytes("Noise_N_25519_ChaChaPoly_SHA256"));
    if (keyed) a.mix_key(Bytes(32, 9));
    auto b = a;
    const Bytes plaintext = to_bytes("sealed where it lies");
    const Bytes expected = *a.encrypt_and_hash(plaintext);
    Bytes buf = plaintext;
    buf.resize(plaintext.size() + b.cipher.overhead());
    ASSERT_TRUE(b.encrypt_and_hash_into(ByteView(buf).first(plaintext.size()), buf));
    EXPECT_EQ(buf, expected);
    EXPECT_EQ(b.h, a.h);
    EXPECT_EQ(b.cipher.n, a.cipher.n);
  }
  // A buffer of the wrong size is refused and changes nothing.
  auto s = noise::SymmetricState::initialize(as_bytes("Noise_N_25519_ChaChaPoly_SHA256"));
  s.mix_key(Bytes(32, 9));
  const auto h0 = s.h;
  Bytes small(4);
  EXPECT_FALSE(s.encrypt_and_hash_into(Bytes(4), small));
  EXPECT_EQ(s.h, h0);
  EXPECT_EQ(s.cipher.n, 0u);
}
