// Streaming packets and a repliable datagram from fixed keys, compared byte for byte with
// tests/streaming/streaming_kat.py, an independent model on python3's 'cryptography'
// package: the SYN, SYN-ACK, data, CLOSE and ACK that two stream managers exchange, a
// CLOSE under an offline signature, and a datagram. Our decoder and verifier take the
// model's bytes and refuse every one of them with any byte changed.
#include <gtest/gtest.h>

#include <functional>

#include "crypto/ed25519.h"
#include "encoding/i2cp_gzip.h"
#include "encoding/reader.h"
#include "encoding/text.h"
#include "streaming/datagram.h"
#include "streaming/manager.h"
#include "streaming/packet.h"

namespace streaming {
namespace {

#include "tests/streaming/kat_vectors.inc"

constexpr std::uint32_t kAliceId = 0x11223344, kBobId = 0x55667788;
constexpr std::uint64_t kNowMs = 5000;

Bytes hex(std::string_view h) { return *encoding::hex_decode(h); }

Bytes seed_of(std::uint8_t start) {
  Bytes out(32);
  for (std::size_t i = 0; i < 32; ++i) out[i] = static_cast<std::uint8_t>(start + i);
  return out;
}

crypto::Ed25519SigningKey key_of(std::uint8_t start) { return *crypto::ed25519_signing_key(seed_of(start)); }

common::Destination destination_of(std::string_view h) {
  const Bytes bytes = hex(h);
  encoding::Reader r(bytes);
  return *common::Destination::decode(r);
}

// The packet inside an envelope, with the envelope checked: protocol 6, ports 0.
Bytes packet_in(const Bytes& envelope) {
  auto opened = encoding::i2cp_gzip_unwrap(envelope);
  EXPECT_TRUE(opened);
  if (!opened) return {};
  EXPECT_EQ(opened->header, (encoding::I2cpGzipHeader{0, 0, kProtocolStreaming}));
  return opened->payload;
}

struct Exchange {
  common::Destination alice_dest = destination_of(kAliceDestination);
  common::Destination bob_dest = destination_of(kBobDestination);
  StreamManager alice = StreamManager::create(alice_dest, key_of(0x01), kAliceId);
  StreamManager bob = StreamManager::create(bob_dest, key_of(0x21), kBobId);
  ConnectionPtr a, b;
  Bytes syn, syn_ack, data, close, ack;

