#include <gtest/gtest.h>

#include <string>

#include "common/router_info.h"
#include "encoding/reader.h"
#include "encoding/text.h"
#include "test_util.h"
#include "tests/support/test_data.h"

using namespace common;
using common_test::OpenSslEd25519;

namespace {

Result<RouterInfo> decode(const Bytes& bytes, std::size_t* consumed = nullptr) {
  encoding::Reader r(bytes);
  auto ri = RouterInfo::decode(r);
  if (consumed != nullptr) *consumed = r.pos;
  return ri;
}

// Raw mapping bytes, entries written in the given order (not sorted).
Bytes raw_mapping(std::initializer_list<std::pair<std::string_view, std::string_view>> entries) {
  Bytes body;
  for (const auto& [k, v] : entries) {
    common_test::append_string(body, k);
    body.push_back('=');
    common_test::append_string(body, v);
    body.push_back(';');
  }
  Bytes out;
  common_test::append_u16(out, static_cast<std::uint32_t>(body.size()));
  common_test::append(out, body);
  return out;
}

struct WireParts {
  Bytes identity;
  std::uint64_t published = 1796906486320;
  Bytes addresses = {0x00};  // count then addresses
  Bytes peers = {0x00};      // count then hashes
  Bytes options = raw_mapping({{"caps", "L"}, {"netId", "2"}});
};

Bytes unsigned_wire(const WireParts& p) {
  Bytes out = p.identity;
  common_test::append_u64(out, p.published);
  common_test::append(out, p.addresses);
  common_test::append(out, p.peers);
  common_test::append(out, p.options);
  return out;
}

Bytes one_ntcp2_address() {
  Bytes a = {0x01, 0x0A};  // count 1, cost 10
  common_test::append_u64(a, 0);
  common_test::append_string(a, "NTCP2");
  common_test::append(a, raw_mapping({{"host", "10.0.0.1"}, {"port", "12345"}}));
  return a;
}

struct Fixture {
  const char* file;
  const char* b32;
  const char* caps;
  const char* host;
  const char* port;
  std::uint64_t published;
};

const Fixture kFixtures[] = {
    {"ff-127.0.0.2.dat", "caqhbjurlthg3emdqpmlvmp2wnlrhsr5o65wbd5nm6ytzfzcfida.b32.i2p", "Xf", "127.0.0.2", "17101",
     1796906486320},
    {"plain-127.0.0.3.dat", "osr4r4kruk2ql7usn4f73tieoi47riyhdqsaya5wet5irgmhykvq.b32.i2p", "L", "127.0.0.3", "17102",
     1796906486520},
};

}  // namespace

TEST(RouterInfo, FilesFromAnotherRouter) {
  for (const Fixture& f : kFixtures) {
    SCOPED_TRACE(f.file);
    Bytes file = test_support::read_test_data(std::string("routerinfo/") + f.file);
    ASSERT_GT(file.size(), 391u + 64u);
    std::size_t consumed = 0;
    auto ri = decode(file, &consumed);
    ASSERT_TRUE(ri);
    EXPECT_EQ(consumed, file.size());

    const KeysAndCert& kc = ri->identity.keys_and_cert;
    EXPECT_EQ(kc.signing_type(), SigningPublicKeyType::EdDsaSha512Ed25519);
    ASSERT_NE(kc.certificate.key(), nullptr);
    EXPECT_EQ(kc.certificate.key()->crypto_type, CryptoPublicKeyType::X25519);
    EXPECT_EQ(kc.hash().to_b32_address(), f.b32);
    EXPECT_EQ(kc.hash().bytes, common_test::openssl_sha256(ByteView(file).first(391)));

    EXPECT_EQ(ri->published, f.published);
    std::vector<std::pair<std::string, std::string>> options = {
        {"caps", f.caps}, {"netId", "2"}, {"router.version", "0.9.57"}};
    EXPECT_EQ(ri->options.entries, options);
    ASSERT_EQ(ri->addresses.size(), 1u);
    EXPECT_EQ(ri->addresses[0].transport_style, "NTCP2");
    EXPECT_EQ(ri->addresses[0].options.get("host"), f.host);
    EXPECT_EQ(ri->addresses[0].options.get("port"), f.port);
    EXPECT_EQ(ri->signature.size(), 64u);

    // Our verification agrees with OpenSSL's over the file's own bytes.
    ByteView signed_part = ByteView(file).first(file.size() - 64);
    EXPECT_TRUE(OpenSslEd25519::verify(kc.signing_public_key(), signed_part, ri->signature));
    EXPECT_TRUE(ri->verify_signature());

    auto unsigned_bytes = ri->unsigned_bytes();
    ASSERT_TRUE(unsigned_bytes);
    EXPECT_TRUE(std::equal(unsigned_bytes->begin(), unsigned_bytes->end(), signed_part.begin(), signed_part.end()));
    auto again = ri->to_bytes();
    ASSERT_TRUE(again);
    EXPECT_EQ(*again, file);
  }
}

