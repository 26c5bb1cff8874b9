// The back-off list and the two peer pickers.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "router/router.h"
#include "tests/router/peers_test_util.h"
#include "tests/support/test_network.h"

namespace router {
namespace {

using ntcp2_net::Now;
using ntcp2_net::read_now;
using peers_test::hash_of;
using peers_test::signed_router_info;
using test_support::TestNetwork;

common::Hash hash_n(std::uint32_t n) {
  common::Hash h;
  for (int i = 0; i < 4; ++i) h.bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(n >> (8 * i));
  h.bytes[31] = 0xEE;
  return h;
}

Router started_router() {
  StartOptions o;
  o.ntcp2_host = "127.0.0.2";
  o.sam_port = 0;
  auto r = Router::start(o);
  EXPECT_TRUE(r);
  return std::move(*r);
}

TEST(PeerBackoff, EntriesExpireReplaceInPlaceAndDropTheOldest) {
  Router r = started_router();
  r.mark_peer_failed(hash_n(1), 60000, Now{1000, 0});
  r.mark_peer_failed(hash_n(2), 120000, Now{1000, 0});
  r.mark_peer_failed(hash_n(1), 60000, Now{5000, 0});  // the later failure replaces the first
  ASSERT_EQ(r.peer_backoff.size(), 2u);
  EXPECT_EQ(r.peer_backoff[0].peer, hash_n(1));
  EXPECT_EQ(r.peer_backoff[0].until_ms, 65000u);

  EXPECT_TRUE(r.is_peer_backed_off(hash_n(1), Now{64999, 0}));
  EXPECT_FALSE(r.is_peer_backed_off(hash_n(3), Now{64999, 0}));
  EXPECT_EQ(r.peer_backoff.size(), 2u);
  // At its time an entry has expired, and any check removes it, whichever peer it asks for.
  EXPECT_FALSE(r.is_peer_backed_off(hash_n(3), Now{65000, 0}));
  ASSERT_EQ(r.peer_backoff.size(), 1u);
  EXPECT_EQ(r.peer_backoff[0].peer, hash_n(2));
  EXPECT_FALSE(r.is_peer_backed_off(hash_n(2), Now{121000, 0}));
  EXPECT_TRUE(r.peer_backoff.empty());

  for (std::uint32_t n = 0; n < 512; ++n) r.mark_peer_failed(hash_n(n), 60000, Now{1000, 0});
  EXPECT_EQ(r.peer_backoff.size(), 512u);
  r.mark_peer_failed(hash_n(1000), 60000, Now{1000, 0});
  EXPECT_EQ(r.peer_backoff.size(), 512u);
  EXPECT_EQ(r.peer_backoff.front().peer, hash_n(1));
  EXPECT_EQ(r.peer_backoff.back().peer, hash_n(1000));
  r.close();
}

TEST(PeerBackoff, PeerListMembershipComparesBytes) {
  EXPECT_TRUE(is_peer_in_list(hash_n(3), {hash_n(1), hash_n(3)}));
  EXPECT_FALSE(is_peer_in_list(hash_n(2), {hash_n(1), hash_n(3)}));
  EXPECT_FALSE(is_peer_in_list(hash_n(2), {}));
}

TEST(PeerPickers, UsablePeersSkipOwnBackedOffLoopbackAnyIpv6AndNonX25519) {
  Router r = started_router();
  // Public addresses that nothing here ever dials.
  const std::vector<common::RouterInfo> good = {signed_router_info("11.0.0.10"), signed_router_info("11.0.0.11"),
                                                signed_router_info("93.184.216.34")};
  const std::vector<common::RouterInfo> bad = {signed_router_info("127.0.0.1"),
                                               signed_router_info("0.0.0.0"),
                                               signed_router_info("::1"),
                                               signed_router_info("2a00:1450::7"),
                                               signed_router_info("11.0.0.12", common::CryptoPublicKeyType::ElGamal),
                                               signed_router_info("11.0.0.13")};  // backed off below
  for (const auto& info : good) ASSERT_TRUE(r.netdb.store_router_info(info));
  for (const auto& info : bad) ASSERT_TRUE(r.netdb.store_router_info(info));
  const Now now{1'000'000, 1'700'000'000'000};
  r.mark_peer_failed(hash_of(bad.back()), 60000, now);

  std::set<common::Hash> expected;
  for (const auto& info : good) expected.insert(hash_of(info));
  // Several draws, so that different random starts are seen.
  for (int draw = 0; draw < 20; ++draw) {
    const auto all = r.pick_usable_peers(10, {}, now);
    EXPECT_EQ(std::set<common::Hash>(all.begin(), all.end()), expected);
    EXPECT_EQ(all.size(), 3u);
    const auto two = r.pick_usable_peers(2, {hash_of(good[0])}, now);
    EXPECT_EQ(two.size(), 2u);
    EXPECT_FALSE(is_peer_in_list(hash_of(good[0]), two));
    EXPECT_NE(two[0], two[1]);
  }
  EXPECT_TRUE(r.pick_usable_peers(0, {}, now).empty());
  // Once the back-off has passed, that peer is usable again.
  EXPECT_EQ(r.pick_usable_peers(10, {}, now.after(60000)).size(), 4u);
  r.close();
}

// A public router never dials into the user's own network, whatever RouterInfos the
// network hands it: neither as a picked peer nor when a message is sent to such a peer.
TEST(PeerPickers, PublicModeNeverDialsReservedAddresses) {
  // A listener on a loopback address other than 127.0.0.1: reachable, so only the rule can
  // keep the router away from it.
  auto lan = ntcp2_net::TcpListener::bind("127.0.0.7", 0);
  ASSERT_TRUE(lan);
  const auto port = static_cast<std::uint16_t>(lan->port);
  std::vector<common::RouterInfo> reserved;
  for (const char* host : {"127.0.0.7", "10.1.2.3", "192.168.1.20", "172.16.5.5", "169.254.10.10", "100.64.1.1"}) {
    reserved.push_back(peers_test::signed_router_info(host, std::nullopt, port));
  }
  const common::RouterInfo public_peer = peers_test::signed_router_info("93.184.216.34");

  Router r = started_router();
  r.public_mode = true;
  for (const auto& info : reserved) ASSERT_TRUE(r.netdb.store_router_info(info));
  ASSERT_TRUE(r.netdb.store_router_info(public_peer));
  const Now now = read_now();
  for (int draw = 0; draw < 10; ++draw) {
    EXPECT_EQ(r.pick_usable_peers(10, {}, now), std::vector<common::Hash>{hash_of(public_peer)});
  }
  for (const auto& info : reserved) {
    r.send_i2np_to_peer(hash_of(info), peers_test::database_store_of(info), now);
    EXPECT_TRUE(r.pending_dials.empty()) << info.addresses[0].options.get("host").value_or("");
    EXPECT_TRUE(r.is_peer_backed_off(hash_of(info), now));
  }
  EXPECT_FALSE(lan->accept(0).value().has_value());  // nobody called

  // Outside public mode (a local test network) the same peer is dialled; so is it by a
  // public router whose test lifts the rule.
  for (const bool public_mode : {false, true}) {
    Router local = started_router();
    local.public_mode = public_mode;
    local.dial_reserved_addresses = public_mode;
    ASSERT_TRUE(local.netdb.store_router_info(reserved[0]));
    local.ensure_peer_dial(hash_of(reserved[0]), now);
    EXPECT_EQ(local.pending_dials.size(), 1u) << public_mode;
    local.close();
  }
  r.close();
}

TEST(PeerPickers, ConnectedHopIsAnUnexcludedSessionPeerWithAnX25519RouterInfo) {
  auto net = TestNetwork::create({.routers = 3});
  ASSERT_TRUE(net);
  Router& r = (*net)[0];
  EXPECT_FALSE(r.pick_connected_hop({}, read_now()).has_value());  // no sessions
  r.ensure_peer_dial(net->hash(1), read_now());
  r.ensure_peer_dial(net->hash(2), read_now());
  ASSERT_TRUE(net->run_until([&] { return r.peer_sessions.size() == 2; }, 5000, TestNetwork::peers_step));

  const Now now{1000, 1'700'000'000'000};
  std::set<common::Hash> seen;
  for (int draw = 0; draw < 40; ++draw) {
    auto hop = r.pick_connected_hop({}, now);
    ASSERT_TRUE(hop);
    seen.insert(*hop);
  }
  EXPECT_EQ(seen, (std::set<common::Hash>{net->hash(1), net->hash(2)}));
  EXPECT_EQ(r.pick_connected_hop({net->hash(1)}, now), net->hash(2));
  r.mark_peer_failed(net->hash(2), 60000, now);
  EXPECT_FALSE(r.pick_connected_hop({net->hash(1)}, now).has_value());
  EXPECT_EQ(r.pick_connected_hop({}, now), net->hash(1));
}

}  // namespace
}  // namespace router
