#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <string>
#include <vector>

#include "encoding/reader.h"
#include "encoding/text.h"
#include "encoding/writer.h"
#include "i2np/message.h"
#include "i2np/payload.h"

using namespace i2np;
using P = I2npPayload;

namespace {

std::uint8_t openssl_checksum(ByteView body) {
  std::uint8_t digest[32];
  SHA256(body.data(), body.size(), digest);
  return digest[0];
}

common::Hash hash_of(std::uint8_t fill) {
  common::Hash h;
  h.bytes.fill(fill);
  return h;
}

Bytes pattern(std::size_t n, std::uint8_t seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 13);
  return b;
}

void put_u32(Bytes& out, std::uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<std::uint8_t>(v >> s));
}

void put_hash(Bytes& out, std::uint8_t fill) { out.insert(out.end(), 32, fill); }

struct Case {
  std::string name;
  I2npPayload payload;
  std::uint8_t type_byte;
};

std::vector<Case> every_message_kind() {
  Bytes inner_message = *encode_standard_message(3, 4, I2npPayload{P::DeliveryStatus{1, 2}});
  std::vector<Bytes> four_records = {pattern(218, 1), pattern(218, 2), pattern(218, 3), pattern(218, 4)};
  return {
      {"store without reply", {P::DatabaseStore{hash_of(1), 0, 0, 0, std::nullopt, pattern(300, 9)}}, 1},
      {"store with reply", {P::DatabaseStore{hash_of(1), 3, 9, 77, hash_of(2), pattern(40, 5)}}, 1},
      {"lookup plain", {P::DatabaseLookup{hash_of(3), hash_of(4), 0x00, std::nullopt, {}, std::nullopt, {}}}, 2},
      {"lookup via tunnel, excluded peers",
       {P::DatabaseLookup{hash_of(3), hash_of(4), 0x0D, 1234, {hash_of(5), hash_of(6)}, std::nullopt, {}}},
       2},
      {"lookup encrypted 32-byte tags",
       {P::DatabaseLookup{
           hash_of(3), hash_of(4), 0x02, std::nullopt, {}, pattern(32, 7), {pattern(32, 8), pattern(32, 9)}}},
       2},
      {"lookup encrypted 8-byte tags via tunnel",
       {P::DatabaseLookup{hash_of(3), hash_of(4), 0x13, 99, {hash_of(7)}, pattern(32, 7), {pattern(8, 10)}}},
       2},
      {"search reply", {P::DatabaseSearchReply{hash_of(8), {hash_of(9), hash_of(10), hash_of(11)}, hash_of(12)}}, 3},
      {"search reply no peers", {P::DatabaseSearchReply{hash_of(8), {}, hash_of(12)}}, 3},
      {"delivery status", {P::DeliveryStatus{5, 1000}}, 10},
      {"garlic", {P::Garlic{pattern(500, 3)}}, 11},
      {"garlic empty", {P::Garlic{}}, 11},
      {"tunnel data", {P::TunnelData{0xDEADBEEF, pattern(1024, 4)}}, 18},
      {"tunnel gateway", {P::TunnelGateway{42, inner_message}}, 19},
      {"data", {P::Data{pattern(77, 6)}}, 20},
      {"short tunnel build", {P::ShortTunnelBuild{four_records}}, 25},
      {"short tunnel build empty", {P::ShortTunnelBuild{}}, 25},
      {"outbound build reply", {P::OutboundTunnelBuildReply{{pattern(218, 5)}}}, 26},
      {"tunnel build", {P::Unknown{I2npMessageType::TunnelBuild, pattern(100, 1)}}, 21},
      {"tunnel build reply", {P::Unknown{I2npMessageType::TunnelBuildReply, pattern(100, 2)}}, 22},
      {"variable tunnel build", {P::Unknown{I2npMessageType::VariableTunnelBuild, pattern(100, 3)}}, 23},
      {"variable tunnel build reply", {P::Unknown{I2npMessageType::VariableTunnelBuildReply, pattern(100, 4)}}, 24},
      {"unknown 99", {P::Unknown{I2npMessageType::from_byte(99), pattern(10, 5)}}, 99},
  };
}

}  // namespace

