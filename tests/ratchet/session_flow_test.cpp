// Two destinations' managers talking: which kind each message is, what every reply and
// replay does to the lists, the receive window, and the refusals of stale or replayed
// handshakes.
#include <gtest/gtest.h>

#include "noise/key_pair.h"
#include "ratchet/bookkeeping.h"
#include "ratchet/session_manager.h"
#include "tests/ratchet/test_util.h"

namespace ratchet {
namespace {

using test::fails_with;
using test::fixed;

constexpr std::uint32_t kNow = 1700000000;
// With an empty block list: NewSession 96 + a 7-byte DateTime block, reply 72, existing 24.
constexpr std::size_t kNewSessionLen = 103;
constexpr std::size_t kReplyLen = 72;
constexpr std::size_t kExistingLen = 24;
constexpr const char* kShort = "NewSession shorter than 96 bytes";

noise::KeyPair key_pair(std::uint8_t seed) { return *noise::KeyPair::from_private(fixed(seed, 32)); }

struct Pair {
  noise::KeyPair a_key = key_pair(0x10);
  noise::KeyPair b_key = key_pair(0x30);
  RatchetSessionManager a = RatchetSessionManager::create(a_key);
  RatchetSessionManager b = RatchetSessionManager::create(b_key);
  RandomSource random_a = test::counting_random(1);
  RandomSource random_b = test::counting_random(2);

