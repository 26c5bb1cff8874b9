#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "common/certificate.h"
#include "common/destination.h"
#include "common/hash.h"
#include "common/key_types.h"
#include "common/keys_and_cert.h"
#include "common/offline_signature.h"
#include "encoding/reader.h"
#include "encoding/writer.h"
#include "test_util.h"

using namespace common;
using common_test::key_area_then;

namespace {

Result<KeysAndCert> decode_kc(const Bytes& bytes) {
  encoding::Reader r(bytes);
  return KeysAndCert::decode(r);
}

Bytes encode_cert(const Certificate& c) {
  encoding::Writer w;
  c.encode(w);
  return w.buf;
}

}  // namespace

TEST(Hash, FromBytesNeedsExactly32) {
  Bytes b31(31, 0xAB);
  auto bad = Hash::from_bytes(b31);
  ASSERT_FALSE(bad);
  EXPECT_TRUE(bad.error().is(CommonError::Invalid));
  EXPECT_EQ(bad.error().message(), "I2P Hash must be 32 bytes, got 31");

  Bytes b32(32);
  for (std::size_t i = 0; i < 32; ++i) b32[i] = static_cast<std::uint8_t>(i);
  auto ok = Hash::from_bytes(b32);
  ASSERT_TRUE(ok);
  EXPECT_TRUE(std::equal(b32.begin(), b32.end(), ok->bytes.begin()));
}

TEST(Hash, DecodeShortInputIsEncodingError) {
  Bytes b(20);
  encoding::Reader r(b);
  auto h = Hash::decode(r);
  ASSERT_FALSE(h);
  EXPECT_TRUE(h.error().is(CommonError::Encoding));
  ASSERT_NE(h.error().inner(), nullptr);
  EXPECT_TRUE(h.error().inner()->is(EncodingError::Truncated));
}

TEST(Hash, B32Address) {
  Hash zero;
  EXPECT_EQ(zero.to_b32_address(), std::string(52, 'a') + ".b32.i2p");
  Hash ones;
  ones.bytes.fill(0xFF);
  EXPECT_EQ(ones.to_b32_address(), std::string(51, '7') + "q.b32.i2p");
}

TEST(KeyTypes, SigningTable) {
  struct Row {
    std::uint16_t code;
    SigningPublicKeyType::Kind kind;
    std::optional<std::size_t> key, sig;
  };
  using K = SigningPublicKeyType::Kind;
  const Row rows[] = {
      {0, K::DsaSha1, 128, 40},
      {1, K::EcdsaSha256P256, 64, 64},
      {2, K::EcdsaSha384P384, 96, 96},
      {3, K::EcdsaSha512P521, 132, 132},
      {4, K::RsaSha256_2048, 256, 256},
      {5, K::RsaSha384_3072, 384, 384},
      {6, K::RsaSha512_4096, 512, 512},
      {7, K::EdDsaSha512Ed25519, 32, 64},
      {8, K::EdDsaSha512Ed25519ph, 32, 64},
      {9, K::Unknown, std::nullopt, std::nullopt},
      {10, K::Unknown, std::nullopt, std::nullopt},
      {11, K::RedDsaSha512Ed25519, 32, 64},
      {12, K::Unknown, std::nullopt, std::nullopt},
      {0xFFFF, K::Unknown, std::nullopt, std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.code);
    SigningPublicKeyType t = SigningPublicKeyType::from_u16(row.code);
    EXPECT_EQ(t.kind(), row.kind);
    EXPECT_EQ(t.code(), row.code);
    EXPECT_EQ(t.public_key_length(), row.key);
    EXPECT_EQ(t.signature_length(), row.sig);
  }
  EXPECT_TRUE(SigningPublicKeyType::equal(SigningPublicKeyType::from_u16(7), SigningPublicKeyType::EdDsaSha512Ed25519));
  EXPECT_FALSE(
      SigningPublicKeyType::equal(SigningPublicKeyType::from_u16(8), SigningPublicKeyType::EdDsaSha512Ed25519));
}