TEST(I2npMessageType, FromByteKeepsEveryByte) {
  for (int b = 0; b < 256; ++b) {
    I2npMessageType t = I2npMessageType::from_byte(static_cast<std::uint8_t>(b));
    EXPECT_EQ(t.byte(), b);
  }
  EXPECT_EQ(I2npMessageType::from_byte(1).kind(), I2npMessageType::Kind::DatabaseStore);
  EXPECT_EQ(I2npMessageType::from_byte(26).kind(), I2npMessageType::Kind::OutboundTunnelBuildReply);
  EXPECT_EQ(I2npMessageType::from_byte(4).kind(), I2npMessageType::Kind::Unknown);
  EXPECT_EQ(I2npMessageType::from_byte(99).kind(), I2npMessageType::Kind::Unknown);
}

TEST(I2npMessage, DeliveryStatusBytes) {
  I2npPayload p{P::DeliveryStatus{5, 1000}};
  auto body = p.encode_body();
  ASSERT_TRUE(body);
  Bytes expected_body = {0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0x03, 0xE8};
  EXPECT_EQ(*body, expected_body);

  auto standard = encode_standard_message(7, 0, p);
  ASSERT_TRUE(standard);
  Bytes expected = {0x0A, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x0C, openssl_checksum(expected_body)};
  expected.insert(expected.end(), expected_body.begin(), expected_body.end());
  EXPECT_EQ(*standard, expected);
  EXPECT_EQ(standard->size(), 28u);

  auto short_form = encode_short_message(7, 100, p);
  ASSERT_TRUE(short_form);
  Bytes expected_short = {0x0A, 0, 0, 0, 7, 0, 0, 0, 0x64};
  expected_short.insert(expected_short.end(), expected_body.begin(), expected_body.end());
  EXPECT_EQ(*short_form, expected_short);
}

TEST(I2npMessage, EveryKindRoundTripsWithBothHeaders) {
  for (const Case& c : every_message_kind()) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.payload.msg_type().byte(), c.type_byte);
    auto body = c.payload.encode_body();
    ASSERT_TRUE(body);
    // Appended after bytes already in a writer, the same body; the size reserved for it is
    // exact for the kinds that carry bytes.
    encoding::Writer appended;
    appended.write_u32_be(0x99887766);
    ASSERT_TRUE(c.payload.encode_body_to(appended));
    Bytes expected = {0x99, 0x88, 0x77, 0x66};
    expected.insert(expected.end(), body->begin(), body->end());
    EXPECT_EQ(appended.buf, expected);
    const bool carries_bytes =
        std::holds_alternative<P::Garlic>(c.payload.value) || std::holds_alternative<P::TunnelData>(c.payload.value) ||
        std::holds_alternative<P::TunnelGateway>(c.payload.value) || std::holds_alternative<P::Data>(c.payload.value) ||
        std::holds_alternative<P::ShortTunnelBuild>(c.payload.value) ||
        std::holds_alternative<P::OutboundTunnelBuildReply>(c.payload.value) ||
        std::holds_alternative<P::Unknown>(c.payload.value);
    if (carries_bytes) {
      EXPECT_EQ(c.payload.body_size_hint(), body->size());
    }

    auto standard = encode_standard_message(0x01020304, 0x1122334455667788ULL, c.payload);
    ASSERT_TRUE(standard);
    ASSERT_EQ(standard->size(), body->size() + 16);
    EXPECT_EQ((*standard)[0], c.type_byte);
    EXPECT_EQ((*standard)[13], body->size() >> 8);
    EXPECT_EQ((*standard)[14], body->size() & 0xFF);
    EXPECT_EQ((*standard)[15], openssl_checksum(*body));
    Bytes with_trailer = *standard;
    with_trailer.push_back(0xEE);
    encoding::Reader r(with_trailer);
    auto decoded = decode_standard_message(r);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(r.pos, standard->size());
    const I2npHeader& h = decoded->first;
    EXPECT_EQ(h.msg_type.byte(), c.type_byte);
    EXPECT_EQ(h.msg_id, 0x01020304u);
    EXPECT_EQ(h.expiration, 0x1122334455667788ULL);
    EXPECT_EQ(h.size, body->size());
    EXPECT_EQ(h.checksum, openssl_checksum(*body));
    EXPECT_EQ(decoded->second, c.payload);
    EXPECT_EQ(encode_standard_message(h.msg_id, h.expiration, decoded->second), standard);

    auto short_form = encode_short_message(0x0A0B0C0D, 0x61626364, c.payload);
    ASSERT_TRUE(short_form);
    ASSERT_EQ(short_form->size(), body->size() + 9);
    encoding::Reader rs(*short_form);
    auto short_decoded = decode_short_message(rs);
    ASSERT_TRUE(short_decoded);
    EXPECT_EQ(rs.remaining(), 0u);
    EXPECT_EQ(short_decoded->first.msg_type.byte(), c.type_byte);
    EXPECT_EQ(short_decoded->first.msg_id, 0x0A0B0C0Du);
    EXPECT_EQ(short_decoded->first.expiration, 0x61626364u);
    EXPECT_EQ(short_decoded->second, c.payload);
    EXPECT_EQ(encode_short_message(0x0A0B0C0D, 0x61626364, short_decoded->second), short_form);
  }
}

