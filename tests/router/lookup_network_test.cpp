// Lookups across a test network with a floodfill F: a session's LeaseSet2 published to F,
// another router's lookup answered by F directly and, in public mode, over tunnels with the
// sealed answer found by its tag; search replies and the SAM lines of the waiting clients.
#include <gtest/gtest.h>

#include "tests/router/dispatch_test_util.h"
#include "tests/router/lookups_test_util.h"
#include "tests/support/test_network.h"

namespace router {
namespace {

using lookups_test::new_session;
using lookups_test::random_hash;
using lookups_test::SamClientEnd;
using ntcp2_net::Now;
using ntcp2_net::read_now;
using test_support::TestNetwork;

constexpr std::size_t kF = 0, kHost = 1, kAsker = 2, kHop = 3;

// Steps the links and the lookup pass of every router, keeping what each prints.
bool run_lookups(TestNetwork& net, std::vector<std::string>& logs, const std::function<bool()>& condition) {
  logs.resize(net.size());
  return net.run_until(condition, 10000, [&](Router& r, const Now& now) {
    testing::internal::CaptureStdout();
    r.step_ntcp2_peers(now);
    r.step_pending_lookups(now);
    const std::string out = testing::internal::GetCapturedStdout();
    for (std::size_t i = 0; i < net.size(); ++i) {
      if (&net[i] == &r) logs[i] += out;
    }
  });
}

bool linked(const Router& a, const common::Hash& b) {
  return std::any_of(a.peer_sessions.begin(), a.peer_sessions.end(), [&](const PeerSession& s) { return s.peer == b; });
}

// A new session of the host, published; null unless F came to hold its LeaseSet2.
const SamSession* publish_host_session(TestNetwork& net, std::vector<std::string>& logs) {
  Router& host = net[kHost];
  host.sessions.push_back(new_session(host, "host"));
  const SamSession& session = host.sessions.back();
  host.publish_session_leaseset2(host.sessions.back(), read_now());
  const bool held = run_lookups(
      net, logs, [&] { return net[kF].netdb.get_lease_set2(session.dest_hash, read_now().wall_s()) != nullptr; });
  return held ? &session : nullptr;
}

// A NAMING LOOKUP of the destination by the asker's SAM client, stepped until it ended
// and the client read a line; what the client read ("" when that did not happen).
std::string naming_lookup(TestNetwork& net, std::vector<std::string>& logs, const common::Hash& destination) {
  Router& asker = net[kAsker];
  SamClientEnd naming(asker);
  testing::internal::CaptureStdout();
  const bool started =
      asker.start_netdb_lookup(destination, kLookupForNaming, naming.index(), "host.i2p", "", false, 0, 0, read_now());
  logs[kAsker] += testing::internal::GetCapturedStdout();
  if (!started) return "";
  std::string lines;
  const bool ended = run_lookups(net, logs, [&] {
    lines += naming.received();
    return asker.pending_lookups.empty() && !lines.empty();
  });
  return ended ? lines : "";
}

TEST(LookupNetwork, AFloodfillTakesAPublishedLeaseSet2AndAnswersLookupsDirectly) {
  auto created = TestNetwork::create({.routers = 3, .debug = true, .floodfills = {kF}});
  ASSERT_TRUE(created);
  TestNetwork& net = *created;
  Router& f = net[kF];
  Router& asker = net[kAsker];
  std::vector<std::string> logs(net.size());

  const SamSession* session = publish_host_session(net, logs);
  ASSERT_NE(session, nullptr);
  EXPECT_EQ(*f.netdb.get_lease_set2(session->dest_hash, read_now().wall_s()), *session->last_lease_set);

  // NAMING LOOKUP: asked of F directly, answered under the query's seal.
  EXPECT_EQ(naming_lookup(net, logs, session->dest_hash),
            "NAMING REPLY RESULT=OK NAME=host.i2p VALUE=" + session->public_b64 + "\n")
      << logs[kAsker];
  EXPECT_EQ(*asker.netdb.get_lease_set2(session->dest_hash, read_now().wall_s()), *session->last_lease_set);
  EXPECT_FALSE(dispatch_test::contains(logs[kAsker], "unhandled incoming Garlic")) << logs[kAsker];

  // STREAM CONNECT of a destination nobody published: F answers with a search reply, and
  // the lookup runs out.
  SamClientEnd connect(asker);
  const common::Hash missing = random_hash();
  const Now t0 = read_now();
  ASSERT_TRUE(asker.start_netdb_lookup(missing, kLookupForStreamConnect, connect.index(), "", "s", false, 0, 0, t0));
  const std::string search_line = "[debug] NetDB DatabaseSearchReply key=" + missing.to_b32_address() +
                                  " refs=0 from=" + net.hash(kF).to_b32_address() + "\n";
  ASSERT_TRUE(run_lookups(net, logs, [&] { return dispatch_test::contains(logs[kAsker], search_line); }))
      << logs[kAsker];
  ASSERT_EQ(asker.pending_lookups.size(), 1u);
  // F knows no other floodfill, and the asker excluded F itself.
  EXPECT_EQ(asker.pending_lookups[0].queried, std::vector<common::Hash>{net.hash(kF)});
  asker.step_pending_lookups(t0.after(8001));
  EXPECT_TRUE(asker.pending_lookups.empty());
  EXPECT_EQ(connect.received(), "STREAM STATUS RESULT=CANT_REACH_PEER\n");
  EXPECT_TRUE(connect.closed_by_router());
}

TEST(LookupNetwork, InPublicModeEverythingGoesThroughTunnels) {
  auto created = TestNetwork::create({.routers = 4, .public_mode = true, .debug = true, .floodfills = {kF}});
  ASSERT_TRUE(created);
  TestNetwork& net = *created;
  Router& f = net[kF];
  Router& asker = net[kAsker];
  for (std::size_t owner : {kHost, kAsker}) {
    ASSERT_TRUE(net.install_tunnel(owner, {kHop}, /*outbound=*/false));
    ASSERT_TRUE(net.install_tunnel(owner, {kHop}, /*outbound=*/true));
  }
  std::vector<std::string> logs(net.size());

  const SamSession* session = publish_host_session(net, logs);
  ASSERT_NE(session, nullptr);
  const netdb::LeaseSet2Ptr published = f.netdb.get_lease_set2(session->dest_hash, read_now().wall_s());
  ASSERT_EQ(published->leases.size(), 1u);
  EXPECT_EQ(published->leases[0].gateway, net.hash(kHop));

  EXPECT_EQ(naming_lookup(net, logs, session->dest_hash),
            "NAMING REPLY RESULT=OK NAME=host.i2p VALUE=" + session->public_b64 + "\n")
      << logs[kAsker];
  const tunnel::TunnelHop& reply_gateway = asker.tunnels.inbound[0].hops[0];
  EXPECT_TRUE(dispatch_test::contains(
      logs[kAsker], "[debug] NetDB lookup type=1 key=" + session->dest_hash.to_b32_address() +
                        " -> peer=" + net.hash(kF).to_b32_address() + " via tunnel " +
                        std::to_string(asker.tunnels.outbound[0].tunnel_id) + " (reply_ibgw=" +
                        net.hash(kHop).to_b32_address() + ":" + std::to_string(reply_gateway.receive_tunnel_id) + ")"))
      << logs[kAsker];
  // Neither the host nor the asker ever spoke to the floodfill: only the hop did.
  for (std::size_t i : {kHost, kAsker}) {
    EXPECT_FALSE(linked(net[i], net.hash(kF))) << i;
    EXPECT_FALSE(linked(f, net.hash(i))) << i;
  }
  EXPECT_TRUE(linked(f, net.hash(kHop)));

  // The answer is garlic found by the query's tag and sealed under its key: with the key
  // spoilt, the asker cannot open it and still waits.
  const SamSession* second = publish_host_session(net, logs);
  ASSERT_NE(second, nullptr);
  ASSERT_TRUE(asker.start_polled_lease_set_lookup(second->dest_hash, read_now()));
  ReplySeal& seal = asker.pending_lookups.at(0).replies.at(0);
  seal.key[0] ^= 0x01;
  const std::string unopened = "tag=" + encoding::hex_encode(seal.tag) + " ";
  ASSERT_TRUE(run_lookups(net, logs, [&] { return dispatch_test::contains(logs[kAsker], unopened); })) << logs[kAsker];
  EXPECT_EQ(asker.pending_lookups.size(), 1u);
  EXPECT_EQ(asker.netdb.get_lease_set2(second->dest_hash, read_now().wall_s()), nullptr);
}

}  // namespace
}  // namespace router