TEST(KeyTypes, CryptoTable) {
  using K = CryptoPublicKeyType::Kind;
  const std::pair<K, std::optional<std::size_t>> rows[] = {
      {K::ElGamal, 256}, {K::EcdhP256, 64}, {K::EcdhP384, 96}, {K::EcdhP521, 132}, {K::X25519, 32}, {K::Unknown, {}},
  };
  for (std::uint16_t code = 0; code < 6; ++code) {
    CryptoPublicKeyType t = CryptoPublicKeyType::from_u16(code);
    EXPECT_EQ(t.kind(), rows[code].first) << code;
    EXPECT_EQ(t.public_key_length(), rows[code].second) << code;
    EXPECT_EQ(t.code(), code);
  }
  EXPECT_TRUE(CryptoPublicKeyType::equal(CryptoPublicKeyType::from_u16(4), CryptoPublicKeyType::X25519));
}

// Each certificate kind decoded from the bytes after the key area, then re-encoded.
TEST(Certificate, Table) {
  struct Row {
    const char* name;
    Bytes cert;
    std::size_t kind_index;
    Bytes reencoded;  // the bytes encode writes back (and the hash covers)
  };
  const Row rows[] = {
      {"null", {0x00, 0x00, 0x00}, 0, {0x00, 0x00, 0x00}},
      {"hashcash", {0x01, 0x00, 0x02, 0xAA, 0xBB}, 1, {0x01, 0x00, 0x02, 0xAA, 0xBB}},
      {"hidden with payload", {0x02, 0x00, 0x05, 1, 2, 3, 4, 5}, 2, {0x02, 0x00, 0x00}},
      {"signed", {0x03, 0x00, 0x01, 0xCC}, 3, {0x03, 0x00, 0x01, 0xCC}},
      {"multiple", {0x04, 0x00, 0x00}, 4, {0x04, 0x00, 0x00}},
      {"key", {0x05, 0x00, 0x04, 0x00, 0x07, 0x00, 0x04}, 5, {0x05, 0x00, 0x04, 0x00, 0x07, 0x00, 0x04}},
      {"unknown 7", {0x07, 0x00, 0x05, 9, 8, 7, 6, 5}, 6, {0x07, 0x00, 0x05, 9, 8, 7, 6, 5}},
      {"unknown 255", {0xFF, 0x00, 0x00}, 6, {0xFF, 0x00, 0x00}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Bytes input = key_area_then({});
    common_test::append(input, row.cert);
    input.push_back(0xEE);  // a following byte that must stay unread
    encoding::Reader r(input);
    auto kc = KeysAndCert::decode(r);
    ASSERT_TRUE(kc);
    EXPECT_EQ(r.pos, 384 + row.cert.size());
    EXPECT_EQ(kc->certificate.value.index(), row.kind_index);
    EXPECT_EQ(kc->certificate.type_byte(), row.cert[0]);
    EXPECT_EQ(encode_cert(kc->certificate), row.reencoded);

    Bytes covered = key_area_then({});
    common_test::append(covered, row.reencoded);
    EXPECT_EQ(kc->to_bytes(), covered);
    EXPECT_EQ(kc->hash().bytes, common_test::openssl_sha256(covered));
  }
}

TEST(Certificate, StructureErrors) {
  struct Row {
    Bytes cert;
    const char* message;
  };
  const Row rows[] = {
      {{0x00, 0x00, 0x01, 0x00}, "Null certificate must have 0-byte payload"},
      {{0x05, 0x00, 0x03, 0x00, 0x07, 0x00}, "Key certificate payload must be at least 4 bytes"},
      {{0x05, 0x00, 0x00}, "Key certificate payload must be at least 4 bytes"},
  };
  for (const Row& row : rows) {
    Bytes input = key_area_then({});
    common_test::append(input, row.cert);
    auto kc = decode_kc(input);
    ASSERT_FALSE(kc);
    EXPECT_TRUE(kc.error().is(CommonError::Invalid));
    EXPECT_EQ(kc.error().message(), row.message);
  }
}

TEST(KeysAndCert, TruncatedInputIsEncodingError) {
  Bytes full = key_area_then({0x05, 0x00, 0x04, 0x00, 0x07, 0x00, 0x04});
  // Cut inside the key area, the certificate header and the payload.
  for (std::size_t len : {0u, 100u, 383u, 384u, 386u, 388u, 390u}) {
    SCOPED_TRACE(len);
    Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(len));
    auto kc = decode_kc(cut);
    ASSERT_FALSE(kc);
    EXPECT_TRUE(kc.error().is(CommonError::Encoding));
    ASSERT_NE(kc.error().inner(), nullptr);
    EXPECT_TRUE(kc.error().inner()->is(EncodingError::Truncated));
  }
  auto kc = decode_kc(Bytes(100));
  EXPECT_EQ(kc.error().inner()->message(), "read_bytes: need 384 bytes, have 100");
}

