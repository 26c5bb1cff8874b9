// Router garlic and ECIES lookup replies against outside references: the Noise_N transcript
// of an independent Noise implementation (tests/data/noise-vectors.txt) and the messages of
// tests/ratchet/garlic_kat.py, a model on python3's 'cryptography' package.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "crypto/sha256.h"
#include "noise/key_pair.h"
#include "ratchet/clove.h"
#include "ratchet/lookup_reply.h"
#include "ratchet/router_garlic.h"
#include "tests/ratchet/test_util.h"

namespace ratchet {
namespace {

#include "tests/ratchet/garlic_kat_vectors.inc"

using test::fails_with;
using test::fixed;
using test::hex;
using test::to_hex;

noise::KeyPair key(std::uint8_t start) { return *noise::KeyPair::from_private(fixed(start, 32)); }
common::Hash hash_of(std::string_view s) { return common::Hash{crypto::sha256(as_bytes(s))}; }

constexpr std::uint32_t kExp = 1700000060;

RatchetBlock clove(CloveDelivery d, std::uint32_t id, i2np::I2npPayload p) {
  return *garlic_clove_block(std::move(d), id, kExp, p);
}

// The blocks the model put into kRouterGarlicPayload, built with our own codecs.
RatchetBlocks model_blocks() {
  using P = i2np::I2npPayload;
  const Bytes inner = fixed(0xa0, 20);
  return {
      RatchetBlock::DateTime{1700000000},
      clove(CloveDelivery::Local{}, 0x11111111, P{P::DeliveryStatus{0x01020304, 1700000000123ull}}),
      clove(CloveDelivery::Destination{hash_of("destination")}, 0x22222222, P{P::Data{to_bytes("hello destination")}}),
      clove(CloveDelivery::Router{hash_of("router")}, 0x33333333,
            P{P::DatabaseStore{hash_of("stored key"), 3, 0, 0, std::nullopt, to_bytes("stand-in LeaseSet2")}}),
      clove(CloveDelivery::Tunnel{hash_of("gateway"), 0x0a0b0c0d}, 0x44444444, P{P::Garlic{inner}}),
  };
}

TEST(RouterGarlic, NoiseNTranscriptOfAnIndependentImplementation) {
  bool seen = false;
  for (const auto& r : test::noise_records()) {
    if (r.at("handshake") != "Noise_N_25519_ChaChaPoly_SHA256") continue;
    seen = true;
    ASSERT_TRUE(r.at("msg_0_payload").empty());
    const noise::KeyPair responder = *noise::KeyPair::from_private(hex(r.at("resp_static")));
    const noise::KeyPair ephemeral = *noise::KeyPair::from_private(hex(r.at("gen_init_ephemeral")));
    auto sealed = encrypt_router_garlic(responder.public_key, ephemeral, {});
    ASSERT_TRUE(sealed);
    EXPECT_EQ(sealed->size(), 48u);
    EXPECT_EQ(to_hex(*sealed), r.at("msg_0_ciphertext"));

    auto opened = decrypt_router_garlic(responder, hex(r.at("msg_0_ciphertext")));
    ASSERT_TRUE(opened);
    EXPECT_TRUE(opened->empty());
  }
  EXPECT_TRUE(seen);
}

TEST(RouterGarlic, MatchesTheIndependentModel) {
  const noise::KeyPair router = key(0x30);
  const RatchetBlocks blocks = model_blocks();
  EXPECT_EQ(to_hex(*encode_blocks(blocks)), kRouterGarlicPayload);

  auto sealed = encrypt_router_garlic(router.public_key, key(0x50), blocks);
  ASSERT_TRUE(sealed);
  EXPECT_EQ(to_hex(*sealed), kRouterGarlic);

  auto opened = decrypt_router_garlic(router, hex(kRouterGarlic));
  ASSERT_TRUE(opened);
  EXPECT_EQ(*opened, blocks);
  const auto* store = (*opened)[3].get_if<RatchetBlock::GarlicClove>();
  ASSERT_NE(store, nullptr);
  auto msg = decode_garlic_clove_i2np(store->message);
  ASSERT_TRUE(msg);
  EXPECT_EQ(msg->first.msg_id, 0x33333333u);
  EXPECT_EQ(std::get<i2np::I2npPayload::DatabaseStore>(msg->second.value).key, hash_of("stored key"));
}

TEST(RouterGarlic, OpensWhatOnlyAForeignSenderWrites) {
  auto opened = decrypt_router_garlic(key(0x30), hex(kForeignGarlic));
  ASSERT_TRUE(opened);
  ASSERT_EQ(opened->size(), 3u);
  const auto* c = (*opened)[0].get_if<RatchetBlock::GarlicClove>();
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->delivery, (CloveDelivery{CloveDelivery::Tunnel{hash_of("gateway"), 7}}));
  EXPECT_EQ(c->message, std::get<RatchetBlock::GarlicClove>(model_blocks()[1].value).message);
  EXPECT_EQ((*opened)[1], (RatchetBlock{RatchetBlock::Unknown{1, to_bytes("one")}}));
  EXPECT_EQ((*opened)[2], (RatchetBlock{RatchetBlock::Unknown{255, {}}}));
  // Re-encoded, the unknown blocks come back byte for byte.
  EXPECT_EQ(to_hex(*encode_blocks({(*opened)[1], (*opened)[2]})),
            std::string(kForeignPayload).substr(std::string(kForeignPayload).size() - 2 * 9));
}

TEST(RouterGarlic, LengthAndKeyRefusals) {
  const noise::KeyPair router = key(0x30);
  const Bytes garlic = hex(kRouterGarlic);
  EXPECT_TRUE(fails_with(decrypt_router_garlic(router, ByteView(garlic).first(47)), RatchetError::Malformed,
                         "Router Garlic shorter than 48 bytes"));
  EXPECT_TRUE(
      fails_with(decrypt_router_garlic(router, {}), RatchetError::Malformed, "Router Garlic shorter than 48 bytes"));
  EXPECT_TRUE(fails_with(encrypt_router_garlic(Bytes(31), key(0x50), {}), RatchetError::Malformed,
                         "remote_static_pub must be 32 bytes"));
  EXPECT_TRUE(fails_with(encrypt_router_garlic(Bytes(33), key(0x50), {}), RatchetError::Malformed,
                         "remote_static_pub must be 32 bytes"));
  EXPECT_TRUE(fails_with(encrypt_router_garlic(router.public_key, key(0x50), {RatchetBlock::Padding{Bytes(65536)}}),
                         RatchetError::Malformed, "Padding block exceeds 65535 bytes"));
  // Another router's key does not open it.
  EXPECT_TRUE(fails_with(decrypt_router_garlic(key(0x31), garlic), RatchetError::DecryptFailed));
}

TEST(RouterGarlic, AnAuthenticPayloadWithBadBlocksGivesTheBlockError) {
  const noise::KeyPair router = key(0x30);
  // An Unknown block under type 0 is a DateTime of 3 bytes to the decoder.
  auto sealed = encrypt_router_garlic(router.public_key, key(0x50), {RatchetBlock::Unknown{0, {1, 2, 3}}});
  ASSERT_TRUE(sealed);
  EXPECT_TRUE(fails_with(decrypt_router_garlic(router, *sealed), RatchetError::Malformed,
                         "DateTime block must be 4 bytes, got 3"));
}

TEST(RouterGarlic, EveryFlippedBitFailsAsDecryptFailed) {
  const noise::KeyPair router = key(0x30);
  // Every bit of the 48-byte message, and one bit in every byte of the model's message.
  for (const auto& r : test::noise_records()) {
    if (r.at("handshake") != "Noise_N_25519_ChaChaPoly_SHA256") continue;
    const noise::KeyPair responder = *noise::KeyPair::from_private(hex(r.at("resp_static")));
    const Bytes msg = hex(r.at("msg_0_ciphertext"));
    for (std::size_t bit = 0; bit < msg.size() * 8; ++bit) {
      Bytes bad = msg;
      bad[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
      EXPECT_TRUE(fails_with(decrypt_router_garlic(responder, bad), RatchetError::DecryptFailed)) << bit;
    }
  }
  const Bytes garlic = hex(kRouterGarlic);
  for (std::size_t i = 0; i < garlic.size(); ++i) {
    Bytes bad = garlic;
    bad[i] ^= static_cast<std::uint8_t>(1u << (i % 8));
    EXPECT_TRUE(fails_with(decrypt_router_garlic(router, bad), RatchetError::DecryptFailed)) << i;
  }
}

TEST(EciesLookupReply, MatchesTheIndependentModel) {
  using P = i2np::I2npPayload;
  const Bytes reply_key = fixed(0x90, 32), tag = fixed(0xb0, 8);
  const RatchetBlocks blocks = {clove(CloveDelivery::Local{}, 0x55555555,
                                      P{P::DatabaseStore{hash_of("looked-up key"), 3, 0, 0, std::nullopt,
                                                         to_bytes("stand-in LeaseSet2 of the answer")}})};
  EXPECT_EQ(to_hex(*encode_blocks(blocks)), kReplyPayload);
  auto sealed = encrypt_ecies_lookup_reply(reply_key, tag, blocks);
  ASSERT_TRUE(sealed);
  EXPECT_EQ(to_hex(*sealed), kLookupReply);
  auto opened = decrypt_ecies_lookup_reply(reply_key, tag, hex(kLookupReply));
  ASSERT_TRUE(opened);
  EXPECT_EQ(*opened, blocks);
}

TEST(EciesLookupReply, Refusals) {
  const Bytes reply_key = fixed(0x90, 32), tag = fixed(0xb0, 8);
  const Bytes reply = hex(kLookupReply);
  constexpr const char* kParams = "invalid ECIES lookup reply parameters or length";
  EXPECT_TRUE(fails_with(decrypt_ecies_lookup_reply(reply_key, tag, ByteView(reply).first(23)), RatchetError::Malformed,
                         kParams));
  EXPECT_TRUE(fails_with(decrypt_ecies_lookup_reply(Bytes(31), tag, reply), RatchetError::Malformed, kParams));
  EXPECT_TRUE(fails_with(decrypt_ecies_lookup_reply(reply_key, Bytes(32), reply), RatchetError::Malformed, kParams));
  constexpr const char* kSend = "ECIES lookup reply requires 32B key and 8B tag";
  EXPECT_TRUE(fails_with(encrypt_ecies_lookup_reply(Bytes(16), tag, {}), RatchetError::Malformed, kSend));
  EXPECT_TRUE(fails_with(encrypt_ecies_lookup_reply(reply_key, Bytes(7), {}), RatchetError::Malformed, kSend));

  // A 24-byte reply of an empty payload opens; with another tag in front it is refused, even
  // though the ciphertext after it is genuine.
  auto empty = encrypt_ecies_lookup_reply(reply_key, tag, {});
  ASSERT_TRUE(empty);
  ASSERT_EQ(empty->size(), 24u);
  ASSERT_TRUE(decrypt_ecies_lookup_reply(reply_key, tag, *empty));
  EXPECT_TRUE(fails_with(decrypt_ecies_lookup_reply(reply_key, fixed(0xb1, 8), *empty), RatchetError::DecryptFailed));

  for (std::size_t bit = 0; bit < reply.size() * 8; ++bit) {
    Bytes bad = reply;
    bad[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    EXPECT_TRUE(fails_with(decrypt_ecies_lookup_reply(reply_key, tag, bad), RatchetError::DecryptFailed)) << bit;
  }
}

}  // namespace
}  // namespace ratchet
