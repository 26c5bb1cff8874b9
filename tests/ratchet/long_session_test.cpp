// Sessions that reach their last send: a transfer of any length goes on across the
// handshakes that replace them, with every message opened on the other side, whatever the
// delay on the way.
#include <gtest/gtest.h>

#include <deque>

#include "noise/key_pair.h"
#include "ratchet/session_manager.h"
#include "tests/ratchet/test_util.h"

namespace ratchet {
namespace {

constexpr std::uint32_t kNow = 1700000000;
constexpr std::size_t kNewSessionLen = 103;  // with no blocks of the caller: one DateTime block
constexpr std::size_t kReplyLen = 72;
constexpr std::size_t kExistingLen = 24;

noise::KeyPair key_pair(std::uint8_t seed) { return *noise::KeyPair::from_private(test::fixed(seed, 32)); }

struct Pair {
  noise::KeyPair a_key = key_pair(0x10);
  noise::KeyPair b_key = key_pair(0x30);
  RatchetSessionManager a = RatchetSessionManager::create(a_key);
  RatchetSessionManager b = RatchetSessionManager::create(b_key);
  RandomSource random_a = test::counting_random(1);
  RandomSource random_b = test::counting_random(2);

  Bytes a_to_b(std::uint32_t now = kNow) {
    auto m = a.encrypt_to_peer(b_key.public_key, {}, now, random_a);
    EXPECT_TRUE(m);
    return m.value_or(Bytes{});
  }
  Bytes b_to_a(std::uint32_t now = kNow) {
    auto m = b.encrypt_to_peer(a_key.public_key, {}, now, random_b);
    EXPECT_TRUE(m);
    return m.value_or(Bytes{});
  }
  // The handshake, started by A or by B.
  void establish(bool a_starts) {
    if (a_starts) {
      ASSERT_TRUE(b.decrypt_incoming(a_to_b(), kNow));
      ASSERT_TRUE(a.decrypt_incoming(b_to_a(), kNow));
    } else {
      ASSERT_TRUE(a.decrypt_incoming(b_to_a(), kNow));
      ASSERT_TRUE(b.decrypt_incoming(a_to_b(), kNow));
    }
  }
  // A's only session and B's as if `sends` messages had gone from A to B: A's send tag
  // set and B's receive tag set and window walked on together.
  void a_has_sent(std::uint32_t sends) {
    ASSERT_EQ(a.sessions.size(), 1u);
    ASSERT_EQ(b.sessions.size(), 1u);
    TagSet& out = a.sessions[0].send_tag_set;
    while (out.next_index < sends) ASSERT_TRUE(out.next_entry());
    RatchetPeerSession& in = b.sessions[0];
    in.recv_tag_set = out;
    in.recv_window.clear();
    in.recv_window_tags.clear();
    ASSERT_TRUE(in.refill_recv_window());
  }
};

// Messages in one direction, delivered `delay` sends after they left.
struct Wire {
  std::size_t delay = 0;
  std::deque<std::pair<std::size_t, Bytes>> queue;
  std::size_t failed = 0;

