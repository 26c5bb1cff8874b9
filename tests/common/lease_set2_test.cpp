#include <gtest/gtest.h>

#include "common/lease_set2.h"
#include "encoding/reader.h"
#include "test_util.h"

using namespace common;
using common_test::OpenSslEd25519;

namespace {

Destination destination_for(const Bytes& identity_bytes) {
  encoding::Reader r(identity_bytes);
  return *Destination::decode(r);
}

Hash hash_of(std::uint8_t fill) {
  Hash h;
  h.bytes.fill(fill);
  return h;
}

Result<LeaseSet2> decode(const Bytes& bytes, std::size_t* consumed = nullptr) {
  encoding::Reader r(bytes);
  auto ls = LeaseSet2::decode(r);
  if (consumed != nullptr) *consumed = r.pos;
  return ls;
}

// A LeaseSet2 with two keys (X25519 and an unknown type) and two leases, unsigned.
LeaseSet2 sample(const Bytes& identity_bytes) {
  LeaseSet2 ls;
  ls.destination = destination_for(identity_bytes);
  ls.published = 1700000000;
  ls.expires = 600;
  ls.flags = 0;
  ls.options = Mapping::from_entries({{"x", "1"}});
  ls.encryption_keys = {LeaseSet2EncryptionKey{CryptoPublicKeyType::X25519, Bytes(32, 0xA1)},
                        LeaseSet2EncryptionKey{CryptoPublicKeyType::from_u16(0x0100), Bytes{1, 2, 3, 4, 5}}};
  ls.leases = {Lease2{hash_of(0x11), 0x01020304, 1700000600}, Lease2{hash_of(0x22), 7, 1700000700}};
  return ls;
}

// The same LeaseSet2 written by hand from the byte layout, up to the signature.
Bytes sample_wire(const Bytes& identity_bytes, std::uint16_t flags, const Bytes& offline_block) {
  Bytes w = identity_bytes;
  common_test::append_u32(w, 1700000000);
  common_test::append_u16(w, 600);
  common_test::append_u16(w, flags);
  common_test::append(w, offline_block);
  common_test::append(w, Bytes{0x00, 0x06, 0x01, 'x', '=', 0x01, '1', ';'});
  w.push_back(2);
  common_test::append_u16(w, 4);
  common_test::append_u16(w, 32);
  common_test::append(w, Bytes(32, 0xA1));
  common_test::append_u16(w, 0x0100);
  common_test::append_u16(w, 5);
  common_test::append(w, Bytes{1, 2, 3, 4, 5});
  w.push_back(2);
  common_test::append(w, Bytes(32, 0x11));
  common_test::append_u32(w, 0x01020304);
  common_test::append_u32(w, 1700000600);
  common_test::append(w, Bytes(32, 0x22));
  common_test::append_u32(w, 7);
  common_test::append_u32(w, 1700000700);
  return w;
}

}  // namespace

TEST(LeaseSet2, SignedWithoutOfflineSignature) {
  OpenSslEd25519 key(0x31);
  Bytes identity = common_test::own_identity_bytes(key.public_key);
  LeaseSet2 ls = sample(identity);

  auto body = ls.unsigned_bytes();
  ASSERT_TRUE(body);
  EXPECT_EQ(*body, sample_wire(identity, 0, {}));
  auto to_sign = ls.signing_bytes();
  ASSERT_TRUE(to_sign);
  ASSERT_EQ(to_sign->size(), body->size() + 1);
  EXPECT_EQ((*to_sign)[0], 0x03);
  EXPECT_TRUE(std::equal(body->begin(), body->end(), to_sign->begin() + 1));

  ls.signature = key.sign(*to_sign);
  auto wire = ls.to_bytes();
  ASSERT_TRUE(wire);
  Bytes expected = *body;
  common_test::append(expected, ls.signature);
  EXPECT_EQ(*wire, expected);  // no leading 0x03

  Bytes with_trailer = *wire;
  with_trailer.push_back(0xEE);
  std::size_t consumed = 0;
  auto back = decode(with_trailer, &consumed);
  ASSERT_TRUE(back);
  EXPECT_EQ(consumed, wire->size());
  EXPECT_EQ(*back, ls);
  EXPECT_EQ(back->to_bytes(), wire);
  auto back_signing = back->signing_bytes();
  ASSERT_TRUE(back_signing);
  EXPECT_TRUE(
      OpenSslEd25519::verify(back->destination.keys_and_cert.signing_public_key(), *back_signing, back->signature));
}

