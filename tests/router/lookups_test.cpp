// The router's own lookups on one router of a test network, time passed in: whom it asks
// (against a selection computed with OpenSSL's SHA-256), the form of each query (through a
// tunnel, opened hop by hop and by the asked router's key), re-queries and time-outs,
// search replies, and the lines its SAM clients read.
#include <gtest/gtest.h>

#include <algorithm>

#include "ratchet/block.h"
#include "ratchet/clove.h"
#include "ratchet/router_garlic.h"
#include "tests/router/lookups_test_util.h"
#include "tests/router/peers_test_util.h"
#include "tests/support/test_network.h"

namespace router {
namespace {

using lookups_test::by_distance;
using lookups_test::network;
using lookups_test::new_session;
using lookups_test::P;
using lookups_test::queued_for;
using lookups_test::queued_of;
using lookups_test::random_hash;
using lookups_test::SamClientEnd;
using ntcp2_net::Now;
using ntcp2_net::read_now;
using test_support::TestNetwork;

// One inbound tunnel (hop in) and one outbound tunnel (hop out) for the router.
void give_tunnels(TestNetwork& net, std::size_t owner, std::size_t in, std::size_t out) {
  ASSERT_TRUE(net.install_tunnel(owner, {in}, /*outbound=*/false));
  ASSERT_TRUE(net.install_tunnel(owner, {out}, /*outbound=*/true));
}

bool start_polled(Router& r, const common::Hash& key, const Now& now) {
  return r.start_polled_lease_set_lookup(key, now);
}

TEST(LookupStart, AsksTheClosestFloodfillDirectlyOutsidePublicMode) {
  TestNetwork net = network(5, {1, 2, 4});
  Router& r = net[0];
  const common::Hash key = random_hash();
  const Now t0 = read_now();
  ASSERT_TRUE(start_polled(r, key, t0));

  const std::vector<common::Hash> expected = by_distance(key, t0.wall_s(), {net.hash(1), net.hash(2), net.hash(4)});
  ASSERT_EQ(r.pending_lookups.size(), 1u);
  const PendingNetDbLookup& l = r.pending_lookups[0];
  EXPECT_EQ(l.lookup_type, LookupKind::LeaseSet);
  EXPECT_EQ(l.queried, std::vector<common::Hash>{expected[0]});
  EXPECT_EQ(l.candidates, std::vector<common::Hash>(expected.begin() + 1, expected.end()));
  ASSERT_EQ(l.replies.size(), 1u);

  const auto sent = queued_of<P::DatabaseLookup>(r, expected[0]);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(r.pending_sends.size(), 1u);
  EXPECT_EQ(sent[0].key, key);
  EXPECT_EQ(sent[0].from, r.router_hash());
  EXPECT_EQ(sent[0].flags, 0x14);
  EXPECT_FALSE(sent[0].reply_tunnel_id);
  EXPECT_EQ(sent[0].excluded_peers, std::vector<common::Hash>{expected[0]});
  EXPECT_EQ(sent[0].reply_key, Bytes(l.replies[0].key.begin(), l.replies[0].key.end()));
  EXPECT_EQ(sent[0].reply_tags, std::vector<Bytes>{Bytes(l.replies[0].tag.begin(), l.replies[0].tag.end())});
}

TEST(LookupStart, WithoutFloodfillsAnyRouterIsAskedAndWithoutRoutersNothingStarts) {
  TestNetwork net = network(3);
  const common::Hash key = random_hash();
  const Now t0 = read_now();
  ASSERT_TRUE(start_polled(net[0], key, t0));
  const std::vector<common::Hash> expected = by_distance(key, t0.wall_s(), {net.hash(1), net.hash(2)});
  EXPECT_EQ(net[0].pending_lookups[0].queried, std::vector<common::Hash>{expected[0]});
  EXPECT_EQ(net[0].pending_lookups[0].candidates, std::vector<common::Hash>{expected[1]});

  TestNetwork alone = network(1);
  EXPECT_FALSE(start_polled(alone[0], key, t0));
  alone[0].start_background_lookup(key, LookupKind::RouterInfo, t0);
  EXPECT_TRUE(alone[0].pending_lookups.empty());
  EXPECT_TRUE(alone[0].pending_sends.empty());
}

TEST(LookupQuery, EachQueryHasASealOfItsOwnAndALookupKeepsSixteen) {
  TestNetwork net = network(2);
  Router& r = net[0];
  PendingNetDbLookup lookup;
  lookup.key = random_hash();
  lookup.lookup_type = LookupKind::RouterInfo;
  std::vector<common::Hash> peers;
  for (int i = 0; i < 18; ++i) peers.push_back(random_hash());
  const Now now = read_now();
  std::vector<ReplySeal> seals;
  for (std::size_t i = 0; i < peers.size(); ++i) {
    ASSERT_TRUE(r.send_lookup_query(lookup, peers[i], now));
    const auto sent = queued_of<P::DatabaseLookup>(r, peers[i]);
    ASSERT_EQ(sent.size(), 1u);
    ASSERT_EQ(sent[0].reply_tags.size(), 1u);
    seals.push_back(lookup.replies.back());
    EXPECT_EQ(*sent[0].reply_key, Bytes(seals.back().key.begin(), seals.back().key.end()));
    EXPECT_EQ(sent[0].reply_tags[0], Bytes(seals.back().tag.begin(), seals.back().tag.end()));
    // The excluded list: the last 8 routers asked, oldest first, this one included.
    const std::size_t first = i + 1 > 8 ? i + 1 - 8 : 0;
    EXPECT_EQ(sent[0].excluded_peers, std::vector<common::Hash>(peers.begin() + static_cast<std::ptrdiff_t>(first),
                                                                peers.begin() + static_cast<std::ptrdiff_t>(i + 1)))
        << i;
  }
  for (std::size_t i = 0; i < seals.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      EXPECT_NE(seals[i].key, seals[j].key);
      EXPECT_NE(seals[i].tag, seals[j].tag);
    }
  }
  ASSERT_EQ(lookup.replies.size(), kMaxReplySeals);
  EXPECT_EQ(lookup.replies.front().tag, seals[2].tag);  // the two oldest dropped
  EXPECT_EQ(lookup.queried, peers);
}

TEST(LookupQuery, ThroughTunnelsItIsRouterGarlicWithFlags15AndTheReplyGatewayAsFrom) {
  // Router 0 looks up; router 1 is the gateway of its inbound tunnel, router 2 the
  // endpoint of its outbound tunnel, router 3 the floodfill asked.
  TestNetwork net = network(4, {3});
  Router& r = net[0];
  give_tunnels(net, 0, 1, 2);
  r.debug = true;
  const common::Hash key = random_hash();
  testing::internal::CaptureStdout();
  ASSERT_TRUE(start_polled(r, key, read_now()));
  const std::string out = testing::internal::GetCapturedStdout();

  const tunnel::TunnelHop& gateway = r.tunnels.inbound[0].hops[0];
  EXPECT_EQ(out, "[debug] NetDB lookup type=1 key=" + key.to_b32_address() +
                     " -> peer=" + net.hash(3).to_b32_address() + " via tunnel " +
                     std::to_string(r.tunnels.outbound[0].tunnel_id) + " (reply_ibgw=" + net.hash(1).to_b32_address() +
                     ":" + std::to_string(gateway.receive_tunnel_id) + ")\n");
  EXPECT_TRUE(queued_for(r, net.hash(3)).empty());  // nothing went to the floodfill directly
  const auto cells = queued_of<P::TunnelData>(r, net.hash(2));
  ASSERT_EQ(cells.size(), 1u);

  // The endpoint takes off its layer and sends the message on to the floodfill.
  Router& endpoint = net[2];
  endpoint.dispatch_i2np_message({net.hash(0), MessageOrigin::Direct, 0}, {P{cells[0]}.msg_type(), 1, 0}, P{cells[0]},
                                 read_now());
  const auto garlics = queued_of<P::Garlic>(endpoint, net.hash(3));
  ASSERT_EQ(garlics.size(), 1u);
  auto blocks = ratchet::decrypt_router_garlic(net[3].static_keypair, garlics[0].data);
  ASSERT_TRUE(blocks);
  ASSERT_EQ(blocks->size(), 2u);
  const auto* time = (*blocks)[0].get_if<ratchet::RatchetBlock::DateTime>();
  ASSERT_NE(time, nullptr);
  EXPECT_LE(time->seconds, read_now().wall_s());
  EXPECT_GE(time->seconds + 5, read_now().wall_s());
  const auto* clove = (*blocks)[1].get_if<ratchet::RatchetBlock::GarlicClove>();
  ASSERT_NE(clove, nullptr);
  auto message = ratchet::decode_garlic_clove_i2np(clove->message);
  ASSERT_TRUE(message);
  const auto* lookup = std::get_if<P::DatabaseLookup>(&message->second.value);
  ASSERT_NE(lookup, nullptr);
  EXPECT_EQ(lookup->key, key);
  EXPECT_EQ(lookup->flags, 0x15);
  EXPECT_EQ(lookup->from, net.hash(1));
  EXPECT_EQ(lookup->reply_tunnel_id, gateway.receive_tunnel_id);
  const ReplySeal& seal = r.pending_lookups[0].replies[0];
  EXPECT_EQ(lookup->reply_tags, std::vector<Bytes>{Bytes(seal.tag.begin(), seal.tag.end())});
}

TEST(LookupPass, TimersOfEachKindOfLookup) {
  struct Case {
    const char* name;
    bool public_mode;
    LookupKind lookup_type;    // a client LeaseSet lookup or a background RouterInfo lookup
    std::uint64_t requery_ms;  // 0: never re-asked
    std::uint64_t timeout_ms;
  };
  const std::vector<Case> cases = {
      {"LeaseSet lookup outside public mode", false, LookupKind::LeaseSet, 0, 8000},
      {"LeaseSet lookup in public mode", true, LookupKind::LeaseSet, 2500, 25000},
      {"background RouterInfo lookup", false, LookupKind::RouterInfo, 3000, 15000},
  };
  for (const Case& c : cases) {
    TestNetwork net = network(8, {1, 2, 3, 4, 5, 6, 7}, c.public_mode);
    Router& r = net[0];
    give_tunnels(net, 0, 1, 2);
    const common::Hash key = random_hash();
    const Now t0 = read_now();
    if (c.lookup_type == LookupKind::LeaseSet) {
      ASSERT_TRUE(start_polled(r, key, t0)) << c.name;
    } else {
      r.start_background_lookup(key, LookupKind::RouterInfo, t0);
    }
    ASSERT_EQ(r.pending_lookups.size(), 1u) << c.name;
    const std::size_t asked = r.pending_lookups[0].queried.size();
    EXPECT_EQ(asked, c.public_mode ? 2u : 1u) << c.name;

    if (c.requery_ms != 0) {
      r.step_pending_lookups(t0.after(c.requery_ms));
      EXPECT_EQ(r.pending_lookups[0].queried.size(), asked) << c.name;
      r.step_pending_lookups(t0.after(c.requery_ms + 1));
      EXPECT_EQ(r.pending_lookups[0].queried.size(), asked + 1) << c.name;
      EXPECT_EQ(r.pending_lookups[0].last_query_ms, t0.mono_ms + c.requery_ms + 1) << c.name;
    } else {
      for (std::uint64_t ms = 0; ms <= c.timeout_ms; ms += 500) r.step_pending_lookups(t0.after(ms));
      EXPECT_EQ(r.pending_lookups[0].queried.size(), asked) << c.name;
    }
    r.step_pending_lookups(t0.after(c.timeout_ms));
    EXPECT_EQ(r.pending_lookups.size(), 1u) << c.name;
    r.step_pending_lookups(t0.after(c.timeout_ms + 1));
    EXPECT_TRUE(r.pending_lookups.empty()) << c.name;
  }
}

TEST(LookupPass, ABackgroundRouterInfoLookupEndsWhenTheRouterIsKnown) {
  TestNetwork net = network(3);
  Router& r = net[0];
  const common::RouterInfo info = peers_test::reference_router_info("plain-127.0.0.3.dat");
  const Now t0 = read_now();
  r.start_background_lookup(peers_test::hash_of(info), LookupKind::RouterInfo, t0);
  r.start_background_lookup(peers_test::hash_of(info), LookupKind::Exploratory, t0);
  ASSERT_EQ(r.pending_lookups.size(), 2u);
  ASSERT_TRUE(r.netdb.store_router_info(info));
  r.step_pending_lookups(t0.after(1));
  ASSERT_EQ(r.pending_lookups.size(), 1u);
  EXPECT_EQ(r.pending_lookups[0].lookup_type, LookupKind::Exploratory);
}

TEST(LookupPass, PublicModeWithOneFloodfillAsksItAloneThenOthersThenWaits) {
  // Router 1 is the only floodfill; router 2 carries both tunnels of router 0.
  TestNetwork net = network(3, {1}, /*public_mode=*/true);
  Router& r = net[0];
  give_tunnels(net, 0, 2, 2);
  const common::Hash key = random_hash();
  const Now t0 = read_now();
  ASSERT_TRUE(start_polled(r, key, t0));
  const PendingNetDbLookup& l = r.pending_lookups.at(0);
  EXPECT_EQ(l.queried, std::vector<common::Hash>{net.hash(1)});
  EXPECT_TRUE(l.candidates.empty());

  r.step_pending_lookups(t0.after(2501));  // the closest router not asked, floodfill or not
  EXPECT_EQ(l.queried, (std::vector<common::Hash>{net.hash(1), net.hash(2)}));
  r.step_pending_lookups(t0.after(5002));  // nobody is left: it waits another 2,500 ms
  EXPECT_EQ(l.queried.size(), 2u);
  EXPECT_EQ(l.last_query_ms, t0.mono_ms + 5002);
  r.step_pending_lookups(t0.after(7502));
  EXPECT_EQ(l.last_query_ms, t0.mono_ms + 5002);
}

TEST(LookupPass, InPublicModeClientLookupsWaitForTunnelsAndBackgroundOnesDoNot) {
  TestNetwork net = network(4, {1, 2}, /*public_mode=*/true);
  Router& r = net[0];
  const common::Hash key = random_hash();
  const Now t0 = read_now();
  ASSERT_TRUE(start_polled(r, key, t0));
  ASSERT_EQ(r.pending_lookups.size(), 1u);
  EXPECT_TRUE(r.pending_lookups[0].queried.empty());
  EXPECT_EQ(r.pending_lookups[0].candidates.size(), 2u);
  r.step_pending_lookups(t0.after(2501));
  EXPECT_TRUE(r.pending_sends.empty());  // nothing tells a floodfill who looks for the destination
  EXPECT_TRUE(r.pending_dials.empty());

  r.start_background_lookup(random_hash(), LookupKind::RouterInfo, t0.after(2501));
  EXPECT_EQ(r.pending_sends.size(), 1u);

  r.pending_sends.clear();
  give_tunnels(net, 0, 3, 3);
  r.step_pending_lookups(t0.after(5002));
  ASSERT_EQ(r.pending_lookups[0].queried.size(), 1u);
  EXPECT_EQ(queued_of<P::TunnelData>(r, net.hash(3)).size(), 1u);
  EXPECT_TRUE(queued_of<P::DatabaseLookup>(r, r.pending_lookups[0].queried[0]).empty());
}

TEST(LookupQuery, AFailedTunnelSendFallsBackToADirectQueryOnlyOutsidePublicMode) {
  for (const bool public_mode : {false, true}) {
    TestNetwork net = network(3, {1}, public_mode);
    Router& r = net[0];
    ASSERT_TRUE(net.install_tunnel(0, {2}, /*outbound=*/false));
    ASSERT_TRUE(net.install_tunnel(0, {}, /*outbound=*/true));  // no hops: every send through it fails
    const common::Hash key = random_hash();
    ASSERT_TRUE(start_polled(r, key, read_now()));
    EXPECT_EQ(r.pending_lookups.at(0).queried, std::vector<common::Hash>{net.hash(1)});
    const auto direct = queued_of<P::DatabaseLookup>(r, net.hash(1));
    if (public_mode) {
      EXPECT_TRUE(r.pending_sends.empty());
      // A background lookup tells nobody about a destination: it still goes directly.
      r.start_background_lookup(random_hash(), LookupKind::RouterInfo, read_now());
      EXPECT_EQ(queued_of<P::DatabaseLookup>(r, net.hash(1)).size(), 1u);
    } else {
      ASSERT_EQ(direct.size(), 1u);
      EXPECT_EQ(direct[0].flags, 0x14);
      EXPECT_EQ(direct[0].from, r.router_hash());
    }
  }
}

TEST(SearchReply, OnlyARouterThatWasAskedIsHeard) {
  TestNetwork net = network(4, {1});
  Router& r = net[0];
  const common::Hash key = random_hash();
  const Now t0 = read_now();
  ASSERT_TRUE(start_polled(r, key, t0));
  const common::Hash asked = net.hash(1);
  ASSERT_EQ(r.pending_lookups[0].queried, std::vector<common::Hash>{asked});
  std::vector<common::Hash> unknown;
  for (int i = 0; i < 10; ++i) unknown.push_back(random_hash());
  r.pending_sends.clear();

  // From a router that was not asked: nothing changes, nothing is sent.
  r.handle_database_search_reply_msg({key, {net.hash(2), net.hash(3), unknown[0]}, net.hash(2)}, t0);
  EXPECT_EQ(r.pending_lookups.size(), 1u);
  EXPECT_TRUE(r.pending_lookups[0].candidates.empty());
  EXPECT_EQ(r.pending_lookups[0].queried, std::vector<common::Hash>{asked});
  EXPECT_TRUE(r.pending_sends.empty());

  // From the router asked: the known routers become candidates and the first is asked at
  // once; of the ten unknown ones, four are looked up, each asking the replier first.
  std::vector<common::Hash> peers = {net.hash(2), r.router_hash(), asked, net.hash(3)};
  peers.insert(peers.end(), unknown.begin(), unknown.end());
  r.handle_database_search_reply_msg({key, peers, asked}, t0);
  ASSERT_EQ(r.pending_lookups.size(), 5u);
  EXPECT_EQ(r.pending_lookups[0].queried, (std::vector<common::Hash>{asked, net.hash(2)}));
  EXPECT_EQ(r.pending_lookups[0].candidates, std::vector<common::Hash>{net.hash(3)});
  for (std::size_t i = 1; i < 5; ++i) {
    const PendingNetDbLookup& l = r.pending_lookups[i];
    EXPECT_EQ(l.key, unknown[i - 1]);
    EXPECT_EQ(l.purpose, kLookupInBackground);
    EXPECT_EQ(l.lookup_type, LookupKind::RouterInfo);
    EXPECT_EQ(l.queried.at(0), asked);
  }
}

TEST(SearchReply, NoBackgroundLookupStartsWhileSixtyFourArePending) {
  TestNetwork net = network(2);
  Router& r = net[0];
  const Now t0 = read_now();
  for (int i = 0; i < 70; ++i) r.start_background_lookup(random_hash(), LookupKind::RouterInfo, t0);
  EXPECT_EQ(r.pending_lookups.size(), 64u);
  // Client lookups have a bound of their own.
  int started = 0;
  for (int i = 0; i < 300; ++i) started += start_polled(r, random_hash(), t0) ? 1 : 0;
  EXPECT_EQ(started, 256);
}

// --- Answers to SAM clients ----------------------------------------------------------------

struct SamFixture {
  TestNetwork net = network(2);
  Router& r = net[0];
  SamSession host = new_session(net[1], "host");
  common::LeaseSet2 lease_set = net[1].build_session_leaseset2(host, read_now()).value();
};

TEST(LookupSam, ALeaseSet2ThatArrivesAnswersEveryLookupOfItsKey) {
  SamFixture f;
  SamClientEnd naming(f.r), connect(f.r);
  const Now t0 = read_now();
  ASSERT_TRUE(
      f.r.start_netdb_lookup(f.host.dest_hash, kLookupForNaming, naming.index(), "peer.i2p", "", false, 0, 0, t0));
  ASSERT_TRUE(f.r.start_netdb_lookup(f.host.dest_hash, kLookupForStreamConnect, connect.index(), "", "no-such-session",
                                     false, 0, 0, t0));
  ASSERT_TRUE(f.r.start_polled_lease_set_lookup(random_hash(), t0));
  ASSERT_TRUE(f.r.netdb.store_lease_set2(f.lease_set, t0.wall_s()));
  f.r.complete_lookups_for_hash(f.host.dest_hash, t0);

  ASSERT_EQ(f.r.pending_lookups.size(), 1u);
  EXPECT_NE(f.r.pending_lookups[0].key, f.host.dest_hash);
  EXPECT_EQ(naming.received(), "NAMING REPLY RESULT=OK NAME=peer.i2p VALUE=" + f.host.public_b64 + "\n");
  // The STREAM CONNECT names no session of this router.
  EXPECT_EQ(connect.received(), "STREAM STATUS RESULT=INVALID_ID\n");
  EXPECT_TRUE(connect.closed_by_router());
  EXPECT_TRUE(f.r.find_sam_client(connect.index())->closed);
  EXPECT_FALSE(naming.closed_by_router());
}

TEST(LookupSam, TheLookupPassAnswersAKnownLeaseSet2) {
  SamFixture f;
  SamClientEnd naming(f.r);
  const Now t0 = read_now();
  ASSERT_TRUE(f.r.start_netdb_lookup(f.host.dest_hash, kLookupForNaming, naming.index(), "a.i2p", "", false, 0, 0, t0));
  ASSERT_TRUE(f.r.netdb.store_lease_set2(f.lease_set, t0.wall_s()));
  f.r.step_pending_lookups(t0.after(1));
  EXPECT_TRUE(f.r.pending_lookups.empty());
  EXPECT_EQ(naming.received(), "NAMING REPLY RESULT=OK NAME=a.i2p VALUE=" + f.host.public_b64 + "\n");
}

TEST(LookupSam, TimedOutLookupsTellTheirClients) {
  struct Case {
    const char* name;
    std::uint32_t purpose;
    bool silent;
    std::string line;
    bool closes;
  };
  const std::vector<Case> cases = {
      {"NAMING LOOKUP", kLookupForNaming, false, "NAMING REPLY RESULT=KEY_NOT_FOUND NAME=gone.i2p\n", false},
      {"STREAM CONNECT", kLookupForStreamConnect, false, "STREAM STATUS RESULT=CANT_REACH_PEER\n", true},
      {"silent STREAM CONNECT", kLookupForStreamConnect, true, "", true},
  };
  for (const Case& c : cases) {
    SamFixture f;
    SamClientEnd client(f.r);
    const Now t0 = read_now();
    ASSERT_TRUE(
        f.r.start_netdb_lookup(f.host.dest_hash, c.purpose, client.index(), "gone.i2p", "s", c.silent, 0, 0, t0));
    f.r.step_pending_lookups(t0.after(8000));
    EXPECT_EQ(client.received(), "") << c.name;
    f.r.step_pending_lookups(t0.after(8001));
    EXPECT_TRUE(f.r.pending_lookups.empty()) << c.name;
    EXPECT_EQ(client.received(), c.line) << c.name;
    EXPECT_EQ(client.closed_by_router(), c.closes) << c.name;
    EXPECT_EQ(f.r.find_sam_client(client.index())->closed, c.closes) << c.name;
  }
}

TEST(LookupSam, AClientThatIsGoneIsNotAnsweredAndItsLookupStillEnds) {
  SamFixture f;
  SamClientEnd client(f.r);
  const Now t0 = read_now();
  ASSERT_TRUE(f.r.start_netdb_lookup(f.host.dest_hash, kLookupForNaming, client.index(), "x.i2p", "", false, 0, 0, t0));
  ASSERT_TRUE(f.r.start_netdb_lookup(f.host.dest_hash, kLookupForNaming, 7, "y.i2p", "", false, 0, 0, t0));
  f.r.find_sam_client(client.index())->closed = true;
  f.r.step_pending_lookups(t0.after(8001));
  EXPECT_TRUE(f.r.pending_lookups.empty());
  EXPECT_EQ(client.received(), "");
}

}  // namespace
}  // namespace router