  void send(std::size_t at, Bytes m) { queue.emplace_back(at + delay, std::move(m)); }
  void deliver(std::size_t at, RatchetSessionManager& to, std::uint32_t now) {
    while (!queue.empty() && queue.front().first <= at) {
      if (!to.decrypt_incoming(queue.front().second, now)) ++failed;
      queue.pop_front();
    }
  }
};

struct LongRun {
  const char* name;
  bool a_starts;
  std::size_t delay;
};

void PrintTo(const LongRun& c, std::ostream* os) { *os << c.name; }

class RatchetLongRun : public ::testing::TestWithParam<LongRun> {};

// 130,000 messages from A, an answer from B after every 50th: more than two sessions' worth
// of sends. Every message opens, no session sends past its last message, and the two
// successors each took a single NewSession, also when 40 messages are under way each way.
TEST_P(RatchetLongRun, OneHundredThirtyThousandMessagesAllOpen) {
  const LongRun c = GetParam();
  Pair p;
  p.establish(c.a_starts);
  Wire to_b, to_a;
  to_b.delay = to_a.delay = c.delay;
  std::size_t new_sessions = 0, replies = 0;
  constexpr std::size_t kMessages = 130000;
  for (std::size_t i = 0; i < kMessages; ++i) {
    const std::uint32_t now = kNow + static_cast<std::uint32_t>(i / 1000);
    Bytes m = p.a_to_b(now);
    if (m.size() == kNewSessionLen) ++new_sessions;
    to_b.send(i, std::move(m));
    if (i % 50 == 49) {
      Bytes r = p.b_to_a(now);
      if (r.size() == kReplyLen) ++replies;
      to_a.send(i, std::move(r));
    }
    to_b.deliver(i, p.b, now);
    to_a.deliver(i, p.a, now);
  }
  to_b.deliver(kMessages + c.delay, p.b, kNow + 130);
  to_a.deliver(kMessages + c.delay, p.a, kNow + 130);
  EXPECT_EQ(to_b.failed, 0u);
  EXPECT_EQ(to_a.failed, 0u);
  EXPECT_EQ(new_sessions, 2u);
  EXPECT_EQ(replies, 2u);
  for (const RatchetSessionManager* m : {&p.a, &p.b}) {
    for (const RatchetPeerSession& s : m->sessions) EXPECT_LE(s.send_tag_set.next_index, kMaxSendsPerSession);
  }
}

INSTANTIATE_TEST_SUITE_P(Runs, RatchetLongRun,
                         ::testing::Values(LongRun{"StartedBySenderDeliveredAtOnce", true, 0},
                                           LongRun{"StartedBySender40Underway", true, 40},
                                           LongRun{"StartedByReceiver40Underway", false, 40}),
                         [](const ::testing::TestParamInfo<LongRun>& r) { return std::string(r.param.name); });

// The successor's handshake starts while the old session still sends, and the peer answers
// it at once, although it still holds a session it could send on.
TEST(RatchetLongSession, TheSuccessorIsMadeBeforeTheLastSend) {
  Pair p;
  p.establish(true);
  p.a_has_sent(kRenewalFrom - 1);
  const Bytes last_plain = p.a_to_b();
  ASSERT_EQ(last_plain.size(), kExistingLen);
  ASSERT_TRUE(p.b.decrypt_incoming(last_plain, kNow));

  const Bytes renewal = p.a_to_b();
  ASSERT_EQ(renewal.size(), kNewSessionLen);
  ASSERT_TRUE(p.b.decrypt_incoming(renewal, kNow));
  // The old session goes on carrying A's messages until the reply comes.
  const Bytes meanwhile = p.a_to_b();
  ASSERT_EQ(meanwhile.size(), kExistingLen);
  ASSERT_TRUE(p.b.decrypt_incoming(meanwhile, kNow));
  EXPECT_EQ(p.a.sessions[0].send_tag_set.next_index, kRenewalFrom + 1);

  // B answers the NewSession first, though its own session with A could still send.
  const Bytes reply = p.b_to_a();
  ASSERT_EQ(reply.size(), kReplyLen);
  EXPECT_TRUE(p.b.inbound_pending.empty());
  ASSERT_TRUE(p.a.decrypt_incoming(reply, kNow));
  ASSERT_EQ(p.a.sessions.size(), 2u);
  EXPECT_TRUE(p.a.sessions[1].send_enabled);

  // From now on A sends on the new session, and B answers on its new one.
  const Bytes on_new = p.a_to_b();
  ASSERT_EQ(on_new.size(), kExistingLen);
  ASSERT_TRUE(p.b.decrypt_incoming(on_new, kNow));
  EXPECT_EQ(p.a.sessions[0].send_tag_set.next_index, kRenewalFrom + 1);
  EXPECT_EQ(p.a.sessions[1].send_tag_set.next_index, 1u);
  const Bytes answer = p.b_to_a();
  ASSERT_EQ(answer.size(), kExistingLen);
  ASSERT_TRUE(p.a.decrypt_incoming(answer, kNow));
  EXPECT_EQ(p.a.sessions.back().recv_window.front().index, 1u);
}

// No reply to the renewals came before the last send: the next messages are NewSessions,
// and what the peer sent on the old session before the handshake reached it still opens.
TEST(RatchetLongSession, MessagesUnderWayOnASessionOutOfSendsStillOpen) {
  Pair p;
  p.establish(true);
  p.a_has_sent(kMaxSendsPerSession - 1);
  p.a.sessions[0].renewal_sent_at = kMaxSendsPerSession - 100;  // a renewal went unanswered
  const Bytes last = p.a_to_b();
  ASSERT_EQ(last.size(), kExistingLen);
  ASSERT_TRUE(p.b.decrypt_incoming(last, kNow));
  EXPECT_FALSE(p.a.has_active_session(p.b_key.public_key, kNow));

  const Bytes under_way = p.b_to_a();  // B does not know yet
  ASSERT_EQ(under_way.size(), kExistingLen);
  const Bytes ns = p.a_to_b(kNow + 1);
  ASSERT_EQ(ns.size(), kNewSessionLen);
  ASSERT_TRUE(p.b.decrypt_incoming(ns, kNow + 1));
  const Bytes reply = p.b_to_a(kNow + 1);
  ASSERT_EQ(reply.size(), kReplyLen);

  ASSERT_TRUE(p.a.decrypt_incoming(under_way, kNow + 1));
  ASSERT_TRUE(p.a.decrypt_incoming(reply, kNow + 1));
  // The old session carried ExistingSession messages, but it cannot send: the new one does.
  ASSERT_EQ(p.a.sessions.size(), 2u);
  EXPECT_TRUE(p.a.has_active_session(p.b_key.public_key, kNow + 1));
  const Bytes on_new = p.a_to_b(kNow + 1);
  ASSERT_EQ(on_new.size(), kExistingLen);
  ASSERT_TRUE(p.b.decrypt_incoming(on_new, kNow + 1));
  for (const RatchetPeerSession& s : p.a.sessions) EXPECT_LE(s.send_tag_set.next_index, kMaxSendsPerSession);
}

}  // namespace
}  // namespace ratchet