TEST(LeaseSet2, SignedWithOfflineSignature) {
  OpenSslEd25519 destination_key(0x41);
  OpenSslEd25519 transient_key(0x42);
  Bytes identity = common_test::own_identity_bytes(destination_key.public_key);

  LeaseSet2 ls = sample(identity);
  ls.flags = LeaseSet2::kFlagOfflineSignature;
  OfflineSignature offline{1800000000, SigningPublicKeyType::EdDsaSha512Ed25519, transient_key.public_key, {}};
  offline.signature = destination_key.sign(offline.unsigned_bytes());
  ls.offline_signature = offline;

  auto to_sign = ls.signing_bytes();
  ASSERT_TRUE(to_sign);
  ls.signature = transient_key.sign(*to_sign);
  auto wire = ls.to_bytes();
  ASSERT_TRUE(wire);

  Bytes offline_block;
  common_test::append_u32(offline_block, 1800000000);
  common_test::append_u16(offline_block, 7);
  common_test::append(offline_block, transient_key.public_key);
  common_test::append(offline_block, offline.signature);
  ASSERT_EQ(offline_block.size(), 102u);
  Bytes expected = sample_wire(identity, 0x0001, offline_block);
  common_test::append(expected, ls.signature);
  EXPECT_EQ(*wire, expected);

  auto back = decode(*wire);
  ASSERT_TRUE(back);
  ASSERT_TRUE(back->offline_signature);
  EXPECT_EQ(*back->offline_signature, offline);
  EXPECT_EQ(back->signature.size(), 64u);
  EXPECT_EQ(*back, ls);
  EXPECT_EQ(back->to_bytes(), wire);
  EXPECT_TRUE(OpenSslEd25519::verify(destination_key.public_key, back->offline_signature->unsigned_bytes(),
                                     back->offline_signature->signature));
  EXPECT_TRUE(OpenSslEd25519::verify(back->offline_signature->transient_key, *back->signing_bytes(), back->signature));
}

TEST(LeaseSet2, SignatureLengthComesFromTransientType) {
  // Destination type 7 (64-byte signatures), transient RsaSha256_2048 (256-byte key and
  // signature): the offline block holds a 256-byte key and a 64-byte signature, the
  // LeaseSet2 signature is 256 bytes.
  Bytes identity = common_test::own_identity_bytes(Bytes(32, 0x05));
  Bytes offline_block;
  common_test::append_u32(offline_block, 1);
  common_test::append_u16(offline_block, 4);
  common_test::append(offline_block, Bytes(256, 0x66));
  common_test::append(offline_block, Bytes(64, 0x77));
  Bytes wire = sample_wire(identity, 0x0001, offline_block);
  common_test::append(wire, Bytes(256, 0x88));
  std::size_t consumed = 0;
  auto ls = decode(wire, &consumed);
  ASSERT_TRUE(ls);
  EXPECT_EQ(consumed, wire.size());
  EXPECT_EQ(ls->offline_signature->transient_key.size(), 256u);
  EXPECT_EQ(ls->offline_signature->signature.size(), 64u);
  EXPECT_EQ(ls->signature, Bytes(256, 0x88));
  EXPECT_EQ(ls->to_bytes(), wire);
}

TEST(LeaseSet2, FlagBitsOtherThanOfflineAreCarried) {
  Bytes identity = common_test::own_identity_bytes(Bytes(32, 0x05));
  Bytes wire = sample_wire(identity, 0x0002, {});
  common_test::append(wire, Bytes(64, 0x99));
  auto ls = decode(wire);
  ASSERT_TRUE(ls);
  EXPECT_EQ(ls->flags, 0x0002);
  EXPECT_FALSE(ls->offline_signature);
  EXPECT_EQ(ls->to_bytes(), wire);

  // An offline signature without flag bit 0 is not written.
  LeaseSet2 with_offline = *ls;
  with_offline.offline_signature = OfflineSignature{1, SigningPublicKeyType::EdDsaSha512Ed25519, Bytes(32), Bytes(64)};
  EXPECT_EQ(with_offline.to_bytes(), wire);

  // Flag bit 0 without an offline signature cannot be encoded.
  LeaseSet2 flagged = *ls;
  flagged.flags = 0x0003;
  auto e = flagged.unsigned_bytes();
  ASSERT_FALSE(e);
  EXPECT_TRUE(e.error().is(CommonError::Unsupported));
  EXPECT_EQ(e.error().message(), "LeaseSet2 offline signature flag set without offline_sig");
  EXPECT_FALSE(flagged.signing_bytes());
  EXPECT_FALSE(flagged.to_bytes());
}