TEST(RouterInfo, FlippedByteFailsVerification) {
  Bytes file = test_support::read_test_data(std::string("routerinfo/") + kFixtures[0].file);
  ASSERT_FALSE(file.empty());
  // Key area filler, signing key, published, an address option, a router option, the signature.
  for (std::size_t at :
       {std::size_t{100}, std::size_t{360}, std::size_t{395}, std::size_t{430}, file.size() - 70, file.size() - 1}) {
    SCOPED_TRACE(at);
    Bytes bad = file;
    bad[at] ^= 0x01;
    auto ri = decode(bad);
    ASSERT_TRUE(ri);
    EXPECT_FALSE(ri->verify_signature());
  }
}

TEST(RouterInfo, TruncatedFileFails) {
  Bytes file = test_support::read_test_data(std::string("routerinfo/") + kFixtures[1].file);
  ASSERT_FALSE(file.empty());
  for (std::size_t len : {std::size_t{0}, std::size_t{390}, std::size_t{395}, std::size_t{400}, std::size_t{450},
                          std::size_t{560}, file.size() - 1}) {
    SCOPED_TRACE(len);
    auto ri = decode(Bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(len)));
    ASSERT_FALSE(ri);
    EXPECT_TRUE(ri.error().is(CommonError::Encoding));
  }
}

TEST(RouterInfo, OwnSignedRouterInfoRoundTrips) {
  OpenSslEd25519 key(0x42);
  Bytes identity = common_test::own_identity_bytes(key.public_key);
  encoding::Reader r(identity);
  auto kc = KeysAndCert::decode(r);
  ASSERT_TRUE(kc);

  RouterInfo ri;
  ri.identity = RouterIdentity{*kc};
  ri.published = 1234567890123;
  ri.addresses.push_back(
      RouterAddress{5, 0, "NTCP2", Mapping::from_entries({{"port", "9000"}, {"host", "192.0.2.1"}, {"s", "x"}})});
  ri.options = Mapping::from_entries({{"netId", "2"}, {"caps", "LR"}});
  auto body = ri.unsigned_bytes();
  ASSERT_TRUE(body);
  ri.signature = key.sign(*body);
  EXPECT_TRUE(ri.verify_signature());

  auto wire = ri.to_bytes();
  ASSERT_TRUE(wire);
  EXPECT_EQ(wire->size(), body->size() + 64);
  auto back = decode(*wire);
  ASSERT_TRUE(back);
  EXPECT_TRUE(back->verify_signature());
  EXPECT_EQ(back->to_bytes(), wire);
  // Options come back in their sorted wire order.
  EXPECT_EQ(back->options.entries[0].first, "caps");
  EXPECT_EQ(back->addresses[0].options.get("host"), "192.0.2.1");

  ri.signature[0] ^= 0x80;
  EXPECT_FALSE(ri.verify_signature());
}

