// A stream between two routers of the test network outlives the garlic sessions that carry
// it: a session sends at most 60,000 ExistingSession messages, and the transfer goes on
// across the new handshake with every byte delivered.
#include <gtest/gtest.h>

#include <algorithm>

#include "ratchet/session_manager.h"
#include "tests/streaming/network_util.h"

namespace streaming_test {
namespace {

constexpr std::size_t kKiB = 1024;

// Puts a session pair as if `sends` messages had gone from sender to receiver already: the
// sender's send tag set and the receiver's receive tag set and window moved on together.
// Walking the chains costs as much as sending, without the network in between.
void fast_forward(ratchet::RatchetPeerSession& sender, ratchet::RatchetPeerSession& receiver, std::uint32_t sends) {
  ASSERT_EQ(sender.send_root_key, receiver.recv_root_key);
  while (sender.send_tag_set.next_index < sends) ASSERT_TRUE(sender.send_tag_set.next_entry());
  receiver.recv_tag_set = sender.send_tag_set;
  receiver.recv_window.clear();
  receiver.recv_window_tags.clear();
  ASSERT_TRUE(receiver.refill_recv_window());
}

// Every session `from` sends to `to` on, with its counterpart, moved close to the end of
// its sends. Unless `renew`, its successor's handshake is left to the last send, as when
// every earlier attempt went unanswered.
void near_the_end(ratchet::RatchetSessionManager& from, ratchet::RatchetSessionManager& to, std::uint32_t sends,
                  bool renew) {
  for (ratchet::RatchetPeerSession& s : from.sessions) {
    if (s.peer_key != to.static_keypair.public_key || !s.send_enabled) continue;
    auto peer = std::ranges::find_if(
        to.sessions, [&](const ratchet::RatchetPeerSession& r) { return r.recv_root_key == s.send_root_key; });
    ASSERT_NE(peer, to.sessions.end());
    fast_forward(s, *peer, sends);
    if (!renew) s.renewal_sent_at = sends;
  }
}

std::uint32_t most_sent(const ratchet::RatchetSessionManager& m) {
  std::uint32_t most = 0;
  for (const auto& s : m.sessions) most = std::max(most, s.send_tag_set.next_index);
  return most;
}

// Alice opens the stream (her NewSession starts the garlic sessions), then each side sends
// its share; the directions named run out of ExistingSession messages on the way.
struct Rollover {
  const char* name;
  std::size_t alice_sends, bob_sends;
  bool alice_runs_out, bob_runs_out;
  bool renew = true;  // else the successor's handshake waits for the last send
};

void PrintTo(const Rollover& c, std::ostream* os) { *os << c.name; }

class StreamRatchetRollover : public ::testing::TestWithParam<Rollover> {};

TEST_P(StreamRatchetRollover, TheTransferGoesOnPastTheLastMessageOfASession) {
  const Rollover c = GetParam();
  TwoDestinations t = TwoDestinations::create();
  Pump alice, bob;
  const Bytes alice_all = random_of(c.alice_sends), bob_all = random_of(c.bob_sends);
  // The first 16 KiB of each share sets up the stream and the garlic sessions.
  const auto first_part = [](const Bytes& all) {
    return Bytes(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(std::min(all.size(), 16 * kKiB)));
  };
  alice.to_send = first_part(alice_all);
  bob.to_send = first_part(bob_all);
  auto opened = t.alice->streams->connect(t.bob->dest_hash, ntcp2_net::read_now().mono_ms, 0, 0);
  ASSERT_TRUE(opened) << to_string(opened.error());
  alice.connection = *opened;
  const auto settled = [&] {
    if (!bob.connection && !t.bob->streams->accept_queue.empty()) {
      bob.connection = t.bob->streams->accept_queue.front();
      t.bob->streams->accept_queue.pop_front();
    }
    return bob.connection && bob.connection->state == streaming::StreamState::Established &&
           alice.received.size() == bob.to_send.size() && bob.received.size() == alice.to_send.size() &&
           alice.connection->unacked.empty() && bob.connection->unacked.empty();
  };
  ASSERT_TRUE(t.run({&alice}, {&bob}, settled, 60000));

  // Nothing in flight: the named directions have 40 messages left on their sessions.
  ASSERT_TRUE(t.alice->ratchet && t.bob->ratchet);
  constexpr std::uint32_t kNearTheEnd = ratchet::kMaxSendsPerSession - 40;
  if (c.alice_runs_out) near_the_end(*t.alice->ratchet, *t.bob->ratchet, kNearTheEnd, c.renew);
  if (c.bob_runs_out) near_the_end(*t.bob->ratchet, *t.alice->ratchet, kNearTheEnd, c.renew);
  if (c.alice_runs_out) {
    ASSERT_EQ(most_sent(*t.alice->ratchet), kNearTheEnd);
  }
  if (c.bob_runs_out) {
    ASSERT_EQ(most_sent(*t.bob->ratchet), kNearTheEnd);
  }

  alice.to_send = alice_all;
  bob.to_send = bob_all;
  ASSERT_TRUE(t.run({&alice}, {&bob}, settled, 30000))
      << "alice got " << alice.received.size() << ", bob got " << bob.received.size();
  EXPECT_TRUE(alice.received == bob_all);
  EXPECT_TRUE(bob.received == alice_all);
  // The sessions that ran out were replaced: new ones carried the rest.
  for (const auto& [m, ran_out] :
       {std::pair{&*t.alice->ratchet, c.alice_runs_out}, {&*t.bob->ratchet, c.bob_runs_out}}) {
    EXPECT_LE(most_sent(*m), ratchet::kMaxSendsPerSession);
    if (!ran_out) continue;
    // Left to the last send, the old session sent all it may (and is kept for what the
    // peer still sends on it).
    if (!c.renew) {
      EXPECT_EQ(most_sent(*m), ratchet::kMaxSendsPerSession);
    }
    EXPECT_TRUE(std::ranges::any_of(m->sessions, [](const ratchet::RatchetPeerSession& s) {
      return s.send_enabled && s.send_tag_set.next_index > 0 && s.send_tag_set.next_index < 10000;
    }));
  }
}

INSTANTIATE_TEST_SUITE_P(Directions, StreamRatchetRollover,
                         ::testing::Values(Rollover{"OneWayFromTheInitiator", 512 * kKiB, 0, true, false},
                                           Rollover{"OneWayFromTheResponder", 0, 512 * kKiB, false, true},
                                           Rollover{"BothWays", 512 * kKiB, 512 * kKiB, true, true},
                                           Rollover{"OneWayHandshakeAtTheLastSend", 512 * kKiB, 0, true, false, false},
                                           Rollover{"BothWaysHandshakesAtTheLastSend", 512 * kKiB, 512 * kKiB, true,
                                                    true, false}),
                         [](const ::testing::TestParamInfo<Rollover>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace streaming_test