// Bodies written by hand from the byte layouts.
TEST(I2npPayload, BodyLayouts) {
  Bytes store;
  put_hash(store, 1);
  store.push_back(3);
  put_u32(store, 9);
  put_u32(store, 77);
  put_hash(store, 2);
  store.insert(store.end(), {0xAA, 0xBB});

  Bytes store_no_reply;
  put_hash(store_no_reply, 1);
  store_no_reply.push_back(0);
  put_u32(store_no_reply, 0);
  store_no_reply.insert(store_no_reply.end(), {0xCC});

  Bytes lookup;
  put_hash(lookup, 3);
  put_hash(lookup, 4);
  lookup.push_back(0x13);
  put_u32(lookup, 99);
  lookup.insert(lookup.end(), {0x00, 0x01});
  put_hash(lookup, 7);
  Bytes reply_key(32, 0x55);
  lookup.insert(lookup.end(), reply_key.begin(), reply_key.end());
  lookup.push_back(1);
  lookup.insert(lookup.end(), 8, 0x66);

  Bytes search;
  put_hash(search, 8);
  search.push_back(2);
  put_hash(search, 9);
  put_hash(search, 10);
  put_hash(search, 12);

  Bytes gateway = {0, 0, 0, 42, 0x00, 0x03, 7, 8, 9};
  Bytes garlic = {0, 0, 0, 2, 0xAB, 0xCD};

  struct Row {
    const char* name;
    I2npPayload payload;
    Bytes body;
  };
  const Row rows[] = {
      {"store", {P::DatabaseStore{hash_of(1), 3, 9, 77, hash_of(2), {0xAA, 0xBB}}}, store},
      {"store, token 0 ignores tunnel id",
       {P::DatabaseStore{hash_of(1), 0, 0, 55, hash_of(2), {0xCC}}},
       store_no_reply},
      {"lookup",
       {P::DatabaseLookup{hash_of(3), hash_of(4), 0x13, 99, {hash_of(7)}, reply_key, {Bytes(8, 0x66)}}},
       lookup},
      {"search", {P::DatabaseSearchReply{hash_of(8), {hash_of(9), hash_of(10)}, hash_of(12)}}, search},
      {"gateway", {P::TunnelGateway{42, {7, 8, 9}}}, gateway},
      {"garlic", {P::Garlic{{0xAB, 0xCD}}}, garlic},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto body = row.payload.encode_body();
    ASSERT_TRUE(body);
    EXPECT_EQ(*body, row.body);
  }

  // Decoding the token-0 store gives tunnel id 0 and no gateway.
  auto decoded = I2npPayload::decode_body(I2npMessageType::DatabaseStore, store_no_reply);
  ASSERT_TRUE(decoded);
  const auto& s = std::get<P::DatabaseStore>(decoded->value);
  EXPECT_EQ(s.reply_tunnel_id, 0u);
  EXPECT_FALSE(s.reply_gateway);
  EXPECT_EQ(s.data, Bytes{0xCC});
}

