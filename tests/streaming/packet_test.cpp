// The packet codec's edges: lengths, option order, missing option values, NACK limits,
// signatures and the destination-hash NACK field; the datagram codec; the error texts.
#include <gtest/gtest.h>

#include "tests/streaming/stream_test_util.h"

namespace streaming::test {
namespace {

Bytes encode(const StreamingPacket& p) { return *encode_with_opt_zero_sig(p, 0); }

TEST(StreamingPacket, ShortestPacketAndTooShortInput) {
  auto empty = StreamingPacket::decode(Bytes(22, 0));
  ASSERT_TRUE(empty);
  EXPECT_EQ(*empty, StreamingPacket{});
  auto short_input = StreamingPacket::decode(Bytes(21, 0));
  ASSERT_FALSE(short_input);
  EXPECT_EQ(error_text(short_input.error()), "invalid length: StreamingPacket shorter than 22 bytes: 21");
  EXPECT_EQ(encode(StreamingPacket{}), Bytes(22, 0));
}

TEST(StreamingPacket, DecodingRefusals) {
  Bytes claims_nacks(22, 0);
  claims_nacks[16] = 2;  // two NACKs, one byte left for them
  Bytes options_beyond_end(22, 0);
  options_beyond_end[21] = 5;  // 5 option bytes, none there
  Bytes short_delay(24, 0);
  short_delay[19] = 0x40;  // DELAY_REQUESTED
  short_delay[21] = 1;     // one option byte
  Bytes bad_from(30, 0);
  bad_from[19] = 0x20;
  bad_from[21] = 8;
  struct Case {
    const char* name;
    Bytes bytes;
    std::string text;
  };
  const Case cases[] = {
      {"NACK count beyond the end", claims_nacks, "encoding error"},
      {"option size beyond the end", options_beyond_end, "encoding error"},
      {"delay cut short", short_delay, "encoding error"},
      {"FROM cut short", bad_from, "common decode error"},
  };
  for (const Case& c : cases) {
    auto r = StreamingPacket::decode(c.bytes);
    ASSERT_FALSE(r) << c.name;
    EXPECT_EQ(error_text(r.error()), c.text) << c.name;
  }
}

TEST(StreamingPacket, OptionsInTheirFixedOrderWhateverTheFlags) {
  const Identity alice = identity(0x11);
  StreamingPacket p;
  p.flags = kFromIncluded | kDelayRequested | kMaxPacketSizeIncluded;
  p.from = alice.destination;
  p.delay_requested = 0x0102;
  p.max_packet_size = 0x0304;
  p.payload = {9, 9};
  const Bytes bytes = encode(p);
  const std::size_t dest_size = alice.destination.keys_and_cert.to_bytes().size();
  ASSERT_EQ(bytes.size(), 22 + 2 + dest_size + 2 + 2);
  EXPECT_EQ(bytes[20] << 8 | bytes[21], static_cast<int>(2 + dest_size + 2));
  EXPECT_EQ(bytes[22], 0x01);  // the delay first
  EXPECT_EQ(bytes[23], 0x02);
  EXPECT_EQ(bytes[24 + dest_size], 0x03);  // then FROM, then the size
  EXPECT_EQ(*StreamingPacket::decode(bytes), p);
}

TEST(StreamingPacket, ExtraOptionBytesAreSkippedAndValuesWithoutFlagsNotWritten) {
  StreamingPacket p;
  p.flags = kMaxPacketSizeIncluded;
  p.max_packet_size = 1000;
  p.delay_requested = 5;  // no flag: not written
  p.payload = {1, 2, 3};
  Bytes bytes = encode(p);
  EXPECT_EQ(bytes.size(), 22u + 2 + 3);
  // Three option bytes more than the flags need: the payload still starts after them.
  bytes.insert(bytes.begin() + 24, {7, 7, 7});
  bytes[21] = 5;
  auto decoded = StreamingPacket::decode(bytes);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->payload, (Bytes{1, 2, 3}));
  EXPECT_EQ(decoded->max_packet_size, 1000);
  EXPECT_FALSE(decoded->delay_requested);
}

TEST(StreamingPacket, EncodingRefusals) {
  StreamingPacket nacks_255;
  nacks_255.nacks.assign(255, 7);
  StreamingPacket nacks_256;
  nacks_256.nacks.assign(256, 7);
  StreamingPacket two_missing;
  two_missing.flags = kFromIncluded | kDelayRequested;
  StreamingPacket no_signature;
  no_signature.flags = kSignatureIncluded;
  StreamingPacket no_size;
  no_size.flags = kMaxPacketSizeIncluded;
  StreamingPacket no_offline;
  no_offline.flags = kOfflineSignature;
  struct Case {
    const char* name;
    StreamingPacket packet;
    int signature_size;
    std::string text;
  };
  const Case cases[] = {
      {"255 NACKs", nacks_255, 0, ""},
      {"256 NACKs", nacks_256, 0, "invalid length: StreamingPacket nacks exceed 255"},
      {"FROM and delay missing", two_missing, 0, "invalid format: DELAY_REQUESTED flag set without delay_requested"},
      {"no signature", no_signature, 0, "invalid format: SIGNATURE_INCLUDED flag set without signature"},
      {"no signature, zeroed", no_signature, 64, ""},
      {"no size", no_size, 0, "invalid format: MAX_PACKET_SIZE_INCLUDED flag set without max_packet_size"},
      {"no offline block", no_offline, 0, "invalid format: OFFLINE_SIGNATURE flag set without offline_sig"},
  };
  for (const Case& c : cases) {
    auto r = encode_with_opt_zero_sig(c.packet, c.signature_size);
    EXPECT_EQ(r ? "" : error_text(r.error()), c.text) << c.name;
  }
  EXPECT_EQ(encode_with_opt_zero_sig(nacks_255, 0)->size(), 22u + 255 * 4);
}

TEST(StreamingPacket, SignatureWithoutFromIsSixtyFourBytes) {
  const Identity alice = identity(0x11);
  StreamingPacket p;
  p.flags = kClose;
  p.payload = {5};
  const StreamingPacket s = *p.sign_ed25519(alice.key);
  EXPECT_FALSE(p.has(kSignatureIncluded));
  EXPECT_FALSE(p.signature);
  auto decoded = StreamingPacket::decode(encode(s));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->signature->size(), 64u);
  EXPECT_EQ(decoded->payload, (Bytes{5}));
  EXPECT_TRUE(decoded->verify_signature(alice.destination));
  StreamingPacket changed = *decoded;
  changed.payload[0] ^= 1;
  EXPECT_FALSE(changed.verify_signature(alice.destination));
}