TEST(LeaseSet2, EmptyKeysAndLeases) {
  LeaseSet2 ls;
  ls.destination = destination_for(common_test::key_area_then({0x00, 0x00, 0x00}));  // DsaSha1: 40-byte signature
  ls.published = 5;
  ls.expires = 6;
  ls.signature = Bytes(40, 0x12);
  auto wire = ls.to_bytes();
  ASSERT_TRUE(wire);
  ASSERT_EQ(wire->size(), 387u + 4 + 2 + 2 + 2 + 1 + 1 + 40);
  EXPECT_EQ((*wire)[387 + 8 + 2], 0);  // key count
  EXPECT_EQ((*wire)[387 + 8 + 3], 0);  // lease count
  auto back = decode(*wire);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, ls);
}

TEST(LeaseSet2, UnknownSigningTypes) {
  // Unknown destination type: the signature is every remaining byte.
  Bytes identity = common_test::key_area_then({0x05, 0x00, 0x04, 0x00, 0x0A, 0x00, 0x04});
  Bytes wire = sample_wire(identity, 0, {});
  common_test::append(wire, Bytes(13, 0x31));
  auto ls = decode(wire);
  ASSERT_TRUE(ls);
  EXPECT_EQ(ls->signature, Bytes(13, 0x31));
  EXPECT_EQ(ls->to_bytes(), wire);

  // With an offline block, an unknown destination type cannot size its signature.
  Bytes offline_block;
  common_test::append_u32(offline_block, 1);
  common_test::append_u16(offline_block, 7);
  common_test::append(offline_block, Bytes(32 + 64, 0x01));
  Bytes wire2 = sample_wire(identity, 0x0001, offline_block);
  auto e = decode(wire2);
  ASSERT_FALSE(e);
  EXPECT_TRUE(e.error().is(CommonError::Unsupported));
  EXPECT_EQ(e.error().message(), "unsupported destination signing type in OfflineSignature");
}

TEST(LeaseSet2, CountsAndLengthsThatDoNotFitAreRefused) {
  Bytes identity = common_test::own_identity_bytes(Bytes(32, 0x05));
  struct Row {
    const char* name;
    void (*change)(LeaseSet2&);
    const char* message;
  };
  const Row rows[] = {
      {"256 leases", [](LeaseSet2& ls) { ls.leases.assign(256, Lease2{}); }, "LeaseSet2 lease count exceeds 255: 256"},
      {"256 keys",
       [](LeaseSet2& ls) {
         ls.encryption_keys.assign(256, LeaseSet2EncryptionKey{CryptoPublicKeyType::X25519, Bytes(32)});
       },
       "LeaseSet2 key count exceeds 255: 256"},
      {"65536-byte key", [](LeaseSet2& ls) { ls.encryption_keys[0].key.assign(65536, 0x01); },
       "LeaseSet2 encryption key exceeds 65535 bytes: 65536"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    LeaseSet2 ls = sample(identity);
    row.change(ls);
    auto e = ls.unsigned_bytes();
    ASSERT_FALSE(e);
    EXPECT_TRUE(e.error().is(CommonError::Invalid));
    EXPECT_EQ(e.error().message(), row.message);
    EXPECT_FALSE(ls.to_bytes());
    EXPECT_FALSE(ls.signing_bytes());
  }

  LeaseSet2 at_limit = sample(identity);
  at_limit.leases.assign(255, Lease2{});
  at_limit.encryption_keys.assign(255, LeaseSet2EncryptionKey{CryptoPublicKeyType::X25519, Bytes(32)});
  at_limit.encryption_keys[0].key.assign(65535, 0x01);
  at_limit.signature = Bytes(64);
  auto wire = at_limit.to_bytes();
  ASSERT_TRUE(wire);
  auto back = decode(*wire);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, at_limit);
}

TEST(LeaseSet2, TruncatedInputFails) {
  Bytes identity = common_test::own_identity_bytes(Bytes(32, 0x05));
  Bytes wire = sample_wire(identity, 0, {});
  common_test::append(wire, Bytes(64, 0x01));
  for (std::size_t len : {std::size_t{10}, std::size_t{393}, std::size_t{400}, std::size_t{420}, std::size_t{440},
                          std::size_t{480}, wire.size() - 70, wire.size() - 1}) {
    SCOPED_TRACE(len);
    auto ls = decode(Bytes(wire.begin(), wire.begin() + static_cast<std::ptrdiff_t>(len)));
    ASSERT_FALSE(ls);
    EXPECT_TRUE(ls.error().is(CommonError::Encoding));
  }
}