TEST(KeysAndCert, OwnKeyCertificate) {
  Bytes input = key_area_then({0x05, 0x00, 0x04, 0x00, 0x07, 0x00, 0x04});
  auto kc = decode_kc(input);
  ASSERT_TRUE(kc);
  ASSERT_NE(kc->certificate.key(), nullptr);
  EXPECT_EQ(*kc->certificate.key(), KeyCertificate::create(CryptoPublicKeyType::X25519));
  EXPECT_EQ(kc->signing_type(), SigningPublicKeyType::EdDsaSha512Ed25519);
  EXPECT_EQ(kc->signing_public_key(), Bytes(input.begin() + 352, input.begin() + 384));
  EXPECT_EQ(kc->crypto_public_key(), Bytes(input.begin(), input.begin() + 32));
  EXPECT_EQ(kc->to_bytes().size(), 391u);
}

TEST(KeysAndCert, WithoutKeyCertificate) {
  Bytes input = key_area_then({0x00, 0x00, 0x00});
  auto kc = decode_kc(input);
  ASSERT_TRUE(kc);
  EXPECT_EQ(kc->signing_type(), SigningPublicKeyType::DsaSha1);
  EXPECT_EQ(kc->signing_public_key(), Bytes(input.begin() + 256, input.begin() + 384));
  EXPECT_EQ(kc->crypto_public_key(), Bytes(input.begin(), input.begin() + 256));
  EXPECT_EQ(kc->to_bytes(), input);
}

TEST(KeysAndCert, LongSigningKeyContinuesInCertificate) {
  // Signing code 6 (512-byte key), crypto code 0, with the whole 384-byte excess.
  Bytes input = key_area_then({0x05, 0x01, 0x84, 0x00, 0x06, 0x00, 0x00});
  for (int i = 0; i < 384; ++i) input.push_back(static_cast<std::uint8_t>(0x80 + i));
  auto kc = decode_kc(input);
  ASSERT_TRUE(kc);
  const KeyCertificate* k = kc->certificate.key();
  ASSERT_NE(k, nullptr);
  EXPECT_EQ(k->extra_signing_key.size(), 384u);
  EXPECT_TRUE(k->extra_crypto_key.empty());
  Bytes expected(input.begin() + 256, input.begin() + 384);
  expected.insert(expected.end(), input.begin() + 391, input.end());
  EXPECT_EQ(kc->signing_public_key(), expected);
  EXPECT_EQ(kc->signing_public_key().size(), 512u);
  EXPECT_EQ(kc->to_bytes(), input);
}