TEST(StreamingPacket, OnlyEd25519SendersVerify) {
  const Identity ed = identity(0x11);
  const Identity p256 = identity(0x11, common::SigningPublicKeyType::EcdsaSha256P256);
  Identity no_key_cert = identity(0x11);
  no_key_cert.destination.keys_and_cert.certificate = common::Certificate{};
  StreamingPacket p;
  p.flags = kClose;
  const StreamingPacket s = *p.sign_ed25519(ed.key);
  EXPECT_TRUE(s.verify_signature(ed.destination));
  EXPECT_FALSE(s.verify_signature(p256.destination));
  EXPECT_FALSE(s.verify_signature(no_key_cert.destination));
  EXPECT_FALSE(p.verify_signature(ed.destination));  // unsigned
}

TEST(StreamingPacket, HashToNacksIsBigEndianInOrder) {
  common::Hash h;
  for (std::size_t i = 0; i < 32; ++i) h.bytes[i] = static_cast<std::uint8_t>(i + 1);
  const std::vector<std::uint32_t> nacks = hash_to_nacks(h);
  ASSERT_EQ(nacks.size(), 8u);
  EXPECT_EQ(nacks[0], 0x01020304u);
  EXPECT_EQ(nacks[7], 0x1D1E1F20u);
  EXPECT_EQ(slice_bytes(Bytes{1, 2, 3, 4}, 1, 2), (Bytes{2, 3}));
}

TEST(RepliableDatagram, SendersOfOtherTypesDecodeButNeverVerify) {
  const Identity ed = identity(0x11);
  Identity no_key_cert = identity(0x11);
  no_key_cert.destination.keys_and_cert.certificate = common::Certificate{};
  // Written by hand: our writer refuses such a sender.
  Bytes bytes = no_key_cert.destination.keys_and_cert.to_bytes();
  bytes.insert(bytes.end(), 40, 0xAB);
  bytes.push_back(0x42);
  auto decoded = RepliableDatagram::decode(bytes);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->signature.size(), 40u);
  EXPECT_EQ(decoded->payload, (Bytes{0x42}));
  EXPECT_FALSE(decoded->verify());
  auto refused = write_repliable_datagram(no_key_cert.destination, no_key_cert.key, Bytes{1});
  ASSERT_FALSE(refused);
  EXPECT_EQ(error_text(refused.error()),
            "invalid format: RepliableDatagram sender signing type must be EdDsaSha512Ed25519");
  auto empty_payload = RepliableDatagram::decode(*write_repliable_datagram(ed.destination, ed.key, {}));
  ASSERT_TRUE(empty_payload);
  EXPECT_TRUE(empty_payload->payload.empty());
  EXPECT_TRUE(empty_payload->verify());
  Bytes cut = *write_repliable_datagram(ed.destination, ed.key, {});
  cut.pop_back();
  EXPECT_EQ(error_text(RepliableDatagram::decode(cut).error()), "encoding error");
  Bytes unknown_type = ed.destination.keys_and_cert.to_bytes();
  unknown_type[384 + 3 + 1] = 9;  // signing type code 9 has no signature length
  EXPECT_EQ(error_text(RepliableDatagram::decode(unknown_type).error()),
            "invalid format: unsupported RepliableDatagram signing type");
}

TEST(StreamingError, DisplayTexts) {
  const struct {
    Error error;
    std::string text;
  } cases[] = {
      {Error(StreamingError::Protocol, "x"), "protocol error: x"},
      {Error(StreamingError::InvalidSignature), "invalid signature"},
      {Error(StreamingError::InvalidLength, "y"), "invalid length: y"},
      {Error(StreamingError::InvalidFormat, "z"), "invalid format: z"},
      {Error(StreamingError::Crypto, Error(CryptoError::InvalidKey)), "crypto error"},
      {Error(StreamingError::Common, Error(CommonError::Invalid)), "common decode error"},
      {Error(StreamingError::Encoding, Error(EncodingError::Truncated)), "encoding error"},
  };
  for (const auto& c : cases) EXPECT_EQ(error_text(c.error), c.text);
  EXPECT_EQ(to_string(Error(StreamingError::InvalidSignature)), "StreamingError::InvalidSignature");
}

}  // namespace
}  // namespace streaming::test
