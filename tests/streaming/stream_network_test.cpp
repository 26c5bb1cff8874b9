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

  ASSERT_TRUE(t.run({&x.alice}, {&x.bob}, [&] {
    if (!x.bob.connection && !t.bob->streams->accept_queue.empty()) {
      x.bob.connection = t.bob->streams->accept_queue.front();
      t.bob->streams->accept_queue.pop_front();
    }
    return x.alice.received.size() == kMiB && x.bob.received.size() == kMiB;
  }, limit_ms)) << "alice got " << x.alice.received.size() << ", bob got " << x.bob.received.size() << "\n"
                 << describe(x.alice.connection) << "\n" << describe(x.bob.connection);
  EXPECT_TRUE(x.alice.received == x.bob.to_send);
  EXPECT_TRUE(x.bob.received == x.alice.to_send);
  EXPECT_EQ(x.alice.connection->state, StreamState::Established);
  EXPECT_EQ(x.bob.connection->state, StreamState::Established);
  EXPECT_EQ(t.bob->streams->connections.size(), 1u);  // resent or duplicated SYNs opened nothing

  // Alice closes; bob sees it, closes too, and both end Closed with nothing unacknowledged.
  ASSERT_TRUE(x.alice.connection->close(ntcp2_net::read_now().mono_ms));
  ASSERT_TRUE(t.run({&x.alice}, {&x.bob}, [&] { return x.bob.connection->peer_closed; }, limit_ms));
  ASSERT_TRUE(x.bob.connection->close(ntcp2_net::read_now().mono_ms));
  ASSERT_TRUE(t.run({&x.alice}, {&x.bob}, [&] {
    return x.alice.connection->state == StreamState::Closed && x.bob.connection->state == StreamState::Closed &&
           x.alice.connection->unacked.empty() && x.bob.connection->unacked.empty();
  }, limit_ms));
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
  ASSERT_TRUE(net.run_until([&] {
    if (!x.bob.connection && !bob.streams->accept_queue.empty()) {
      x.bob.connection = bob.streams->accept_queue.front();
      bob.streams->accept_queue.pop_front();
    }
    return x.alice.received.size() == x.bob.to_send.size() && x.bob.received.size() == x.alice.to_send.size();
  }, 60000, [&](router::Router& router, const ntcp2_net::Now& now) {
    x.alice.step(now.mono_ms);
    x.bob.step(now.mono_ms);
    router.step_ntcp2_peers(now);
    router.step_stream_connections(now);
  })) << describe(x.alice.connection) << "\n" << describe(x.bob.connection);
  EXPECT_TRUE(x.alice.received == x.bob.to_send);
  EXPECT_TRUE(x.bob.received == x.alice.to_send);
}

}  // namespace
}  // namespace streaming_test