TEST(KeysAndCert, LongSigningKeyWithShortExcess) {
  // Signing code 6 with only 10 bytes after the codes: they are extra crypto bytes.
  Bytes input = key_area_then({0x05, 0x00, 0x0E, 0x00, 0x06, 0x00, 0x00, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  auto kc = decode_kc(input);
  ASSERT_TRUE(kc);
  const KeyCertificate* k = kc->certificate.key();
  ASSERT_NE(k, nullptr);
  EXPECT_TRUE(k->extra_signing_key.empty());
  EXPECT_EQ(k->extra_crypto_key, (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
  EXPECT_EQ(kc->signing_public_key(), Bytes(input.begin() + 256, input.begin() + 384));
  EXPECT_EQ(kc->to_bytes(), input);
}

TEST(KeysAndCert, UnknownKeyTypesAreKept) {
  // Signing code 9 and crypto code 0x0100: both unknown, keys empty, bytes kept.
  Bytes input = key_area_then({0x05, 0x00, 0x06, 0x00, 0x09, 0x01, 0x00, 0xAB, 0xCD});
  auto kc = decode_kc(input);
  ASSERT_TRUE(kc);
  const KeyCertificate* k = kc->certificate.key();
  ASSERT_NE(k, nullptr);
  EXPECT_TRUE(k->signing_type.is_unknown());
  EXPECT_EQ(k->signing_type.code(), 9);
  EXPECT_TRUE(k->crypto_type.is_unknown());
  EXPECT_EQ(k->crypto_type.code(), 0x0100);
  EXPECT_EQ(k->extra_crypto_key, (Bytes{0xAB, 0xCD}));
  EXPECT_TRUE(kc->signing_public_key().empty());
  EXPECT_TRUE(kc->crypto_public_key().empty());
  EXPECT_EQ(kc->to_bytes(), input);
  EXPECT_EQ(kc->hash().bytes, common_test::openssl_sha256(input));
}

TEST(Destination, Base64OfNullAndKeyCertificates) {
  struct Row {
    Bytes bytes;
    std::size_t size, chars;
  };
  const Row rows[] = {
      {key_area_then({0x00, 0x00, 0x00}), 387, 516},
      {key_area_then({0x05, 0x00, 0x04, 0x00, 0x07, 0x00, 0x04}), 391, 524},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.size);
    encoding::Reader r(row.bytes);
    auto d = Destination::decode(r);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->keys_and_cert.to_bytes().size(), row.size);
    std::string text = d->to_base64();
    EXPECT_EQ(text.size(), row.chars);
    EXPECT_EQ(text, common_test::openssl_i2p_base64(row.bytes));
    if (row.size == 387) {
      EXPECT_EQ(text.find('='), std::string::npos);
    } else {
      EXPECT_EQ(text.substr(text.size() - 2), "==");
    }
    auto back = Destination::from_base64(text);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, *d);

    // Further bytes after the certificate are ignored.
    Bytes longer = row.bytes;
    common_test::append(longer, Bytes{1, 2, 3, 4, 5});
    auto from_longer = Destination::from_base64(common_test::openssl_i2p_base64(longer));
    ASSERT_TRUE(from_longer);
    EXPECT_EQ(*from_longer, *d);
  }
}

TEST(Destination, FromBadBase64) {
  auto d = Destination::from_base64("not*base64!");
  ASSERT_FALSE(d);
  EXPECT_TRUE(d.error().is(CommonError::Encoding));
  ASSERT_NE(d.error().inner(), nullptr);
  EXPECT_TRUE(d.error().inner()->in_family<EncodingError>());

  auto short_dest = Destination::from_base64(common_test::openssl_i2p_base64(Bytes(100)));
  ASSERT_FALSE(short_dest);
  EXPECT_TRUE(short_dest.error().is(CommonError::Encoding));
}

TEST(OfflineSignature, DecodeEd25519) {
  Bytes input;
  common_test::append_u32(input, 1700000000);
  common_test::append_u16(input, 7);
  for (int i = 0; i < 32; ++i) input.push_back(static_cast<std::uint8_t>(i));
  for (int i = 0; i < 64; ++i) input.push_back(static_cast<std::uint8_t>(0xC0 + i));
  input.push_back(0x99);  // not part of the block
  encoding::Reader r(input);
  auto os = OfflineSignature::decode(r, SigningPublicKeyType::EdDsaSha512Ed25519);
  ASSERT_TRUE(os);
  EXPECT_EQ(r.pos, 102u);
  EXPECT_EQ(os->expires, 1700000000u);
  EXPECT_EQ(os->transient_type, SigningPublicKeyType::EdDsaSha512Ed25519);
  EXPECT_EQ(os->transient_key, Bytes(input.begin() + 6, input.begin() + 38));
  EXPECT_EQ(os->signature, Bytes(input.begin() + 38, input.begin() + 102));
  EXPECT_EQ(os->unsigned_bytes(), Bytes(input.begin(), input.begin() + 38));
}

TEST(OfflineSignature, Errors) {
  Bytes input;
  common_test::append_u32(input, 1);
  common_test::append_u16(input, 9);
  input.resize(200);
  encoding::Reader r(input);
  auto os = OfflineSignature::decode(r, SigningPublicKeyType::EdDsaSha512Ed25519);
  ASSERT_FALSE(os);
  EXPECT_TRUE(os.error().is(CommonError::Unsupported));
  EXPECT_EQ(os.error().message(), "unsupported transient signing type in OfflineSignature");

  input[5] = 7;
  encoding::Reader r2(input);
  auto os2 = OfflineSignature::decode(r2, SigningPublicKeyType::from_u16(9));
  ASSERT_FALSE(os2);
  EXPECT_TRUE(os2.error().is(CommonError::Unsupported));
  EXPECT_EQ(os2.error().message(), "unsupported destination signing type in OfflineSignature");
  EXPECT_EQ(r2.pos, 38u);  // the transient key was read

  for (std::size_t len : {3u, 5u, 20u, 60u}) {
    Bytes cut(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(len));
    encoding::Reader rc(cut);
    auto e = OfflineSignature::decode(rc, SigningPublicKeyType::EdDsaSha512Ed25519);
    ASSERT_FALSE(e);
    EXPECT_TRUE(e.error().is(CommonError::Encoding)) << len;
  }
}