TEST(I2npPayload, LookupFlagVariants) {
  // Key and tags without an encryption flag are not written and decode as absent.
  I2npPayload plain{P::DatabaseLookup{hash_of(3), hash_of(4), 0x00, std::nullopt, {}, Bytes(32, 1), {Bytes(32, 2)}}};
  auto body = plain.encode_body();
  ASSERT_TRUE(body);
  EXPECT_EQ(body->size(), 32u + 32 + 1 + 2);
  auto back = I2npPayload::decode_body(I2npMessageType::DatabaseLookup, *body);
  ASSERT_TRUE(back);
  const auto& l = std::get<P::DatabaseLookup>(back->value);
  EXPECT_FALSE(l.reply_key);
  EXPECT_TRUE(l.reply_tags.empty());
  EXPECT_FALSE(l.reply_tunnel_id);

  // 8-byte tags with bit 4, 32-byte tags with bit 1 only.
  for (std::uint8_t flags : {std::uint8_t{0x12}, std::uint8_t{0x10}, std::uint8_t{0x02}}) {
    std::size_t tag_len = (flags & 0x10) != 0 ? 8 : 32;
    I2npPayload p{P::DatabaseLookup{
        hash_of(3), hash_of(4), flags, std::nullopt, {}, Bytes(32, 1), {Bytes(tag_len, 2), Bytes(tag_len, 3)}}};
    auto b = p.encode_body();
    ASSERT_TRUE(b) << int(flags);
    EXPECT_EQ(b->size(), 32u + 32 + 1 + 2 + 32 + 1 + 2 * tag_len);
  }

  // An encrypted lookup may arrive with zero tags.
  Bytes zero_tags;
  put_hash(zero_tags, 3);
  put_hash(zero_tags, 4);
  zero_tags.insert(zero_tags.end(), {0x02, 0x00, 0x00});
  zero_tags.insert(zero_tags.end(), 32, 0x01);
  zero_tags.push_back(0);
  auto z = I2npPayload::decode_body(I2npMessageType::DatabaseLookup, zero_tags);
  ASSERT_TRUE(z);
  EXPECT_TRUE(std::get<P::DatabaseLookup>(z->value).reply_tags.empty());
  EXPECT_TRUE(std::get<P::DatabaseLookup>(z->value).reply_key);
}