// What the signature covers is our re-encoding: unsorted options, peers or a Hidden
// payload in the received bytes make an otherwise valid signature fail.
TEST(RouterInfo, SignatureCoversReencoding) {
  OpenSslEd25519 key(0x07);
  Bytes identity = common_test::own_identity_bytes(key.public_key);
  Bytes hidden_identity(identity.begin(), identity.begin() + 384);
  common_test::append(hidden_identity, Bytes{0x02, 0x00, 0x02, 0xAA, 0xBB});

  struct Row {
    const char* name;
    WireParts parts;
    bool verifies;
  };
  WireParts sorted{identity};
  sorted.addresses = one_ntcp2_address();
  WireParts unsorted = sorted;
  unsorted.options = raw_mapping({{"netId", "2"}, {"caps", "L"}});
  WireParts with_peers = sorted;
  with_peers.peers = Bytes{0x02};
  with_peers.peers.resize(1 + 64, 0x5A);
  WireParts hidden{hidden_identity};
  const Row rows[] = {
      {"sorted", sorted, true},
      {"unsorted options", unsorted, false},
      {"two peers", with_peers, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Bytes wire = unsigned_wire(row.parts);
    Bytes sig = key.sign(wire);
    common_test::append(wire, sig);
    std::size_t consumed = 0;
    auto ri = decode(wire, &consumed);
    ASSERT_TRUE(ri);
    EXPECT_EQ(consumed, wire.size());
    EXPECT_EQ(ri->signature, sig);
    EXPECT_EQ(ri->verify_signature(), row.verifies);
  }

  // The peers are dropped and written back as count 0.
  Bytes wire = unsigned_wire(with_peers);
  common_test::append(wire, Bytes(64, 0x01));
  auto ri = decode(wire);
  ASSERT_TRUE(ri);
  auto body = ri->unsigned_bytes();
  ASSERT_TRUE(body);
  EXPECT_EQ(*body, unsigned_wire(sorted));

  // A Hidden certificate is not a Key certificate: never verifies.
  Bytes hidden_wire = unsigned_wire(hidden);
  common_test::append(hidden_wire, Bytes(40, 0x02));
  auto hidden_ri = decode(hidden_wire);
  ASSERT_TRUE(hidden_ri);
  EXPECT_FALSE(hidden_ri->verify_signature());
}

TEST(RouterInfo, SignatureLengthFollowsSigningType) {
  // DsaSha1 (no Key certificate): a 40-byte signature, never verified.
  WireParts dsa{common_test::key_area_then({0x00, 0x00, 0x00})};
  Bytes wire = unsigned_wire(dsa);
  common_test::append(wire, Bytes(40, 0x33));
  wire.push_back(0xEE);  // trailing byte stays unread
  std::size_t consumed = 0;
  auto ri = decode(wire, &consumed);
  ASSERT_TRUE(ri);
  EXPECT_EQ(ri->signature.size(), 40u);
  EXPECT_EQ(consumed, wire.size() - 1);
  EXPECT_FALSE(ri->verify_signature());

  // Unknown signing type 9: the signature is every remaining byte.
  WireParts unknown{common_test::key_area_then({0x05, 0x00, 0x04, 0x00, 0x09, 0x00, 0x04})};
  Bytes wire9 = unsigned_wire(unknown);
  common_test::append(wire9, Bytes(77, 0x44));
  auto ri9 = decode(wire9);
  ASSERT_TRUE(ri9);
  EXPECT_EQ(ri9->signature, Bytes(77, 0x44));
  EXPECT_FALSE(ri9->verify_signature());
  EXPECT_EQ(ri9->to_bytes(), wire9);

  // EcdsaSha256P256 (type 1): 64-byte signature, carried but not verified.
  WireParts ecdsa{common_test::key_area_then({0x05, 0x00, 0x04, 0x00, 0x01, 0x00, 0x00})};
  Bytes wire1 = unsigned_wire(ecdsa);
  common_test::append(wire1, Bytes(64, 0x55));
  auto ri1 = decode(wire1);
  ASSERT_TRUE(ri1);
  EXPECT_EQ(ri1->signature.size(), 64u);
  EXPECT_FALSE(ri1->verify_signature());
}

TEST(RouterInfo, CountsThatDoNotFitAreRefused) {
  Bytes identity = common_test::own_identity_bytes(Bytes(32, 0x01));
  encoding::Reader r(identity);
  auto kc = KeysAndCert::decode(r);
  ASSERT_TRUE(kc);
  RouterInfo base;
  base.identity = RouterIdentity{*kc};

  RouterInfo full = base;
  full.addresses.assign(255, RouterAddress{1, 0, "NTCP2", {}});
  auto ok = full.unsigned_bytes();
  ASSERT_TRUE(ok);
  EXPECT_EQ((*ok)[391 + 8], 255);

  RouterInfo too_many = base;
  too_many.addresses.assign(256, RouterAddress{1, 0, "NTCP2", {}});
  auto e = too_many.unsigned_bytes();
  ASSERT_FALSE(e);
  EXPECT_TRUE(e.error().is(CommonError::Invalid));
  EXPECT_EQ(e.error().message(), "RouterInfo address count exceeds 255: 256");
  EXPECT_FALSE(too_many.to_bytes());
  EXPECT_FALSE(too_many.verify_signature());

  RouterInfo long_style = base;
  long_style.addresses.push_back(RouterAddress{1, 0, std::string(256, 'N'), {}});
  auto e2 = long_style.unsigned_bytes();
  ASSERT_FALSE(e2);
  EXPECT_TRUE(e2.error().is(CommonError::Encoding));

  RouterInfo long_option = base;
  long_option.options = Mapping::from_entries({{"caps", std::string(256, 'L')}});
  auto e3 = long_option.to_bytes();
  ASSERT_FALSE(e3);
  EXPECT_TRUE(e3.error().is(CommonError::Encoding));

  RouterInfo big_cert = base;
  big_cert.identity.keys_and_cert.certificate = Certificate{Certificate::Unknown{9, Bytes(65536, 0x00)}};
  auto e4 = big_cert.unsigned_bytes();
  ASSERT_FALSE(e4);
  EXPECT_TRUE(e4.error().is(CommonError::Invalid));
  EXPECT_EQ(e4.error().message(), "certificate payload exceeds 65535 bytes: 65536");
}

TEST(RouterInfo, EveryPrefixAndEveryByteChangeIsHandled) {
  Bytes file = test_support::read_test_data(std::string("routerinfo/") + kFixtures[0].file);
  ASSERT_FALSE(file.empty());
  for (std::size_t len = 0; len < file.size(); ++len) {
    EXPECT_FALSE(decode(Bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(len)))) << len;
  }
  for (std::size_t at = 0; at < file.size(); ++at) {
    Bytes changed = file;
    changed[at] ^= 0xFF;
    auto ri = decode(changed);
    if (!ri) continue;
    EXPECT_FALSE(ri->verify_signature()) << at;
    (void)ri->to_bytes();
    (void)ri->identity.keys_and_cert.hash();
  }
}
