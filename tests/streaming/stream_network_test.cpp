// Streams between destinations on two routers of the in-process test network, over 1-hop
// tunnels and garlic: 1 MiB each way arrives whole and in order, also when the network
// drops, duplicates and reorders the garlic messages.
#include <gtest/gtest.h>

#include "services/streams.h"
#include "tests/streaming/network_util.h"

namespace streaming_test {
namespace {

using streaming::StreamState;

constexpr std::size_t kMiB = 1024 * 1024;

std::string describe(const streaming::ConnectionPtr& c) {
  if (!c) return "no connection";
  std::string out = "state " + std::to_string(static_cast<int>(c->state)) + " sent through " +
                    std::to_string(c->next_seq) + " unacked";
  for (const auto& u : c->unacked) out += " " + std::to_string(u.seq) + "x" + std::to_string(u.resends);
  out += " expecting " + std::to_string(c->next_expected) + " out of order " + std::to_string(c->out_of_order.size());
  return out;
}

struct Exchange {
  Pump alice;
  Pump bob;
};

// Alice connects to bob; once bob accepted, both send 1 MiB of their own and read.
void exchange_both_ways(TwoDestinations& t, int limit_ms) {
  Exchange x;
  x.alice.to_send = random_of(kMiB);
  x.bob.to_send = random_of(kMiB);
  auto opened = t.alice->streams->connect(t.bob->dest_hash, ntcp2_net::read_now().mono_ms, 0, 0);
  ASSERT_TRUE(opened) << to_string(opened.error());
  x.alice.connection = *opened;

  ASSERT_TRUE(t.run(
      {&x.alice}, {&x.bob},
      [&] {
        if (!x.bob.connection && !t.bob->streams->accept_queue.empty()) {
          x.bob.connection = t.bob->streams->accept_queue.front();
          t.bob->streams->accept_queue.pop_front();
        }
        return x.alice.received.size() == kMiB && x.bob.received.size() == kMiB;
      },
      limit_ms))
      << "alice got " << x.alice.received.size() << ", bob got " << x.bob.received.size() << "\n"
      << describe(x.alice.connection) << "\n"
      << describe(x.bob.connection);
  EXPECT_TRUE(x.alice.received == x.bob.to_send);
  EXPECT_TRUE(x.bob.received == x.alice.to_send);
  EXPECT_EQ(x.alice.connection->state, StreamState::Established);
  EXPECT_EQ(x.bob.connection->state, StreamState::Established);
  EXPECT_EQ(t.bob->streams->connections.size(), 1u);  // resent or duplicated SYNs opened nothing

  // Alice closes; bob sees it, closes too, and both end Closed with nothing unacknowledged.
  ASSERT_TRUE(x.alice.connection->close(ntcp2_net::read_now().mono_ms));
  ASSERT_TRUE(t.run(
      {&x.alice}, {&x.bob}, [&] { return x.bob.connection->peer_closed; }, limit_ms));
  ASSERT_TRUE(x.bob.connection->close(ntcp2_net::read_now().mono_ms));
  ASSERT_TRUE(t.run(
      {&x.alice}, {&x.bob},
      [&] {
        return x.alice.connection->state == StreamState::Closed && x.bob.connection->state == StreamState::Closed &&
               x.alice.connection->unacked.empty() && x.bob.connection->unacked.empty();
      },
      limit_ms));
}

TEST(StreamNetwork, OneMebibyteEachWayBetweenTwoRouters) {
  TwoDestinations t = TwoDestinations::create();
  exchange_both_ways(t, 60000);
}

TEST(StreamNetwork, OneMebibyteEachWayThroughDroppedDuplicatedAndReorderedGarlic) {
  TwoDestinations t = TwoDestinations::create();
  auto to_alice = t.net.set_garlic_faults(0, {.drop_every = 7, .duplicate_every = 5, .hold_every = 4});
  auto to_bob = t.net.set_garlic_faults(1, {.drop_every = 6, .duplicate_every = 5, .hold_every = 3});
  exchange_both_ways(t, 120000);
  for (const auto& counts : {to_alice, to_bob}) {
    EXPECT_GT(counts->dropped, 10u);
    EXPECT_GT(counts->duplicated, 10u);
    EXPECT_GT(counts->held, 10u);
  }
}

// A bulk transfer to a receiver of ours: about one acknowledgement per two data packets at
// most (fewer when packets arrive together), never fewer than one per window, and a sender
// whose timed resend comes after 1 s never resends, for the acknowledgements come in time.
// The garlic messages arriving at each router are counted where they arrive, apart from the
// streaming code: bob sends nothing but acknowledgements and his SYN-ACK.
TEST(StreamNetwork, AcknowledgementsInTimeForASenderResendingAfterOneSecond) {
  constexpr std::size_t kBytes = 4 * kMiB;
  constexpr std::uint64_t kSenderResendMs = 1000;
  TwoDestinations t = TwoDestinations::create();
  auto to_alice = t.net.set_garlic_faults(0, {});
  auto to_bob = t.net.set_garlic_faults(1, {});
  Exchange x;
  x.alice.to_send = random_of(kBytes);
  auto opened = t.alice->streams->connect(t.bob->dest_hash, ntcp2_net::read_now().mono_ms, 0, 0);
  ASSERT_TRUE(opened) << to_string(opened.error());
  x.alice.connection = *opened;

  std::size_t timed_resends = 0;
  auto resends_of = [](const streaming::ConnectionPtr& c) {
    std::size_t n = 0;
    for (const auto& u : c->unacked) n += u.resends;
    return n;
  };
  ASSERT_TRUE(t.net.run_until(
      [&] {
        if (!x.bob.connection && !t.bob->streams->accept_queue.empty()) {
          x.bob.connection = t.bob->streams->accept_queue.front();
          t.bob->streams->accept_queue.pop_front();
        }
        return x.bob.received.size() == kBytes && x.alice.connection->unacked.empty();
      },
      120000,
      [&](router::Router& r, const ntcp2_net::Now& now) {
        if (&r == &t.net[0]) {
          x.alice.step(now.mono_ms);
          // The sender's own resend timer, before the router's longer one.
          const std::size_t before = resends_of(x.alice.connection);
          t.alice->streams->resend_due(now.mono_ms, kSenderResendMs);
          timed_resends += resends_of(x.alice.connection) - before;
        } else {
          x.bob.step(now.mono_ms);
        }
        r.step_ntcp2_peers(now);
        r.step_stream_connections(now);
      }))
      << "bob got " << x.bob.received.size() << "\n"
      << describe(x.alice.connection) << "\n"
      << describe(x.bob.connection);
  EXPECT_TRUE(x.bob.received == x.alice.to_send);
  EXPECT_EQ(timed_resends, 0u);

  const std::size_t data_packets = x.alice.connection->next_seq - 1;
  EXPECT_EQ(data_packets, (kBytes + streaming::kDefaultMaxPayload - 1) / streaming::kDefaultMaxPayload);
  // At bob: the SYN, alice's ACK of the SYN-ACK, the data; nothing came twice.
  EXPECT_EQ(to_bob->arrived, data_packets + 2);
  const std::size_t acks = to_alice->arrived - 1;  // without the SYN-ACK
  const double per_data = static_cast<double>(acks) / static_cast<double>(data_packets);
  EXPECT_LE(per_data, 0.5) << acks << " acknowledgements of " << data_packets << " data packets";
  EXPECT_GE(per_data, 1.0 / streaming::kWindow) << acks << " acknowledgements of " << data_packets << " data packets";
  EXPECT_FALSE(x.bob.connection->ack_due_ms());
  RecordProperty("acks_per_data_packet", std::to_string(per_data));
}

// A sender writing one packet per round, its data arriving spread out: bob acknowledges
// every second packet, not each one. The monotonic clock moves 1 ms per round, so that no
// acknowledgement falls due by its delay while the data flows, however slow the machine.
TEST(StreamNetwork, DataArrivingSpreadOutIsAcknowledgedEverySecondPacket) {
  constexpr std::size_t kBytes = 512 * 1024;
  TwoDestinations t = TwoDestinations::create();
  auto to_alice = t.net.set_garlic_faults(0, {});
  Exchange x;
  x.alice.to_send = random_of(kBytes);
  const std::uint64_t start_ms = ntcp2_net::read_now().mono_ms;
  auto opened = t.alice->streams->connect(t.bob->dest_hash, start_ms, 0, 0);
  ASSERT_TRUE(opened) << to_string(opened.error());
  x.alice.connection = *opened;
  streaming::StreamConnection& out = **opened;

  const auto step = [&](router::Router& r, const ntcp2_net::Now& now) {
    if (&r == &t.net[0]) {
      if (out.state == StreamState::Established && x.alice.sent < kBytes) {
        const std::size_t piece = std::min<std::size_t>(streaming::kDefaultMaxPayload, kBytes - x.alice.sent);
        if (auto n = out.write(ByteView(x.alice.to_send).subspan(x.alice.sent, piece), now.mono_ms)) x.alice.sent += *n;
      }
    } else {
      if (!x.bob.connection && !t.bob->streams->accept_queue.empty()) {
        x.bob.connection = t.bob->streams->accept_queue.front();
        t.bob->streams->accept_queue.pop_front();
      }
      x.bob.step(now.mono_ms);
    }
    r.step_ntcp2_peers(now);
    r.step_stream_connections(now);
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  std::uint64_t round = 0;
  std::size_t acks_while_flowing = 0;
  while (x.bob.received.size() < kBytes || !out.unacked.empty()) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "bob got " << x.bob.received.size() << "\n"
                                                          << describe(x.alice.connection);
    if (x.bob.received.size() < kBytes) acks_while_flowing = to_alice->arrived;
    t.net.step_all(ntcp2_net::Now{start_ms + ++round, ntcp2_net::read_now().wall_ms}, step);
  }
  EXPECT_TRUE(x.bob.received == x.alice.to_send);
  const std::size_t data_packets = out.next_seq - 1;
  EXPECT_EQ(data_packets, (kBytes + streaming::kDefaultMaxPayload - 1) / streaming::kDefaultMaxPayload);
  // Without the SYN-ACK; the last packet's acknowledgement may come by its delay.
  const std::size_t acks = acks_while_flowing - 1;
  EXPECT_LE(2 * acks, data_packets + 1) << acks << " acknowledgements of " << data_packets << " data packets";
  EXPECT_GE(4 * acks, data_packets) << acks << " acknowledgements of " << data_packets << " data packets";
  RecordProperty("acks_per_data_packet", std::to_string(static_cast<double>(acks) / static_cast<double>(data_packets)));
}

TEST(StreamNetwork, TwoDestinationsOnOneRouter) {
  auto created = test_support::TestNetwork::create({.routers = 1});
  ASSERT_TRUE(created);
  test_support::TestNetwork net = std::move(*created);
  router::Router& r = net[0];
  r.sessions.push_back(stream_session(r, "alice"));
  r.sessions.push_back(stream_session(r, "bob"));
  router::SamSession& alice = r.sessions[0];
  router::SamSession& bob = r.sessions[1];
  // Without tunnels, each LeaseSet2 names the router itself.
  ASSERT_TRUE(r.build_session_leaseset2(bob, ntcp2_net::read_now()));

  Exchange x;
  x.alice.to_send = random_of(256 * 1024);
  x.bob.to_send = random_of(256 * 1024);
  x.alice.connection = *alice.streams->connect(bob.dest_hash, ntcp2_net::read_now().mono_ms, 0, 0);
  ASSERT_TRUE(net.run_until(
      [&] {
        if (!x.bob.connection && !bob.streams->accept_queue.empty()) {
          x.bob.connection = bob.streams->accept_queue.front();
          bob.streams->accept_queue.pop_front();
        }
        return x.alice.received.size() == x.bob.to_send.size() && x.bob.received.size() == x.alice.to_send.size();
      },
      60000,
      [&](router::Router& router, const ntcp2_net::Now& now) {
        x.alice.step(now.mono_ms);
        x.bob.step(now.mono_ms);
        router.step_ntcp2_peers(now);
        router.step_stream_connections(now);
      }))
      << describe(x.alice.connection) << "\n"
      << describe(x.bob.connection);
  EXPECT_TRUE(x.alice.received == x.bob.to_send);
  EXPECT_TRUE(x.bob.received == x.alice.to_send);
}

}  // namespace
}  // namespace streaming_test