TEST(I2npPayload, EncodeErrors) {
  auto lookup = [](std::uint8_t flags, std::optional<std::uint32_t> tunnel, std::optional<Bytes> key,
                   std::vector<Bytes> tags) {
    return I2npPayload{P::DatabaseLookup{hash_of(3), hash_of(4), flags, tunnel, {}, std::move(key), std::move(tags)}};
  };
  struct Row {
    const char* name;
    I2npPayload payload;
    std::string message;
  };
  const Row rows[] = {
      {"store without gateway",
       {P::DatabaseStore{hash_of(1), 0, 9, 1, std::nullopt, {}}},
       "DatabaseStore with non-zero reply_token requires reply_gateway"},
      {"tunnel flag without id", lookup(0x01, std::nullopt, std::nullopt, {}),
       "DatabaseLookup with tunnel delivery flag requires reply_tunnel_id"},
      {"encrypted without key", lookup(0x02, std::nullopt, std::nullopt, {Bytes(32)}),
       "DatabaseLookup encryption flag requires reply_key"},
      {"short key", lookup(0x12, std::nullopt, Bytes(31), {Bytes(8)}),
       "DatabaseLookup reply_key must be 32 bytes, got 31"},
      {"no tags", lookup(0x12, std::nullopt, Bytes(32), {}),
       "DatabaseLookup encrypted reply requires 1..255 reply_tags"},
      {"256 tags", lookup(0x12, std::nullopt, Bytes(32), std::vector<Bytes>(256, Bytes(8))),
       "DatabaseLookup encrypted reply requires 1..255 reply_tags"},
      {"32-byte tag with bit 4", lookup(0x12, std::nullopt, Bytes(32), {Bytes(32)}),
       "DatabaseLookup reply_tag must be 8 bytes, got 32"},
      {"8-byte tag without bit 4", lookup(0x02, std::nullopt, Bytes(32), {Bytes(8)}),
       "DatabaseLookup reply_tag must be 32 bytes, got 8"},
      {"65536 excluded peers",
       {P::DatabaseLookup{hash_of(3), hash_of(4), 0, std::nullopt, std::vector<common::Hash>(65536), std::nullopt, {}}},
       "DatabaseLookup excluded peer count exceeds 65535: 65536"},
      {"256 peers",
       {P::DatabaseSearchReply{hash_of(8), std::vector<common::Hash>(256), hash_of(12)}},
       "DatabaseSearchReply peer count exceeds 255: 256"},
      {"tunnel data 1023", {P::TunnelData{1, Bytes(1023)}}, "TunnelData payload must be 1024 bytes, got 1023"},
      {"tunnel gateway too long", {P::TunnelGateway{1, Bytes(65536)}}, "TunnelGateway payload exceeds 65535 bytes"},
      {"short record",
       {P::ShortTunnelBuild{{Bytes(218), Bytes(217)}}},
       "ShortTunnelBuild record must be 218 bytes, got 217"},
      {"long reply record",
       {P::OutboundTunnelBuildReply{{Bytes(219)}}},
       "ShortTunnelBuild record must be 218 bytes, got 219"},
      {"256 records",
       {P::ShortTunnelBuild{std::vector<Bytes>(256, Bytes(218))}},
       "ShortTunnelBuild record count exceeds 255: 256"},
      {"256 reply records",
       {P::OutboundTunnelBuildReply{std::vector<Bytes>(256, Bytes(218))}},
       "OutboundTunnelBuildReply record count exceeds 255: 256"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto body = row.payload.encode_body();
    ASSERT_FALSE(body);
    EXPECT_TRUE(body.error().is(I2npError::Invalid));
    EXPECT_EQ(body.error().message(), row.message);
    EXPECT_FALSE(encode_standard_message(1, 1, row.payload));
    EXPECT_FALSE(encode_short_message(1, 1, row.payload));
  }

  // The largest counts still fit.
  EXPECT_TRUE(
      (I2npPayload{P::DatabaseSearchReply{hash_of(8), std::vector<common::Hash>(255), hash_of(12)}}.encode_body()));
  EXPECT_TRUE((I2npPayload{P::ShortTunnelBuild{std::vector<Bytes>(255, Bytes(218))}}.encode_body()));
  EXPECT_TRUE(
      (I2npPayload{P::DatabaseLookup{hash_of(3), hash_of(4), 0x12, std::nullopt, std::vector<common::Hash>(65535),
                                     Bytes(32), std::vector<Bytes>(255, Bytes(8))}}
           .encode_body()));
}

TEST(I2npMessage, StandardBodyLimit) {
  I2npPayload fits{P::Data{Bytes(65531)}};  // body 65535
  auto ok = encode_standard_message(1, 2, fits);
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->size(), 65535u + 16);
  encoding::Reader r(*ok);
  auto back = decode_standard_message(r);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->second, fits);

  I2npPayload too_big{P::Data{Bytes(65532)}};
  auto e = encode_standard_message(1, 2, too_big);
  ASSERT_FALSE(e);
  EXPECT_TRUE(e.error().is(I2npError::Invalid));
  EXPECT_EQ(e.error().message(), "I2NP message body exceeds 65535 bytes");
  // The short header has no such limit.
  auto s = encode_short_message(1, 2, too_big);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->size(), 65536u + 9);
}

