// The key schedule and the three session message kinds against tests/ratchet/ratchet_kat.py,
// an independent model on python3's 'cryptography' package with an Elligator2 map from
// RFC 9380, itself checked against the shared Noise and Elligator2 vectors. The ephemeral
// keys come from the random draws the model recorded, replayed here in order.
#include <gtest/gtest.h>

#include <string>

#include "noise/key_pair.h"
#include "ratchet/clove.h"
#include "ratchet/key_schedule.h"
#include "ratchet/session_manager.h"
#include "tests/ratchet/test_util.h"

namespace ratchet {
namespace {

#include "tests/ratchet/ratchet_kat_vectors.inc"

using test::fixed;
using test::hex;
using test::to_hex;

Key32 key32(const Bytes& b) {
  Key32 k;
  std::copy(b.begin(), b.end(), k.begin());
  return k;
}

void expect_tag_set(const TagSet& ts, const char* tag_chain, const char* constant, const char* key_chain) {
  EXPECT_EQ(to_hex(ts.tag_chain_key), tag_chain);
  EXPECT_EQ(to_hex(ts.tag_constant), constant);
  EXPECT_EQ(to_hex(ts.key_chain_key), key_chain);
  EXPECT_EQ(ts.next_index, 0u);
}

TEST(RatchetKeySchedule, DhInitializationAndEntriesMatchTheModel) {
  auto init = dh_initialize(fixed(0x01, 32), fixed(0x21, 32));
  ASSERT_TRUE(init);
  EXPECT_EQ(to_hex(init->next_root_key), kDhNextRoot);
  expect_tag_set(init->tag_set, kDhTagChain, kDhTagConstant, kDhKeyChain);

  TagSet ts = init->tag_set;
  std::vector<TagSetEntry> entries;
  for (int i = 0; i < 64; ++i) entries.push_back(ts.next_entry().value());
  const struct {
    std::uint32_t index;
    const char* tag;
    const char* key;
  } expected[] = {{0, kEntry0Tag, kEntry0Key}, {1, kEntry1Tag, kEntry1Key}, {63, kEntry63Tag, kEntry63Key}};
  for (const auto& e : expected) {
    EXPECT_EQ(entries[e.index].index, e.index);
    EXPECT_EQ(to_hex(entries[e.index].tag), e.tag) << e.index;
    EXPECT_EQ(to_hex(entries[e.index].key), e.key) << e.index;
  }
  EXPECT_EQ(ts.next_index, 64u);
  EXPECT_EQ(to_hex(make_ecies_nonce(0)), "000000000000000000000000");
  EXPECT_EQ(to_hex(make_ecies_nonce(1)), "000000000100000000000000");
  EXPECT_EQ(to_hex(make_ecies_nonce(0xfffffffe)), "00000000feffffff00000000");
}

TEST(RatchetKeySchedule, ReplyTagSetAndSplitMatchTheModel) {
  auto reply = reply_tag_set(key32(fixed(0x41, 32)));
  ASSERT_TRUE(reply);
  expect_tag_set(*reply, kReplyTagChain, kReplyTagConstant, kReplyKeyChain);

  auto split = split_keys(key32(fixed(0x61, 32)));
  ASSERT_TRUE(split);
  EXPECT_EQ(to_hex(split->root_ab), kSplitRootAB);
  expect_tag_set(split->tag_set_ab, kSplitTagChainAB, kSplitTagConstantAB, kSplitKeyChainAB);
  EXPECT_EQ(to_hex(split->root_ba), kSplitRootBA);
  expect_tag_set(split->tag_set_ba, kSplitTagChainBA, kSplitTagConstantBA, kSplitKeyChainBA);
  EXPECT_EQ(to_hex(split->reply_payload_key), kSplitPayloadKey);
}

RatchetBlock data_clove(std::uint32_t id, std::string_view text) {
  return *garlic_clove_block(CloveDelivery::Local{}, id, 1700000600,
                             i2np::I2npPayload{i2np::I2npPayload::Data{to_bytes(text)}});
}

TEST(RatchetSessionsKat, TwoManagersReproduceTheModelByteForByte) {
  const noise::KeyPair a_static = *noise::KeyPair::from_private(fixed(0x10, 32));
  const noise::KeyPair b_static = *noise::KeyPair::from_private(fixed(0x30, 32));
  RatchetSessionManager a = RatchetSessionManager::create(a_static);
  RatchetSessionManager b = RatchetSessionManager::create(b_static);
  auto draws_a = test::script(kDrawsA);
  auto draws_b = test::script(kDrawsB);
  auto no_draws = test::ScriptedRandom{};

  // NewSession: a DateTime block of now is put in front of the caller's clove.
  const RatchetBlocks ns_blocks = {data_clove(1, "hello from A")};
  auto ns = a.encrypt_to_peer(b_static.public_key, ns_blocks, kT1, draws_a.source());
  ASSERT_TRUE(ns);
  EXPECT_EQ(to_hex(*ns), kNewSession);
  EXPECT_EQ(draws_a.taken, draws_a.values.size());
  ASSERT_EQ(a.outbound_pending.size(), 6u);
  for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(to_hex(a.outbound_pending[i].tag), kReplyTags[i]) << i;

  auto opened_ns = b.decrypt_incoming(hex(kNewSession), kT1);
  ASSERT_TRUE(opened_ns);
  ASSERT_TRUE(opened_ns->peer_key);
  EXPECT_EQ(*opened_ns->peer_key, a_static.public_key);
  EXPECT_EQ(to_hex(*encode_blocks(opened_ns->blocks)), kNewSessionPayload);
  EXPECT_EQ(b.inbound_pending.size(), 1u);

  // NewSessionReply on B's side, then A opens the model's bytes.
  const RatchetBlocks nsr_blocks = {data_clove(2, "reply from B")};
  auto nsr = b.encrypt_to_peer(a_static.public_key, nsr_blocks, kT2, draws_b.source());
  ASSERT_TRUE(nsr);
  EXPECT_EQ(to_hex(*nsr), kNewSessionReply);
  EXPECT_EQ(draws_b.taken, draws_b.values.size());
  EXPECT_TRUE(b.inbound_pending.empty());
  ASSERT_EQ(b.sessions.size(), 1u);

  auto opened_nsr = a.decrypt_incoming(hex(kNewSessionReply), kT2);
  ASSERT_TRUE(opened_nsr);
  EXPECT_EQ(opened_nsr->peer_key, std::optional<Key32>(b_static.public_key));
  EXPECT_EQ(to_hex(*encode_blocks(opened_nsr->blocks)), kReplyPayload);
  ASSERT_EQ(a.sessions.size(), 1u);

  // The first ExistingSession each way; no random draws are taken.
  auto es_ab = a.encrypt_to_peer(b_static.public_key, {data_clove(3, "first existing A to B")}, kT3, no_draws.source());
  ASSERT_TRUE(es_ab);
  EXPECT_EQ(to_hex(*es_ab), kExistingAB);
  auto opened_ab = b.decrypt_incoming(hex(kExistingAB), kT3);
  ASSERT_TRUE(opened_ab);
  EXPECT_EQ(to_hex(*encode_blocks(opened_ab->blocks)), kExistingABPayload);

  auto es_ba =
      b.encrypt_to_peer(a_static.public_key, {data_clove(4, "first existing B to A"), RatchetBlock::Padding{Bytes(3)}},
                        kT4, no_draws.source());
  ASSERT_TRUE(es_ba);
  EXPECT_EQ(to_hex(*es_ba), kExistingBA);
  auto opened_ba = a.decrypt_incoming(hex(kExistingBA), kT4);
  ASSERT_TRUE(opened_ba);
  EXPECT_EQ(opened_ba->peer_key, std::optional<Key32>(b_static.public_key));
  EXPECT_EQ(to_hex(*encode_blocks(opened_ba->blocks)), kExistingBAPayload);
  EXPECT_EQ(no_draws.taken, 0u);
}

TEST(RatchetSessionsKat, OpensTheModelsUnboundNewSession) {
  const noise::KeyPair b_static = *noise::KeyPair::from_private(fixed(0x30, 32));
  RatchetSessionManager b = RatchetSessionManager::create(b_static);
  auto opened = b.decrypt_incoming(hex(kUnboundNewSession), kT1);
  ASSERT_TRUE(opened);
  EXPECT_FALSE(opened->peer_key.has_value());
  EXPECT_EQ(to_hex(*encode_blocks(opened->blocks)), kUnboundPayload);
  // Nothing is kept: no answer is owed to an unknown sender.
  EXPECT_TRUE(b.inbound_pending.empty());
  EXPECT_TRUE(b.sessions.empty());
}

}  // namespace
}  // namespace ratchet
