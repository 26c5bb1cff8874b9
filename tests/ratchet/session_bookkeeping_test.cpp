// Expiry, the sweeps and the caps of one destination's session lists.
#include <gtest/gtest.h>

#include "noise/key_pair.h"
#include "ratchet/session_manager.h"
#include "tests/ratchet/test_util.h"

namespace ratchet {
namespace {

using test::fixed;

Key32 peer(std::uint32_t n) {
  Key32 k{};
  k[0] = static_cast<std::uint8_t>(n);
  k[1] = static_cast<std::uint8_t>(n >> 8);
  k[31] = 0x01;
  return k;
}

// A session record as the lists hold it; its window is left empty, which nothing here reads.
RatchetPeerSession session(const Key32& key, std::uint32_t last_activity, std::uint32_t last_recv = 0,
                           bool confirmed = true, bool send_enabled = true) {
  RatchetPeerSession s;
  s.peer_key = key;
  s.last_activity = last_activity;
  s.last_recv = last_recv;
  s.confirmed = confirmed;
  s.send_enabled = send_enabled;
  return s;
}

RatchetSessionManager manager() {
  return RatchetSessionManager::create(*noise::KeyPair::from_private(fixed(0x50, 32)));
}

TEST(RatchetExpiry, RulesAtNow1000) {
  const struct {
    const char* name;
    std::uint32_t last_activity, last_recv;
    bool confirmed;
    std::uint32_t sent;
    std::uint32_t now;
    bool expired;
  } cases[] = {
      {"unconfirmed, active 45 s ago, nothing received", 955, 0, false, 0, 1000, false},
      {"unconfirmed, active and received 45 s ago", 955, 955, false, 0, 1000, false},
      {"unconfirmed, active 46 s ago", 954, 0, false, 0, 1000, true},
      {"unconfirmed, received 46 s ago", 955, 954, false, 0, 1000, true},
      {"confirmed, received 180 s ago", 1000, 820, true, 0, 1000, false},
      {"confirmed, received 181 s ago", 1000, 819, true, 0, 1000, true},
      {"confirmed, never received, active 300 s ago", 700, 0, true, 0, 1000, false},
      {"confirmed, active 301 s ago", 699, 0, true, 0, 1000, true},
      {"unconfirmed, active 301 s ago", 699, 699, false, 0, 1000, true},
      {"59,999 sent", 1000, 1000, true, 59999, 1000, false},
      {"60,000 sent", 1000, 1000, true, 60000, 1000, true},
      {"time unknown", 1, 1, false, 60000, 0, false},
      {"never active", 0, 0, false, 60000, 1000, false},
      {"times near the end of the u32 range do not wrap", 0xffffff00u, 0xffffff00u, true, 0, 0xffffff10u, false},
  };
  for (const auto& c : cases) {
    RatchetPeerSession s = session(peer(1), c.last_activity, c.last_recv, c.confirmed);
    s.send_tag_set.next_index = c.sent;
    EXPECT_EQ(is_ratchet_session_expired(s, c.now), c.expired) << c.name;
  }
}

// A send to peer 0, which has a send-enabled session; the sweep runs first.
void send_to_peer0(RatchetSessionManager& m, std::uint32_t now) {
  ASSERT_TRUE(m.encrypt_to_peer(peer(0), {}, now, test::counting_random(1)));
}

TEST(RatchetSweep, ExpiredSessionsGoOnlyAbove128) {
  const std::uint32_t now = 10000;
  for (std::size_t total : {128u, 129u}) {
    RatchetSessionManager m = manager();
    m.sessions.push_back(session(peer(0), now));
    for (std::uint32_t i = 1; i < total; ++i) m.sessions.push_back(session(peer(i), i % 4 == 0 ? now - 400 : now));
    const auto expired = static_cast<std::size_t>(std::ranges::count_if(
        m.sessions, [&](const RatchetPeerSession& s) { return is_ratchet_session_expired(s, now); }));
    ASSERT_EQ(expired, (total - 1) / 4);
    send_to_peer0(m, now);
    EXPECT_EQ(m.sessions.size(), total == 129 ? total - expired : total) << total;
  }
  // With time unknown nothing expires.
  RatchetSessionManager m = manager();
  m.sessions.push_back(session(peer(0), now));
  for (std::uint32_t i = 1; i < 200; ++i) m.sessions.push_back(session(peer(i), 5));
  send_to_peer0(m, 0);
  EXPECT_EQ(m.sessions.size(), 200u);
}

TEST(RatchetSweep, Above512TheLeastRecentlyActiveGoFrontFirst) {
  const std::uint32_t now = 2000;
  RatchetSessionManager m = manager();
  for (std::uint32_t i = 0; i < 513; ++i) m.sessions.push_back(session(peer(i), i == 10 || i == 20 ? 1900 : 1950));
  send_to_peer0(m, now);
  ASSERT_EQ(m.sessions.size(), 512u);
  const auto has = [&](std::uint32_t n) {
    return std::ranges::any_of(m.sessions, [&](const RatchetPeerSession& s) { return s.peer_key == peer(n); });
  };
  EXPECT_FALSE(has(10));
  EXPECT_TRUE(has(20));

  // Far above the bound (replies received between sends only add), one send brings it back.
  for (std::uint32_t i = 600; i < 1100; ++i) m.sessions.push_back(session(peer(i), 1960 + i % 7));
  send_to_peer0(m, now);
  EXPECT_EQ(m.sessions.size(), 512u);
  EXPECT_FALSE(has(20));
}

TEST(RatchetSweep, ExpiredSessionsOfTheAddressedPeerGoAtAnyCount) {
  const std::uint32_t now = 2000;
  RatchetSessionManager m = manager();
  m.sessions.push_back(session(peer(0), now - 400));
  m.sessions.push_back(session(peer(1), now - 400));
  m.sessions.push_back(session(peer(0), now));
  send_to_peer0(m, now);
  ASSERT_EQ(m.sessions.size(), 2u);
  EXPECT_EQ(m.sessions[0].peer_key, peer(1));
  // The ExistingSession left on the remaining session of peer 0.
  EXPECT_TRUE(m.sessions[1].es_sent);
  EXPECT_EQ(m.sessions[1].send_tag_set.next_index, 1u);
}

TEST(RatchetPeerCap, FourSessionsPerPeer) {
  {
    RatchetSessionManager m = manager();
    for (int i = 0; i < 5; ++i) m.sessions.push_back(session(peer(7), 100, 0, true, i != 1 && i != 3));
    m.sessions.insert(m.sessions.begin(), session(peer(8), 100));
    m.cap_peer_sessions(peer(7));
    ASSERT_EQ(m.sessions.size(), 5u);
    // The first send-disabled session of the peer went; the second stays.
    EXPECT_EQ(std::ranges::count_if(m.sessions, [](const RatchetPeerSession& s) { return !s.send_enabled; }), 1);
  }
  {
    RatchetSessionManager m = manager();
    for (std::uint32_t i = 0; i < 5; ++i) m.sessions.push_back(session(peer(7), 100 + i));
    m.cap_peer_sessions(peer(7));
    ASSERT_EQ(m.sessions.size(), 4u);
    EXPECT_EQ(m.sessions.front().last_activity, 101u);  // the oldest went
  }
  {
    // One out of sends cannot send, send-enabled or not: it goes before the oldest.
    RatchetSessionManager m = manager();
    for (std::uint32_t i = 0; i < 5; ++i) m.sessions.push_back(session(peer(7), 100 + i));
    m.sessions[2].send_tag_set.next_index = kMaxSendsPerSession;
    m.cap_peer_sessions(peer(7));
    ASSERT_EQ(m.sessions.size(), 4u);
    EXPECT_EQ(m.sessions.front().last_activity, 100u);
    EXPECT_TRUE(std::ranges::none_of(m.sessions, [](const RatchetPeerSession& s) { return s.last_activity == 102; }));
  }
}

// From the 50,000th send on, every 1,024th send of a session is due to leave as a
// NewSession; a session out of sends stays while it is in time, and is never active.
TEST(RatchetExpiry, RetiringAndOutOfSends) {
  const struct {
    std::uint32_t sent, renewal_sent_at;
    bool retiring, due, exhausted;
  } cases[] = {
      {49999, 0, false, false, false},    {50000, 0, true, true, false},     {50000, 50000, true, false, false},
      {51023, 50000, true, false, false}, {51024, 50000, true, true, false}, {59999, 59000, true, false, false},
      {60000, 59000, true, false, true},
  };
  for (const auto& c : cases) {
    RatchetPeerSession s = session(peer(1), 1000, 1000);
    s.send_tag_set.next_index = c.sent;
    s.renewal_sent_at = c.renewal_sent_at;
    EXPECT_EQ(is_send_retiring(s), c.retiring) << c.sent;
    EXPECT_EQ(is_renewal_due(s), c.due) << c.sent << " after " << c.renewal_sent_at;
    EXPECT_EQ(is_send_exhausted(s), c.exhausted) << c.sent;
    EXPECT_EQ(is_ratchet_session_expired(s, 1000), c.exhausted) << c.sent;
    EXPECT_FALSE(is_ratchet_session_timed_out(s, 1000)) << c.sent;
  }
  // The sweep keeps a session out of sends while it is in time, and drops it after.
  RatchetSessionManager m = manager();
  m.sessions.push_back(session(peer(0), 1000, 1000));
  m.sessions.back().send_tag_set.next_index = kMaxSendsPerSession;
  m.sessions.back().es_sent = true;
  EXPECT_FALSE(m.has_active_session(peer(0), 1000));
  send_to_peer0(m, 1000);  // a NewSession: the session cannot send
  ASSERT_EQ(m.sessions.size(), 1u);
  EXPECT_EQ(m.outbound_pending.size(), 6u);
  send_to_peer0(m, 1181);  // nothing received for 181 s
  EXPECT_TRUE(m.sessions.empty());
}

TEST(RatchetPeerQueries, LastReceiptActiveAndStale) {
  RatchetSessionManager m = manager();
  EXPECT_EQ(m.last_recv_sec(peer(3)), 0u);
  EXPECT_FALSE(m.has_active_session(peer(3), 1000));
  m.sessions.push_back(session(peer(3), 990, 950));
  m.sessions.push_back(session(peer(3), 995, 980));
  m.sessions.push_back(session(peer(4), 999, 999));
  EXPECT_EQ(m.last_recv_sec(peer(3)), 980u);
  EXPECT_EQ(m.last_recv_sec(Bytes(31)), 0u);  // a key of another length matches nothing
  EXPECT_TRUE(m.has_active_session(peer(3), 1000));
  EXPECT_FALSE(m.has_active_session(peer(3), 1200));  // last receipt 220 s ago: expired
  m.mark_send_stale(peer(3));
  EXPECT_FALSE(m.has_active_session(peer(3), 1000));
  EXPECT_TRUE(m.has_active_session(peer(4), 1000));
}

}  // namespace
}  // namespace ratchet