TEST(I2npMessage, StandardDecodeErrors) {
  Bytes good = *encode_standard_message(7, 0, I2npPayload{P::DeliveryStatus{5, 1000}});

  Bytes bad_checksum = good;
  bad_checksum[15] ^= 0xFF;
  encoding::Reader r1(bad_checksum);
  auto e1 = decode_standard_message(r1);
  ASSERT_FALSE(e1);
  EXPECT_TRUE(e1.error().is(I2npError::ChecksumMismatch));
  EXPECT_EQ(e1.error().number(0), bad_checksum[15]);
  EXPECT_EQ(e1.error().number(1), good[15]);

  Bytes bad_body = good;
  bad_body[20] ^= 0x01;
  encoding::Reader r2(bad_body);
  auto e2 = decode_standard_message(r2);
  ASSERT_FALSE(e2);
  EXPECT_TRUE(e2.error().is(I2npError::ChecksumMismatch));

  Bytes long_size = good;
  long_size[14] = 13;  // one more than the body present
  encoding::Reader r3(long_size);
  auto e3 = decode_standard_message(r3);
  ASSERT_FALSE(e3);
  EXPECT_TRUE(e3.error().is(I2npError::Encoding));
  ASSERT_NE(e3.error().inner(), nullptr);
  EXPECT_TRUE(e3.error().inner()->is(EncodingError::Truncated));

  for (std::size_t len : {0u, 1u, 8u, 15u}) {
    encoding::Reader r(ByteView(good).first(len));
    auto e = decode_standard_message(r);
    ASSERT_FALSE(e);
    EXPECT_TRUE(e.error().is(I2npError::Encoding)) << len;
  }
}