  // The two managers talk: SYN, SYN-ACK (and alice's ACK), data, CLOSE, bob's ACKs.
  Exchange() {
    auto opened = alice.connect(bob_dest.keys_and_cert.hash(), kNowMs, 0, 0);
    EXPECT_TRUE(opened);
    a = *opened;
    syn = a->outbox.back();
    auto accepted = bob.handle_incoming_i2cp(syn, kNowMs);
    EXPECT_TRUE(accepted && *accepted);
    b = *accepted;
    syn_ack = b->outbox.back();
    EXPECT_TRUE(alice.handle_incoming_i2cp(syn_ack, kNowMs));
    EXPECT_TRUE(a->write(hex(kDataPayload), kNowMs));
    data = a->outbox.back();
    EXPECT_TRUE(a->close(kNowMs));
    close = a->outbox.back();
    EXPECT_TRUE(bob.handle_incoming_i2cp(data, kNowMs));
    EXPECT_TRUE(bob.handle_incoming_i2cp(close, kNowMs));
    ack = b->outbox.back();
  }
};

TEST(StreamingKat, TwoManagersSendTheModelsBytes) {
  Exchange x;
  ASSERT_TRUE(x.a && x.b);
  EXPECT_EQ(encoding::hex_encode(packet_in(x.syn)), kSyn);
  EXPECT_EQ(encoding::hex_encode(packet_in(x.syn_ack)), kSynAck);
  EXPECT_EQ(encoding::hex_encode(packet_in(x.data)), kData);
  EXPECT_EQ(encoding::hex_encode(packet_in(x.close)), kClose);
  EXPECT_EQ(encoding::hex_encode(packet_in(x.ack)), kAck);
  EXPECT_EQ(x.b->read_available(), hex(kDataPayload));
  EXPECT_TRUE(x.b->peer_closed);
}

TEST(StreamingKat, EncoderWritesTheModelsAckWithNacksAndOfflineSignedClose) {
  StreamingPacket ack;
  ack.send_stream_id = kAliceId;
  ack.receive_stream_id = kBobId;
  ack.ack_through = 5;
  ack.nacks = {2, 4};
  EXPECT_EQ(encoding::hex_encode(*encode_with_opt_zero_sig(ack, 0)), kAckNacks);

  const common::Destination alice = destination_of(kAliceDestination);
  const Bytes transient_seed = seed_of(0x61);
  common::OfflineSignature block;
  block.expires = 1700000000;
  block.transient_type = common::SigningPublicKeyType::EdDsaSha512Ed25519;
  const auto transient_public = *crypto::ed25519_public_key(transient_seed);
  block.transient_key.assign(transient_public.begin(), transient_public.end());
  const auto block_signature = *crypto::ed25519_sign(seed_of(0x01), block.unsigned_bytes());
  block.signature.assign(block_signature.begin(), block_signature.end());

  StreamingPacket close;
  close.send_stream_id = kBobId;
  close.receive_stream_id = kAliceId;
  close.seq = 3;
  close.flags = ::streaming::kClose | kFromIncluded | kOfflineSignature;
  close.from = alice;
  close.offline_signature = block;
  auto signed_close = close.sign_ed25519(key_of(0x61));
  ASSERT_TRUE(signed_close);
  EXPECT_EQ(encoding::hex_encode(*encode_with_opt_zero_sig(*signed_close, 0)), kOfflineClose);
  EXPECT_FALSE(close.signature);  // the input is left as it was
}

TEST(StreamingKat, DatagramWriterWritesTheModelsBytes) {
  const common::Destination alice = destination_of(kAliceDestination);
  auto written = write_repliable_datagram(alice, key_of(0x01), hex(kDatagramPayload));
  ASSERT_TRUE(written);
  EXPECT_EQ(encoding::hex_encode(*written), kDatagram);
}

// Each byte of the bytes changed in turn: accept(changed) must be false every time.
void expect_every_flip_refused(const Bytes& bytes, const std::function<bool(const Bytes&)>& accept, const char* name) {
  ASSERT_TRUE(accept(bytes)) << name;
  std::size_t accepted = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    Bytes changed = bytes;
    changed[i] ^= 0x01;
    if (accept(changed)) {
      ++accepted;
      ADD_FAILURE() << name << " accepted with byte " << i << " changed";
      if (accepted > 3) return;
    }
  }
}

TEST(StreamingKat, DecoderAndVerifierTakeTheModelsBytesAndRefuseEveryChangedByte) {
  const common::Destination alice = destination_of(kAliceDestination);
  const common::Destination bob = destination_of(kBobDestination);
  struct Case {
    const char* name;
    const char* bytes;
    const common::Destination* signer;  // null: unsigned
  };
  const Case cases[] = {
      {"SYN", kSyn, &alice},
      {"SYN-ACK", kSynAck, &bob},
      {"CLOSE", kClose, &alice},
      {"offline CLOSE", kOfflineClose, &alice},
      {"data", kData, nullptr},
      {"ACK", kAck, nullptr},
      {"ACK with NACKs", kAckNacks, nullptr},
  };
  for (const Case& c : cases) {
    const Bytes original = hex(c.bytes);
    auto decoded = StreamingPacket::decode(original);
    ASSERT_TRUE(decoded) << c.name;
    // Decoding and encoding again gives the same bytes.
    EXPECT_EQ(*encode_with_opt_zero_sig(*decoded, 0), original) << c.name;
    if (c.signer != nullptr) {
      // A signed packet verifies against its signer only.
      EXPECT_FALSE(decoded->verify_signature(c.signer == &alice ? bob : alice)) << c.name;
      expect_every_flip_refused(
          original,
          [&](const Bytes& b) {
            auto p = StreamingPacket::decode(b);
            return p && p->verify_signature(*c.signer);
          },
          c.name);
    } else {
      // An unsigned packet changed never reads as the original.
      expect_every_flip_refused(
          original,
          [&](const Bytes& b) {
            auto p = StreamingPacket::decode(b);
            return p && *p == *decoded;
          },
          c.name);
    }
  }
  auto data = StreamingPacket::decode(hex(kData));
  EXPECT_EQ(data->payload, hex(kDataPayload));
  auto syn = StreamingPacket::decode(hex(kSyn));
  EXPECT_EQ(syn->nacks, hash_to_nacks(bob.keys_and_cert.hash()));
  EXPECT_EQ(syn->max_packet_size, 1730);
  EXPECT_EQ(syn->from, alice);
}

TEST(StreamingKat, DatagramDecoderAndVerifierTakeTheModelsBytesAndRefuseEveryChangedByte) {
  const common::Destination alice = destination_of(kAliceDestination);
  const Bytes original = hex(kDatagram);
  auto decoded = RepliableDatagram::decode(original);
  ASSERT_TRUE(decoded);
  EXPECT_TRUE(decoded->verify());
  EXPECT_EQ(decoded->payload, hex(kDatagramPayload));
  EXPECT_EQ(decoded->signature.size(), 64u);
  // The signature covers the payload only: a changed filler byte of the sender's key area
  // still verifies, but as another sender.
  expect_every_flip_refused(
      original,
      [&](const Bytes& b) {
        auto d = RepliableDatagram::decode(b);
        return d && d->verify() && d->from == alice && d->payload == decoded->payload;
      },
      "datagram");
}

}  // namespace
}  // namespace streaming
