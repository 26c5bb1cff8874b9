// The in-process test network itself, and public mode on it: routers keep dialling until
// they are linked, skip peers that publish "127.0.0.1" or "0.0.0.0", and the status line
// counts the links.
#include <gtest/gtest.h>

#include "cmd/router/startup.h"
#include "router/router.h"
#include "tests/router/peers_test_util.h"
#include "tests/support/test_network.h"

namespace router {
namespace {

using peers_test::hash_of;
using peers_test::signed_router_info;
using test_support::TestNetwork;

TEST(TestNetwork, RoutersOnDistinctLoopbackAddressesKnowEachOther) {
  auto net = TestNetwork::create({.routers = 3});
  ASSERT_TRUE(net) << to_string(net.error());
  ASSERT_EQ(net->size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    Router& r = (*net)[i];
    const auto peer = ntcp2_net::extract_ntcp2_peer(r.router_info);
    ASSERT_TRUE(peer);
    EXPECT_EQ(peer->host, "127.0.0." + std::to_string(2 + i));
    EXPECT_NE(peer->port, 0);
    EXPECT_EQ(r.netdb.router_infos().size(), 3u);
    for (std::size_t j = 0; j < 3; ++j) EXPECT_NE(r.netdb.get_router_info(net->hash(j)), nullptr);
  }
  int rounds = 0;
  EXPECT_FALSE(net->run_until([&] { return ++rounds > 100000000; }, 50, TestNetwork::peers_step));
  EXPECT_TRUE(net->run_until([] { return true; }, 0));
}

TEST(TestNetwork, PublicRoutersDialEachOtherButNeverLoopbackOrAnyHosts) {
  auto net = TestNetwork::create({.routers = 3, .public_mode = true});
  ASSERT_TRUE(net) << to_string(net.error());

  // A reachable router that publishes 127.0.0.1 (listening, so a dial would succeed), and
  // a RouterInfo that publishes 0.0.0.0.
  StartOptions local_options;
  local_options.sam_port = 0;
  auto local = Router::start(local_options);
  ASSERT_TRUE(local);
  const common::RouterInfo any = signed_router_info("0.0.0.0");
  const std::vector<common::Hash> forbidden = {local->router_hash(), hash_of(any)};
  for (std::size_t i = 0; i < net->size(); ++i) {
    ASSERT_TRUE((*net)[i].netdb.store_router_info(local->router_info));
    ASSERT_TRUE((*net)[i].netdb.store_router_info(any));
  }

  bool forbidden_dialled = false;
  const bool linked = net->run_until(
      [&] {
        bool all = true;
        for (std::size_t i = 0; i < net->size(); ++i) {
          Router& r = (*net)[i];
          for (const auto& d : r.pending_dials) forbidden_dialled |= is_peer_in_list(d.peer, forbidden);
          for (const auto& s : r.peer_sessions) forbidden_dialled |= is_peer_in_list(s.peer, forbidden);
          for (std::size_t j = 0; j < net->size(); ++j) {
            if (i != j && !r.has_connected_peer(net->hash(j))) all = false;
          }
        }
        return all;
      },
      10000);
  ASSERT_TRUE(linked);
  EXPECT_FALSE(forbidden_dialled);
  EXPECT_TRUE(local->pending_accepts.empty());
  local->step_ntcp2_peers(ntcp2_net::read_now());
  EXPECT_TRUE(local->pending_accepts.empty() && local->peer_sessions.empty());  // nobody connected to it

  for (std::size_t i = 0; i < net->size(); ++i) {
    Router& r = (*net)[i];
    EXPECT_GE(r.peer_sessions.size(), 2u);
    const std::string line = cmd_router::status_line(r);
    EXPECT_EQ(line.rfind("[public] peers=" + std::to_string(r.peer_sessions.size()) +
                             " dials=" + std::to_string(r.pending_dials.size()) + " netdb=5(",
                         0),
              0u)
        << line;
  }
  local->close();
}

}  // namespace
}  // namespace router