TEST(I2npPayload, DecodeErrorsAndLenience) {
  // A hash cut short is a Common error wrapping the Hash decoder's Encoding error.
  Bytes short_key(20, 0x01);
  auto e1 = I2npPayload::decode_body(I2npMessageType::DatabaseStore, short_key);
  ASSERT_FALSE(e1);
  EXPECT_TRUE(e1.error().is(I2npError::Common));
  ASSERT_NE(e1.error().inner(), nullptr);
  EXPECT_TRUE(e1.error().inner()->is(CommonError::Encoding));

  Bytes search;
  put_hash(search, 8);
  search.push_back(3);
  put_hash(search, 9);
  auto e2 = I2npPayload::decode_body(I2npMessageType::DatabaseSearchReply, search);
  ASSERT_FALSE(e2);
  EXPECT_TRUE(e2.error().is(I2npError::Common));

  // A lookup cut inside its flags or tags is an Encoding error.
  Bytes lookup;
  put_hash(lookup, 3);
  put_hash(lookup, 4);
  auto e3 = I2npPayload::decode_body(I2npMessageType::DatabaseLookup, lookup);
  ASSERT_FALSE(e3);
  EXPECT_TRUE(e3.error().is(I2npError::Encoding));
  lookup.insert(lookup.end(), {0x12, 0x00, 0x00});
  lookup.insert(lookup.end(), 32, 0x01);
  lookup.push_back(2);
  lookup.insert(lookup.end(), 12, 0x02);  // 1.5 tags of 8 bytes
  auto e4 = I2npPayload::decode_body(I2npMessageType::DatabaseLookup, lookup);
  ASSERT_FALSE(e4);
  EXPECT_TRUE(e4.error().is(I2npError::Encoding));

  // TunnelData takes the first 1024 bytes after the tunnel id.
  Bytes td = {0, 0, 0, 9};
  Bytes data = pattern(1030, 1);
  td.insert(td.end(), data.begin(), data.end());
  auto t = I2npPayload::decode_body(I2npMessageType::TunnelData, td);
  ASSERT_TRUE(t);
  EXPECT_EQ(std::get<P::TunnelData>(t->value).data, Bytes(data.begin(), data.begin() + 1024));
  auto t_short = I2npPayload::decode_body(I2npMessageType::TunnelData, ByteView(td).first(4 + 1023));
  ASSERT_FALSE(t_short);
  EXPECT_TRUE(t_short.error().is(I2npError::Encoding));

  // ShortTunnelBuild: count 0 is empty, count 4 with 3 records fails.
  auto empty = I2npPayload::decode_body(I2npMessageType::ShortTunnelBuild, Bytes{0});
  ASSERT_TRUE(empty);
  EXPECT_TRUE(std::get<P::ShortTunnelBuild>(empty->value).records.empty());
  Bytes three = {4};
  three.resize(1 + 3 * 218, 0x33);
  auto e5 = I2npPayload::decode_body(I2npMessageType::ShortTunnelBuild, three);
  ASSERT_FALSE(e5);
  EXPECT_TRUE(e5.error().is(I2npError::Encoding));

  // Garlic, Data and TunnelGateway lengths past the body.
  for (I2npMessageType type : {I2npMessageType::Garlic, I2npMessageType::Data}) {
    auto e = I2npPayload::decode_body(type, Bytes{0, 0, 0, 5, 1, 2});
    ASSERT_FALSE(e);
    EXPECT_TRUE(e.error().is(I2npError::Encoding));
  }
  auto e6 = I2npPayload::decode_body(I2npMessageType::TunnelGateway, Bytes{0, 0, 0, 1, 0, 3, 1});
  ASSERT_FALSE(e6);
  EXPECT_TRUE(e6.error().is(I2npError::Encoding));
}

TEST(I2npMessage, ShortHeaderEdgeCases) {
  Bytes garlic_header_only = {11, 0, 0, 0, 1, 0, 0, 0, 2};
  encoding::Reader r1(garlic_header_only);
  auto e = decode_short_message(r1);
  ASSERT_FALSE(e);
  EXPECT_TRUE(e.error().is(I2npError::Encoding));

  Bytes unknown_header_only = {99, 0, 0, 0, 1, 0, 0, 0, 2};
  encoding::Reader r2(unknown_header_only);
  auto u = decode_short_message(r2);
  ASSERT_TRUE(u);
  const auto& unknown = std::get<P::Unknown>(u->second.value);
  EXPECT_EQ(unknown.msg_type.byte(), 99);
  EXPECT_TRUE(unknown.body.empty());
  EXPECT_EQ(encode_short_message(1, 2, u->second), unknown_header_only);

  encoding::Reader r3(ByteView(unknown_header_only).first(8));
  auto cut = decode_short_message(r3);
  ASSERT_FALSE(cut);
  EXPECT_TRUE(cut.error().is(I2npError::Encoding));
}

TEST(I2npMessage, EveryPrefixIsHandled) {
  for (const Case& c : every_message_kind()) {
    SCOPED_TRACE(c.name);
    Bytes standard = *encode_standard_message(1, 2, c.payload);
    Bytes short_form = *encode_short_message(1, 2, c.payload);
    for (std::size_t len = 0; len < standard.size(); ++len) {
      encoding::Reader r(ByteView(standard).first(len));
      EXPECT_FALSE(decode_standard_message(r)) << len;
    }
    // A short message's body runs to the end, so a cut one may still decode as
    // something shorter; it must simply not go wrong.
    for (std::size_t len = 0; len < short_form.size(); ++len) {
      encoding::Reader r(ByteView(short_form).first(len));
      auto m = decode_short_message(r);
      if (len < 9) {
        EXPECT_FALSE(m) << len;
      }
    }
  }
}