  Bytes a_to_b(const RatchetBlocks& blocks = {}, std::uint32_t now = kNow) {
    auto m = a.encrypt_to_peer(b_key.public_key, blocks, now, random_a);
    EXPECT_TRUE(m);
    return m.value_or(Bytes{});
  }
  Bytes b_to_a(const RatchetBlocks& blocks = {}, std::uint32_t now = kNow) {
    auto m = b.encrypt_to_peer(a_key.public_key, blocks, now, random_b);
    EXPECT_TRUE(m);
    return m.value_or(Bytes{});
  }
  // NewSession from A, opened by B; the reply from B, opened by A.
  void establish(std::uint32_t now = kNow) {
    const Bytes ns = a_to_b({}, now);
    ASSERT_EQ(ns.size(), kNewSessionLen);
    ASSERT_TRUE(b.decrypt_incoming(ns, now));
    const Bytes nsr = b_to_a({}, now);
    ASSERT_EQ(nsr.size(), kReplyLen);
    ASSERT_TRUE(a.decrypt_incoming(nsr, now));
  }
};

RatchetBlocks padding(std::size_t n) { return {RatchetBlock::Padding{Bytes(n, 0x5a)}}; }

TEST(RatchetFlow, FirstMessagesToANewPeerAreNewSessions) {
  Pair p;
  const Bytes first = p.a_to_b();
  EXPECT_EQ(first.size(), kNewSessionLen);
  EXPECT_EQ(p.a.outbound_pending.size(), 6u);
  const Bytes second = p.a_to_b(padding(10));
  EXPECT_EQ(second.size(), kNewSessionLen + 13);
  EXPECT_EQ(p.a.outbound_pending.size(), 12u);
  // A fresh ephemeral key: another representative.
  EXPECT_NE(Bytes(first.begin(), first.begin() + 32), Bytes(second.begin(), second.begin() + 32));

  auto opened = p.b.decrypt_incoming(first, kNow);
  ASSERT_TRUE(opened);
  EXPECT_EQ(opened->peer_key, std::optional<Key32>(p.a_key.public_key));
  EXPECT_EQ(opened->blocks, RatchetBlocks{RatchetBlock::DateTime{kNow}});
}

TEST(RatchetFlow, ACallersDateTimeIsNotDoubled) {
  Pair p;
  const RatchetBlocks blocks = {RatchetBlock::Padding{Bytes(2)}, RatchetBlock::DateTime{kNow - 5}};
  const Bytes ns = p.a_to_b(blocks);
  EXPECT_EQ(ns.size(), 96u + 5 + 7);
  auto opened = p.b.decrypt_incoming(ns, kNow);
  ASSERT_TRUE(opened);
  EXPECT_EQ(opened->blocks, blocks);
}

TEST(RatchetFlow, HandshakeThenExistingSessionsBothWays) {
  Pair p;
  const Bytes ns = p.a_to_b(padding(5));
  auto at_b = p.b.decrypt_incoming(ns, kNow);
  ASSERT_TRUE(at_b);
  const Bytes nsr = p.b_to_a(padding(6));
  EXPECT_EQ(nsr.size(), kReplyLen + 9);
  ASSERT_EQ(p.b.sessions.size(), 1u);
  EXPECT_TRUE(p.b.sessions[0].send_enabled && p.b.sessions[0].confirmed && !p.b.sessions[0].es_sent);

  auto at_a = p.a.decrypt_incoming(nsr, kNow);
  ASSERT_TRUE(at_a);
  EXPECT_EQ(at_a->peer_key, std::optional<Key32>(p.b_key.public_key));
  EXPECT_EQ(at_a->blocks, padding(6));
  ASSERT_EQ(p.a.sessions.size(), 1u);
  EXPECT_TRUE(p.a.sessions[0].send_enabled);
  EXPECT_FALSE(p.a.sessions[0].confirmed);

  for (int round = 0; round < 3; ++round) {
    const Bytes ab = p.a_to_b(padding(static_cast<std::size_t>(round)));
    EXPECT_EQ(ab.size(), kExistingLen + 3 + static_cast<std::size_t>(round));
    auto got_b = p.b.decrypt_incoming(ab, kNow);
    ASSERT_TRUE(got_b) << round;
    EXPECT_EQ(got_b->peer_key, std::optional<Key32>(p.a_key.public_key));
    const Bytes ba = p.b_to_a();
    EXPECT_EQ(ba.size(), kExistingLen);
    auto got_a = p.a.decrypt_incoming(ba, kNow);
    ASSERT_TRUE(got_a) << round;
    EXPECT_TRUE(got_a->blocks.empty());
  }
  EXPECT_TRUE(p.a.sessions[0].confirmed);
  EXPECT_EQ(p.a.sessions.size(), 1u);
  EXPECT_EQ(p.b.sessions.size(), 1u);
}

TEST(RatchetFlow, ExistingSessionOpensOnceAndSurvivesACorruptCopy) {
  Pair p;
  p.establish();
  const Bytes es = p.a_to_b();
  Bytes corrupt = es;
  corrupt.back() ^= 0x01;
  EXPECT_TRUE(fails_with(p.b.decrypt_incoming(corrupt, kNow), RatchetError::DecryptFailed));
  ASSERT_TRUE(p.b.decrypt_incoming(es, kNow));
  // Delivered again: no window holds its tag any more, nor does a reply tag; too short to be
  // a NewSession.
  EXPECT_TRUE(fails_with(p.b.decrypt_incoming(es, kNow), RatchetError::Malformed, kShort));
  EXPECT_TRUE(fails_with(p.b.decrypt_incoming(ByteView(es).first(23), kNow), RatchetError::Malformed, kShort));
}

// The two halves of decrypt_incoming: a tagged message (a reply, an ExistingSession) opens
// by its tag and never as a NewSession; a NewSession opens only as one; a corrupt tagged
// message is refused by the tag that matched; a message no tag matches gives none.
TEST(RatchetFlow, TaggedAndNewSessionHalves) {
  Pair p;
  const Bytes ns = p.a_to_b(padding(4));
  EXPECT_FALSE(p.b.decrypt_tagged(ns, kNow));
  auto at_b = p.b.decrypt_new_session(ns, kNow);
  ASSERT_TRUE(at_b);
  EXPECT_EQ(at_b->blocks, (RatchetBlocks{RatchetBlock::DateTime{kNow}, RatchetBlock::Padding{Bytes(4, 0x5a)}}));

  const Bytes nsr = p.b_to_a(padding(2));
  EXPECT_FALSE(p.a.decrypt_new_session(nsr, kNow));
  auto reply = p.a.decrypt_tagged(nsr, kNow);
  ASSERT_TRUE(reply && *reply);
  EXPECT_EQ((*reply)->peer_key, std::optional<Key32>(p.b_key.public_key));
  EXPECT_EQ((*reply)->blocks, padding(2));

  const Bytes es = p.a_to_b(padding(3));
  EXPECT_FALSE(p.b.decrypt_new_session(es, kNow));
  Bytes corrupt = es;
  corrupt.back() ^= 0x01;
  auto refused = p.b.decrypt_tagged(corrupt, kNow);
  ASSERT_TRUE(refused);
  EXPECT_TRUE(fails_with(*refused, RatchetError::DecryptFailed));
  auto existing = p.b.decrypt_tagged(es, kNow);
  ASSERT_TRUE(existing && *existing);
  EXPECT_EQ((*existing)->blocks, padding(3));
  // Spent: no tag matches it any more.
  EXPECT_FALSE(p.b.decrypt_tagged(es, kNow));
  EXPECT_FALSE(p.b.decrypt_tagged(ByteView(es).first(23), kNow));
}

TEST(RatchetFlow, TheReceiveWindow) {
  Pair p;
  p.establish();
  std::vector<Bytes> sent;
  for (int i = 0; i < 66; ++i) sent.push_back(p.a_to_b());

  const auto& window = p.b.sessions[0].recv_window;
  ASSERT_EQ(window.size(), 64u);
  for (std::uint32_t i = 0; i < 64; ++i) EXPECT_EQ(window[i].index, i);

  // Index 64 lies beyond the lowest unused entry's window: not recognised yet.
  EXPECT_TRUE(fails_with(p.b.decrypt_incoming(sent[64], kNow), RatchetError::Malformed, kShort));
  ASSERT_TRUE(p.b.decrypt_incoming(sent[5], kNow));
  std::vector<std::uint32_t> indexes;
  for (const auto& e : p.b.sessions[0].recv_window) indexes.push_back(e.index);
  std::vector<std::uint32_t> expected = {0, 1, 2, 3, 4};
  for (std::uint32_t i = 6; i <= 64; ++i) expected.push_back(i);
  EXPECT_EQ(indexes, expected);

  // Now 64 is inside; the rest arrive in reverse order and all open.
  for (int i = 64; i >= 0; --i) {
    if (i == 5) continue;
    EXPECT_TRUE(p.b.decrypt_incoming(sent[static_cast<std::size_t>(i)], kNow)) << i;
  }
  EXPECT_TRUE(p.b.decrypt_incoming(sent[65], kNow));
}

TEST(RatchetFlow, MessagesLostOneByOneNeverCloseTheWindow) {
  Pair p;
  p.establish();
  // Every third message is lost: 100 lost in all, more than the window is wide. Each one
  // that arrives opens; the lost ones' tags leave the window once far enough behind.
  for (int i = 0; i < 300; ++i) {
    const Bytes es = p.a_to_b();
    if (i % 3 == 2) continue;
    EXPECT_TRUE(p.b.decrypt_incoming(es, kNow)) << i;
  }
  const auto& window = p.b.sessions[0].recv_window;
  ASSERT_EQ(window.size(), 64u);
  // Nothing more than 64 behind the last one opened (299) is still expected.
  EXPECT_GE(window.front().index + 64, 299u);
}

TEST(RatchetFlow, TenThousandExistingSessionsOneWayAllOpen) {
  Pair p;
  p.establish();
  const RatchetBlocks with_next_key = {RatchetBlock::NextKey{0x01, 0, Bytes(32, 0x77)}, RatchetBlock::Padding{{}}};
  for (int i = 0; i < 10000; ++i) {
    // 250 a second: the one-way session stays inside its 45 s without an answer.
    const std::uint32_t now = kNow + static_cast<std::uint32_t>(i / 250);
    const Bytes es = p.a_to_b(i % 100 == 0 ? with_next_key : RatchetBlocks{}, now);
    ASSERT_EQ(es.size(), kExistingLen + (i % 100 == 0 ? 41u : 0u)) << i;
    auto opened = p.b.decrypt_incoming(es, now);
    ASSERT_TRUE(opened) << i;
  }
  // NextKey blocks changed nothing: one session each, the tag sets where 10,000 sends put them.
  ASSERT_EQ(p.a.sessions.size(), 1u);
  ASSERT_EQ(p.b.sessions.size(), 1u);
  EXPECT_EQ(p.a.sessions[0].send_tag_set.next_index, 10000u);
  EXPECT_EQ(p.b.sessions[0].recv_tag_set.next_index, 10064u);
}

TEST(RatchetFlow, AShortReplyFallsThroughToTheNewSessionError) {
  Pair p;
  ASSERT_TRUE(p.b.decrypt_incoming(p.a_to_b(), kNow));
  const Bytes nsr = p.b_to_a();
  EXPECT_TRUE(fails_with(p.a.decrypt_incoming(ByteView(nsr).first(60), kNow), RatchetError::Malformed, kShort));
  EXPECT_TRUE(p.a.sessions.empty());
  EXPECT_EQ(p.a.outbound_pending.size(), 6u);
  // The whole reply still opens.
  EXPECT_TRUE(p.a.decrypt_incoming(nsr, kNow));
}

TEST(RatchetFlow, StaleSendingMovesToTheWaitingReplyOrANewSession) {
  Pair p;
  p.establish();
  EXPECT_TRUE(p.b.has_active_session(p.a_key.public_key, kNow));
  // Without a waiting NewSession from A, B's next message after marking stale is a NewSession.
  p.b.mark_send_stale(p.a_key.public_key);
  EXPECT_FALSE(p.b.has_active_session(p.a_key.public_key, kNow));
  EXPECT_EQ(p.b_to_a().size(), kNewSessionLen);

  // A starts over too; B, stale again, answers A's NewSession.
  p.a.mark_send_stale(p.b_key.public_key);
  const Bytes ns = p.a_to_b();
  ASSERT_EQ(ns.size(), kNewSessionLen);
  ASSERT_TRUE(p.b.decrypt_incoming(ns, kNow));
  p.b.mark_send_stale(p.a_key.public_key);
  const Bytes nsr = p.b_to_a();
  EXPECT_EQ(nsr.size(), kReplyLen);
  EXPECT_TRUE(p.b.inbound_pending.empty());
  ASSERT_TRUE(p.a.decrypt_incoming(nsr, kNow));

  // A message on the old stale session makes it usable for sending again.
  p.b.mark_send_stale(p.a_key.public_key);
  p.a.sessions.front().send_enabled = true;  // A sends on its first session
  p.a.sessions.back().send_enabled = false;
  const Bytes es = p.a_to_b();
  ASSERT_EQ(es.size(), kExistingLen);
  ASSERT_TRUE(p.b.decrypt_incoming(es, kNow));
  EXPECT_TRUE(p.b.has_active_session(p.a_key.public_key, kNow));
}

// A peer may answer one NewSession more than once, each reply on the next reply tag.
struct TwoReplies {
  Pair p;
  Bytes first, second;
  TwoReplies() {
    EXPECT_TRUE(p.b.decrypt_incoming(p.a_to_b(), kNow));
    PendingNewSession again = p.b.inbound_pending.at(0);
    EXPECT_TRUE(again.reply_tag_set.next_entry());  // the first reply uses entry 0
    first = p.b_to_a();
    p.b.inbound_pending.push_back(again);
    p.b.mark_send_stale(p.a_key.public_key);  // else B would send on the session just made
    second = p.b_to_a();
    EXPECT_EQ(first.size(), kReplyLen);
    EXPECT_EQ(second.size(), kReplyLen);
    EXPECT_EQ(p.b.sessions.size(), 2u);
  }
};

TEST(RatchetFlow, TwoRepliesBothOpenAndTheLaterSends) {
  TwoReplies t;
  ASSERT_TRUE(t.p.a.decrypt_incoming(t.first, kNow));
  ASSERT_TRUE(t.p.a.decrypt_incoming(t.second, kNow));
  ASSERT_EQ(t.p.a.sessions.size(), 2u);
  EXPECT_TRUE(t.p.a.sessions[0].send_enabled && t.p.a.sessions[1].send_enabled);
  EXPECT_EQ(t.p.a.outbound_pending.size(), 4u);
  // The second (last) session sends: it is B's second session that opens the message.
  ASSERT_TRUE(t.p.b.decrypt_incoming(t.p.a_to_b(), kNow));
  EXPECT_EQ(t.p.a.sessions[1].send_tag_set.next_index, 1u);
  EXPECT_EQ(t.p.b.sessions.back().recv_tag_set.next_index, 65u);
}

TEST(RatchetFlow, ALateSecondReplyDoesNotTakeOverSending) {
  TwoReplies t;
  ASSERT_TRUE(t.p.a.decrypt_incoming(t.first, kNow));
  ASSERT_TRUE(t.p.b.decrypt_incoming(t.p.a_to_b(), kNow));  // an ExistingSession on the first
  ASSERT_TRUE(t.p.a.decrypt_incoming(t.second, kNow));
  ASSERT_EQ(t.p.a.sessions.size(), 2u);
  EXPECT_FALSE(t.p.a.sessions[1].send_enabled);
  t.p.a_to_b();
  EXPECT_EQ(t.p.a.sessions[0].send_tag_set.next_index, 2u);
}

TEST(RatchetReplay, EachKindOpensOnce) {
  Pair p;
  const Bytes ns = p.a_to_b(padding(100));
  ASSERT_TRUE(p.b.decrypt_incoming(ns, kNow));
  // The NewSession again: refused before any X25519, no second pending record.
  EXPECT_TRUE(fails_with(p.b.decrypt_incoming(ns, kNow + 10), RatchetError::Malformed, "NewSession replayed"));
  EXPECT_EQ(p.b.inbound_pending.size(), 1u);

  const Bytes nsr = p.b_to_a(padding(100));
  ASSERT_TRUE(p.a.decrypt_incoming(nsr, kNow));
  EXPECT_EQ(p.a.outbound_pending.size(), 5u);
  // The reply again: its tag is gone, so it is tried as a NewSession and fails there.
  EXPECT_FALSE(p.a.decrypt_incoming(nsr, kNow));
  EXPECT_EQ(p.a.sessions.size(), 1u);
  EXPECT_EQ(p.a.outbound_pending.size(), 5u);

  // After B answered, the NewSession still does not come back as a new pending record.
  EXPECT_TRUE(fails_with(p.b.decrypt_incoming(ns, kNow + 400), RatchetError::Malformed, "NewSession replayed"));
  EXPECT_TRUE(p.b.inbound_pending.empty());

  const Bytes es = p.a_to_b();
  ASSERT_TRUE(p.b.decrypt_incoming(es, kNow));
  EXPECT_FALSE(p.b.decrypt_incoming(es, kNow));
  EXPECT_EQ(p.b.sessions.size(), 1u);

  // Once the replay list forgot the key (after 420 s), the DateTime refuses it.
  EXPECT_TRUE(
      fails_with(p.b.decrypt_incoming(ns, kNow + 421), RatchetError::Malformed, "NewSession DateTime out of range"));
}

TEST(RatchetReplay, NewSessionDateTimeWindow) {
  const struct {
    std::int64_t offset;
    bool accepted;
  } cases[] = {{-301, false}, {-300, true}, {0, true}, {120, true}, {121, false}};
  for (const auto& c : cases) {
    Pair p;
    const auto seconds = static_cast<std::uint32_t>(std::int64_t{kNow} + c.offset);
    const Bytes ns = p.a_to_b({RatchetBlock::DateTime{seconds}});
    auto opened = p.b.decrypt_incoming(ns, kNow);
    if (c.accepted) {
      EXPECT_TRUE(opened) << c.offset;
      EXPECT_EQ(p.b.inbound_pending.size(), 1u);
    } else {
      EXPECT_TRUE(fails_with(opened, RatchetError::Malformed, "NewSession DateTime out of range")) << c.offset;
      EXPECT_TRUE(p.b.inbound_pending.empty());
    }
  }
  // With time unknown neither the DateTime nor the replay list is consulted.
  Pair p;
  const Bytes ns = p.a_to_b({RatchetBlock::DateTime{5}}, 0);
  EXPECT_TRUE(p.b.decrypt_incoming(ns, 0));
  EXPECT_TRUE(p.b.decrypt_incoming(ns, 0));
}

TEST(RatchetReplay, TheReplayListIsBounded) {
  RatchetSessionManager m = RatchetSessionManager::create(key_pair(0x30));
  for (std::uint32_t i = 0; i < 5000; ++i) {
    Key32 k{};
    k[0] = static_cast<std::uint8_t>(i);
    k[1] = static_cast<std::uint8_t>(i >> 8);
    bookkeeping::remember_new_session(m, k, kNow);
  }
  EXPECT_EQ(m.recent_new_sessions.size(), kMaxRecentNewSessions);
  Key32 oldest{};
  EXPECT_FALSE(bookkeeping::new_session_seen(m, oldest, kNow));
  Key32 newest{};
  newest[0] = static_cast<std::uint8_t>(4999);
  newest[1] = static_cast<std::uint8_t>(4999 >> 8);
  EXPECT_TRUE(bookkeeping::new_session_seen(m, newest, kNow + 420));
  EXPECT_FALSE(bookkeeping::new_session_seen(m, newest, kNow + 421));
  EXPECT_TRUE(m.recent_new_sessions.empty());
}

TEST(RatchetPending, ReplyTagsAgeAndAreCapped) {
  Pair p;
  std::vector<SessionTag> first_tags;
  for (int i = 0; i < 5; ++i) {
    p.a_to_b({}, kNow + static_cast<std::uint32_t>(i));
    if (i == 0)
      for (const auto& e : p.a.outbound_pending) first_tags.push_back(e.tag);
  }
  // The fifth NewSession within 180 s leaves 24 tags: those of the first are gone.
  ASSERT_EQ(p.a.outbound_pending.size(), 24u);
  for (const auto& e : p.a.outbound_pending) EXPECT_TRUE(std::ranges::find(first_tags, e.tag) == first_tags.end());

  // Tags 180 s old stay, 181 s old go at the next NewSession (to anyone).
  Pair q;
  q.a_to_b({}, kNow);
  q.a.encrypt_to_peer(Bytes(32, 9), {}, kNow + 180, q.random_a).value();
  EXPECT_EQ(q.a.outbound_pending.size(), 12u);
  q.a.encrypt_to_peer(Bytes(32, 9), {}, kNow + 181, q.random_a).value();
  EXPECT_EQ(q.a.outbound_pending.size(), 12u);  // the first six out, six new in

  q.a.remove_outbound_pending(1);
  EXPECT_EQ(q.a.outbound_pending.size(), 11u);
}

TEST(RatchetPending, TheOldestReplyTagMakesRoomAt2048) {
  // Through the bookkeeping each NewSession runs: 342 NewSessions to distinct peers.
  RatchetSessionManager m = RatchetSessionManager::create(key_pair(0x10));
  std::array<SessionTag, kReplyTagsPerNewSession> tags{};
  for (std::uint32_t i = 0; i < 342; ++i) {
    auto rec = std::make_shared<PendingNewSession>();
    rec->peer_key[0] = static_cast<std::uint8_t>(i);
    rec->peer_key[1] = static_cast<std::uint8_t>(i >> 8);
    for (std::size_t t = 0; t < tags.size(); ++t) {
      tags[t][0] = static_cast<std::uint8_t>(i);
      tags[t][1] = static_cast<std::uint8_t>(i >> 8);
      tags[t][2] = static_cast<std::uint8_t>(t);
    }
    bookkeeping::add_outbound_pending(m, tags, rec, kNow);
  }
  // 342 x 6 = 2,052 tags: the first four went, the fifth of the first NewSession is the oldest.
  ASSERT_EQ(m.outbound_pending.size(), 2048u);
  EXPECT_EQ(m.outbound_pending.front().tag, (SessionTag{0, 0, 4, 0, 0, 0, 0, 0}));
  EXPECT_EQ(m.outbound_pending.back().tag, (SessionTag{341 & 0xff, 1, 5, 0, 0, 0, 0, 0}));
}

TEST(RatchetPending, UnansweredNewSessionsOnePerPeerAtMost256) {
  Pair p;
  ASSERT_TRUE(p.b.decrypt_incoming(p.a_to_b(padding(1)), kNow));
  ASSERT_TRUE(p.b.decrypt_incoming(p.a_to_b(padding(2)), kNow));
  ASSERT_EQ(p.b.inbound_pending.size(), 1u);  // the second replaced the first
  // B's reply answers the second: A opens it with the second NewSession's tags.
  const Bytes nsr = p.b_to_a();
  ASSERT_TRUE(p.a.decrypt_incoming(nsr, kNow));
  EXPECT_EQ(p.a.outbound_pending.size(), 11u);
  EXPECT_EQ(p.a.outbound_pending[5].pending, p.a.outbound_pending[0].pending);  // the first's six stay

  // The bound on distinct peers, through the bookkeeping the NewSession stage calls.
  RatchetSessionManager b = RatchetSessionManager::create(key_pair(0x30));
  for (std::uint32_t i = 0; i < 257; ++i) {
    PendingNewSession rec;
    rec.peer_key[0] = static_cast<std::uint8_t>(i);
    rec.peer_key[1] = static_cast<std::uint8_t>(i >> 8);
    bookkeeping::add_inbound_pending(b, rec);
  }
  ASSERT_EQ(b.inbound_pending.size(), 256u);
  EXPECT_EQ(b.inbound_pending.front().peer_key[0], 1);
  EXPECT_EQ(b.inbound_pending.back().peer_key[1], 1);
}

TEST(RatchetFailures, WhatAFailedSendLeaves) {
  const RatchetBlocks too_big = {RatchetBlock::Padding{Bytes(65536)}};
  {
    // NewSession: nothing recorded.
    Pair p;
    EXPECT_TRUE(fails_with(p.a.encrypt_to_peer(p.b_key.public_key, too_big, kNow, p.random_a), RatchetError::Malformed,
                           "Padding block exceeds 65535 bytes"));
    EXPECT_TRUE(p.a.outbound_pending.empty());
    EXPECT_TRUE(fails_with(p.a.encrypt_to_peer(Bytes(31), {}, kNow, p.random_a), RatchetError::Malformed,
                           "responder_static_pub must be 32 bytes"));
    EXPECT_TRUE(p.a.outbound_pending.empty());
  }
  {
    // NewSessionReply: the waiting record is gone even when the random source fails.
    Pair p;
    ASSERT_TRUE(p.b.decrypt_incoming(p.a_to_b(), kNow));
    test::ScriptedRandom empty;
    auto r = p.b.encrypt_to_peer(p.a_key.public_key, {}, kNow, empty.source());
    ASSERT_FALSE(r);
    EXPECT_TRUE(r.error().is(NetError::Io));
    EXPECT_TRUE(p.b.inbound_pending.empty());
    EXPECT_TRUE(p.b.sessions.empty());
    EXPECT_EQ(p.b_to_a().size(), kNewSessionLen);
  }
  {
    // ExistingSession: the send tag is used up and the flags are set.
    Pair p;
    p.establish();
    EXPECT_TRUE(
        fails_with(p.a.encrypt_to_peer(p.b_key.public_key, too_big, kNow + 3, p.random_a), RatchetError::Malformed));
    EXPECT_EQ(p.a.sessions[0].send_tag_set.next_index, 1u);
    EXPECT_TRUE(p.a.sessions[0].es_sent);
    EXPECT_EQ(p.a.sessions[0].last_activity, kNow + 3);
  }
}

TEST(RatchetFailures, ForeignAndDamagedNewSessions) {
  Pair p;
  const Bytes ns = p.a_to_b(padding(20));
  // Another destination cannot open it.
  RatchetSessionManager c = RatchetSessionManager::create(key_pair(0x70));
  EXPECT_TRUE(fails_with(c.decrypt_incoming(ns, kNow), RatchetError::DecryptFailed));
  // A flipped bit in the encrypted static key or in the payload.
  for (std::size_t at : {std::size_t{40}, std::size_t{90}, ns.size() - 1}) {
    Bytes bad = ns;
    bad[at] ^= 0x10;
    EXPECT_TRUE(fails_with(p.b.decrypt_incoming(bad, kNow), RatchetError::DecryptFailed)) << at;
  }
  EXPECT_TRUE(p.b.inbound_pending.empty());
  // The genuine one still opens: failed attempts are not remembered as replays.
  EXPECT_TRUE(p.b.decrypt_incoming(ns, kNow));
}

}  // namespace
}  // namespace ratchet
