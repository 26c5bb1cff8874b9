// The DHT over datagrams of the torrent session: queries written by hand in the public
// KRPC form reach an engine over the test network and are answered on the reply port;
// forged, unknown and repeated replies change nothing; the bootstrap queue is bounded;
// and a get_peers lookup across three routers finds the seeder.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "bittorrent/krpc.h"
#include "encoding/i2cp_gzip.h"
#include "streaming/datagram.h"
#include "tests/torrent/torrent_net.h"
#include "torrent/dht_steps.h"
#include "torrent/engine.h"

namespace torrent_test {
namespace {

std::string str(ByteView b) { return std::string(b.begin(), b.end()); }
std::string str(const common::Hash& h) { return std::string(h.bytes.begin(), h.bytes.end()); }

// A node id that the table accepts for the destination at the port.
std::string rule_id(const common::Hash& h, std::uint32_t port, std::uint8_t fill = 0x33) {
  std::array<std::uint8_t, 14> free{};
  free.fill(fill);
  const bittorrent::DhtNodeId id = bittorrent::make_dht_node_id(h, port, free);
  return std::string(id.begin(), id.end());
}

std::string bstr(const std::string& s) { return std::to_string(s.size()) + ":" + s; }

TEST(DhtPorts, ReplyPortRule) {
  const std::vector<std::pair<std::uint32_t, std::uint32_t>> cases = {{6881, 6882}, {65535, 65535}, {0, 6882},
                                                                      {1, 2},       {65534, 65535}, {6882, 6883}};
  for (const auto& [source, reply] : cases) EXPECT_EQ(router::bt_dht_reply_port(source), reply) << source;
}

// Router 0 runs the engine; router 1 holds a test destination that plays another DHT
// node, sending hand-written queries and reading the raw replies.
struct DhtPair {
  std::unique_ptr<TorrentNet> t;
  router::SamSession* node = nullptr;

  DhtPair() {
    t = TorrentNet::create(2);
    if (!t) return;
    t->net[1].sessions.push_back(stream_session(t->net[1], "dht-node"));
    node = &t->net[1].sessions.back();
    t->share_lease_set(1, *node);
  }
  router::TorrentEngine& engine() { return t->engine(0); }
  router::SamSession& session() { return *t->session(0); }

  // Sends the KRPC bytes from the test node's source port to the engine's port 6881 and
  // returns the raw reply datagram (its header and bytes).
  std::optional<std::pair<encoding::I2cpGzipHeader, Bytes>> ask(const std::string& krpc, std::uint16_t src_port) {
    auto env = streaming::encode_i2cp_repliable_datagram(node->destination, *node->signing_key, to_bytes(krpc),
                                                         src_port, 6881);
    EXPECT_TRUE(env);
    if (!env) return std::nullopt;
    EXPECT_TRUE(t->net[1].send_torrent_i2cp(*node, t->dest(0), *env, true, ntcp2_net::read_now()));
    if (!t->run([&] { return !node->streams->raw_datagrams.empty(); }, 30'000)) return std::nullopt;
    auto got = std::move(node->streams->raw_datagrams.front());
    node->streams->raw_datagrams.pop_front();
    return got;
  }
};

TEST(DhtQueries, PingIsAnsweredOnTheReplyPortAndTheQuerierJoinsTheTable) {
  struct Case {
    std::uint16_t src;
    std::uint16_t reply_port;
    std::uint32_t recorded_port;
  };
  for (const Case c :
       {Case{6881, 6882, 6881}, Case{65535, 65535, 65535}, Case{0, 6882, 6881}, Case{4000, 4001, 4000}}) {
    SCOPED_TRACE(c.src);
    DhtPair p;
    ASSERT_TRUE(p.t);
    const std::string id = rule_id(p.node->dest_hash, c.recorded_port);
    const auto reply = p.ask("d1:ad2:id" + bstr(id) + "e1:q4:ping1:t2:aa1:y1:qe", c.src);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->first.src_port, 6881);
    EXPECT_EQ(reply->first.dst_port, c.reply_port);
    EXPECT_EQ(reply->first.protocol, 18);
    const bittorrent::DhtNodeId& own = p.engine().dht.node_id;
    EXPECT_EQ(str(reply->second), "d1:rd2:id20:" + std::string(own.begin(), own.end()) + "e1:t2:aa1:y1:re");
    EXPECT_EQ(p.engine().dht.queries_recv, 1u);
    ASSERT_EQ(p.engine().dht.nodes.size(), 1u);
    EXPECT_EQ(p.engine().dht.nodes[0].hash, p.node->dest_hash);
    EXPECT_EQ(p.engine().dht.nodes[0].port, c.recorded_port);
  }
}

TEST(DhtQueries, GetPeersAndAnnounce) {
  DhtPair p;
  ASSERT_TRUE(p.t);
  const std::string active(20, '\xAB');
  std::string hex_ab;
  for (int i = 0; i < 20; ++i) hex_ab += "ab";
  ASSERT_TRUE(p.t->net[0].add_torrent_magnet("magnet:?xt=urn:btih:" + hex_ab, "", ntcp2_net::read_now()));
  const std::string id = rule_id(p.node->dest_hash, 6881);
  // Another node is in the table, so a miss has nodes to give.
  const common::Hash other = common::Hash::from_bytes(Bytes(32, 0x77)).value();
  ASSERT_TRUE(p.engine().dht.upsert_node(to_bytes(rule_id(other, 6881)), other, 6881, ntcp2_net::read_now().wall_ms));

  // An active torrent of this node: its own destination among the values, no nodes.
  auto hit = p.ask("d1:ad2:id" + bstr(id) + "9:info_hash" + bstr(active) + "e1:q9:get_peers1:t2:g11:y1:qe", 6881);
  ASSERT_TRUE(hit);
  auto hit_msg = bittorrent::decode_krpc(hit->second);
  ASSERT_TRUE(hit_msg);
  const auto* r = std::get_if<bittorrent::KrpcMessage::Response>(&hit_msg->kind);
  ASSERT_TRUE(r);
  EXPECT_EQ(str(r->transaction_id), "g1");
  ASSERT_EQ(r->values.size(), 1u);
  EXPECT_EQ(str(r->values[0]), str(p.t->dest(0)));
  EXPECT_TRUE(r->nodes.empty());
  ASSERT_TRUE(r->token);
  const std::string token = str(*r->token);
  EXPECT_EQ(token.size(), 8u);

  // An unknown info hash: the closest nodes and a token.
  const std::string unknown(20, '\x01');
  auto miss = p.ask("d1:ad2:id" + bstr(id) + "9:info_hash" + bstr(unknown) + "e1:q9:get_peers1:t2:g21:y1:qe", 6881);
  ASSERT_TRUE(miss);
  auto miss_msg = bittorrent::decode_krpc(miss->second);
  ASSERT_TRUE(miss_msg);
  const auto* m = std::get_if<bittorrent::KrpcMessage::Response>(&miss_msg->kind);
  ASSERT_TRUE(m);
  EXPECT_TRUE(m->values.empty());
  EXPECT_EQ(m->nodes.size(), 2 * bittorrent::compact_node_size);  // the other node and the querier
  EXPECT_EQ(m->token, r->token);

  // announce_peer with a wrong token is answered and stores nothing; with the right one
  // the querier is stored.
  auto announce = [&](const std::string& tok, const std::string& tid) {
    return p.ask("d1:ad2:id" + bstr(id) + "9:info_hash" + bstr(unknown) + "4:porti6881e5:token" + bstr(tok) +
                     "e1:q13:announce_peer1:t2:" + tid + "1:y1:qe",
                 6881);
  };
  std::string wrong = token;
  wrong[0] = static_cast<char>(wrong[0] ^ 1);
  auto bad = announce(wrong, "a1");
  ASSERT_TRUE(bad);
  const bittorrent::DhtNodeId& own = p.engine().dht.node_id;
  EXPECT_EQ(str(bad->second), "d1:rd2:id20:" + std::string(own.begin(), own.end()) + "e1:t2:a11:y1:re");
  EXPECT_TRUE(p.engine().dht.live_peers(to_bytes(unknown), ntcp2_net::read_now().wall_ms).empty());
  auto good = announce(token, "a2");
  ASSERT_TRUE(good);
  const auto stored = p.engine().dht.live_peers(to_bytes(unknown), ntcp2_net::read_now().wall_ms);
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0], p.node->dest_hash);
  EXPECT_EQ(p.engine().dht.queries_recv, 4u);
}

TEST(DhtQueries, RepliableDatagramOnTheReplyPortIsDropped) {
  DhtPair p;
  ASSERT_TRUE(p.t);
  const std::string ping = "d1:ad2:id" + bstr(rule_id(p.node->dest_hash, 6881)) + "e1:q4:ping1:t2:aa1:y1:qe";
  auto bytes = streaming::write_repliable_datagram(p.node->destination, *p.node->signing_key, to_bytes(ping));
  ASSERT_TRUE(bytes);
  auto dg = streaming::RepliableDatagram::decode(*bytes);
  ASSERT_TRUE(dg);
  router::SamSession& s = p.session();
  for (std::uint16_t port : {std::uint16_t{6882}, std::uint16_t{6881}, std::uint16_t{0}}) {
    s.streams->dht_datagrams.push_back({encoding::I2cpGzipHeader{6881, port, 17}, *dg});
  }
  EXPECT_TRUE(p.t->net[0].poll_dht_datagrams(p.engine(), s, *s.streams, ntcp2_net::read_now()));
  EXPECT_TRUE(s.streams->dht_datagrams.empty());
  EXPECT_EQ(p.engine().dht.queries_recv, 2u);  // 6881 and 0, not 6882
}

// --- Replies to our own queries -------------------------------------------------------

// Router 0 sends a get_peers to the test node for a torrent of its own; replies are then
// put straight into the session's raw datagram list, as the stream manager leaves them.
struct Pending {
  DhtPair p;
  Bytes ih;
  Bytes tid;

  Pending() {
    if (!p.t) return;
    auto hex = p.t->net[0].add_torrent_magnet("magnet:?xt=urn:btih:" + std::string(40, 'c'), "", ntcp2_net::read_now());
    EXPECT_TRUE(hex);
    ih = p.engine().torrents.front().info_hash;
    const bool sent = p.t->net[0].send_dht_query(p.engine(), p.session(), p.node->dest_hash, 0,
                                                 bittorrent::KrpcQuery{bittorrent::KrpcQuery::GetPeers{ih}},
                                                 ntcp2_net::read_now(), ih);
    EXPECT_TRUE(sent);
    EXPECT_EQ(p.engine().dht.pending.size(), 1u);
    if (!p.engine().dht.pending.empty()) tid = p.engine().dht.pending.front().tid;
  }

  void reply(const std::string& tid_bytes, const std::string& values_and_more, std::uint16_t port = 6882) {
    const std::string id = rule_id(p.node->dest_hash, 6881);
    const std::string krpc = "d1:rd2:id" + bstr(id) + values_and_more + "e1:t" + bstr(tid_bytes) + "1:y1:re";
    router::SamSession& s = p.session();
    s.streams->raw_datagrams.push_back({encoding::I2cpGzipHeader{6881, port, 18}, to_bytes(krpc)});
    p.t->net[0].poll_dht_datagrams(p.engine(), s, *s.streams, ntcp2_net::read_now());
  }
};

std::string values_of(const std::vector<common::Hash>& peers) {
  std::string out = "6:valuesl";
  for (const common::Hash& h : peers) out += bstr(str(h));
  return out + "e";
}

TEST(DhtReplies, OnlyAPendingIdCountsAndOnlyOnce) {
  Pending q;
  ASSERT_TRUE(q.p.t);
  ASSERT_EQ(q.tid.size(), 4u);
  router::TorrentEngine& e = q.p.engine();
  const common::Hash forged = common::Hash::from_bytes(Bytes(32, 0x66)).value();
  const common::Hash honest = common::Hash::from_bytes(Bytes(32, 0x55)).value();
  const std::string node_entry = rule_id(forged, 7000) + str(forged) + std::string("\x1b\x58", 2);

  // An id that is not pending (the one after ours, as a counter would give) changes
  // nothing, not even the table.
  std::string guess = str(q.tid);
  guess[3] = static_cast<char>(guess[3] + 1);
  q.reply(guess, "5:nodes" + bstr(node_entry) + values_of({forged}));
  EXPECT_TRUE(e.dht.nodes.empty());
  EXPECT_TRUE(e.torrents.front().known_peers.empty());
  EXPECT_EQ(e.dht.responses_recv, 0u);
  EXPECT_EQ(e.dht.pending.size(), 1u);

  // The pending id: the responder joins the table, the values reach the torrent.
  q.reply(str(q.tid), values_of({honest}));
  EXPECT_EQ(e.dht.responses_recv, 1u);
  EXPECT_TRUE(e.dht.pending.empty() || e.dht.pending.front().tid != q.tid);
  ASSERT_EQ(e.torrents.front().known_peers.size(), 1u);
  EXPECT_EQ(e.torrents.front().known_peers[0], honest);
  ASSERT_FALSE(e.dht.nodes.empty());
  EXPECT_EQ(e.dht.nodes[0].hash, q.p.node->dest_hash);
  EXPECT_EQ(e.dht.peers_discovered, 1u);

  // The same id again: ignored.
  const std::size_t nodes_before = e.dht.nodes.size();
  q.reply(str(q.tid), "5:nodes" + bstr(node_entry) + values_of({forged}));
  EXPECT_EQ(e.torrents.front().known_peers.size(), 1u);
  EXPECT_EQ(e.dht.nodes.size(), nodes_before);
  EXPECT_EQ(e.dht.responses_recv, 1u);
}

TEST(DhtReplies, ShortNodesFieldStillDeliversValuesAndPortZeroNodesAreSkipped) {
  Pending q;
  ASSERT_TRUE(q.p.t);
  router::TorrentEngine& e = q.p.engine();
  const common::Hash peer = common::Hash::from_bytes(Bytes(32, 0x21)).value();
  q.reply(str(q.tid), "5:nodes" + bstr(std::string(53, 'x')) + values_of({peer}));
  ASSERT_EQ(e.torrents.front().known_peers.size(), 1u);
  EXPECT_EQ(e.torrents.front().known_peers[0], peer);

  Pending q2;
  ASSERT_TRUE(q2.p.t);
  const common::Hash a = common::Hash::from_bytes(Bytes(32, 0x31)).value();
  const common::Hash b = common::Hash::from_bytes(Bytes(32, 0x32)).value();
  const std::string nodes =
      rule_id(a, 0) + str(a) + std::string("\0\0", 2) + rule_id(b, 7001) + str(b) + std::string("\x1b\x59", 2);
  q2.reply(str(q2.tid), "5:nodes" + bstr(nodes));
  std::set<std::string> hashes;
  for (const bittorrent::DhtNode& n : q2.p.engine().dht.nodes) hashes.insert(str(n.hash));
  EXPECT_EQ(hashes.count(str(a)), 0u);
  EXPECT_EQ(hashes.count(str(b)), 1u);
}

TEST(DhtReplies, TransactionIdsAreRandomAndDistinct) {
  DhtPair p;
  ASSERT_TRUE(p.t);
  for (int i = 0; i < 40; ++i) {
    ASSERT_TRUE(p.t->net[0].send_dht_query(p.engine(), p.session(), p.node->dest_hash, 6881,
                                           bittorrent::KrpcQuery{bittorrent::KrpcQuery::Ping{}},
                                           ntcp2_net::read_now()));
  }
  const auto& pending = p.engine().dht.pending;
  ASSERT_EQ(pending.size(), 40u);
  std::set<std::string> seen;
  int consecutive = 0;
  for (std::size_t i = 0; i < pending.size(); ++i) {
    ASSERT_EQ(pending[i].tid.size(), 4u);
    seen.insert(str(pending[i].tid));
    if (i > 0) {
      auto v = [](const Bytes& t) {
        return (std::uint32_t{t[0]} << 24) | (std::uint32_t{t[1]} << 16) | (std::uint32_t{t[2]} << 8) | t[3];
      };
      if (v(pending[i].tid) == v(pending[i - 1].tid) + 1) ++consecutive;
    }
  }
  EXPECT_EQ(seen.size(), 40u);
  EXPECT_LT(consecutive, 3);
  EXPECT_EQ(p.engine().dht.queries_sent, 40u);
}

// --- Bootstrap queue and timers --------------------------------------------------------

TEST(DhtBootstrap, QueueIsBoundedOldestDropped) {
  auto t = TorrentNet::create(1);
  ASSERT_TRUE(t);
  router::Router& r = t->net[0];
  router::TorrentEngine& e = t->engine(0);
  const ntcp2_net::Now now = ntcp2_net::read_now();
  EXPECT_FALSE(r.enqueue_dht_bootstrap(e, t->dest(0), 6881, now));
  auto h = [](std::uint8_t i) { return common::Hash::from_bytes(Bytes(32, i)).value(); };
  for (std::uint8_t i = 1; i <= 70; ++i) EXPECT_TRUE(r.enqueue_dht_bootstrap(e, h(i), 0, now));
  ASSERT_EQ(e.dht_bootstrap.size(), 64u);
  EXPECT_EQ(e.dht_bootstrap.front().dest, h(7));
  EXPECT_EQ(e.dht_bootstrap.back().dest, h(70));
  EXPECT_EQ(e.dht_bootstrap.back().port, 6881u);
  EXPECT_TRUE(r.enqueue_dht_bootstrap(e, h(70), 6881, now));
  EXPECT_EQ(e.dht_bootstrap.size(), 64u);

  // None of them has a LeaseSet2: no ping goes out, the entries wait 30 s, then go.
  router::SamSession& s = *t->session(0);
  EXPECT_FALSE(r.step_dht(e, s, now));
  EXPECT_EQ(e.dht_bootstrap.size(), 64u);
  ntcp2_net::Now later = now;
  later.mono_ms += 30'001;
  later.wall_ms += 30'001;
  EXPECT_FALSE(r.step_dht(e, s, later));
  EXPECT_TRUE(e.dht_bootstrap.empty());
  EXPECT_EQ(e.dht.queries_sent, 0u);
}

TEST(DhtTimers, EmptyTableSendsNoSweepAndSweepsAreLimited) {
  DhtPair p;
  ASSERT_TRUE(p.t);
  router::Router& r = p.t->net[0];
  router::TorrentEngine& e = p.engine();
  router::SamSession& s = p.session();
  ASSERT_TRUE(r.add_torrent_magnet("magnet:?xt=urn:btih:" + std::string(40, 'd'), "", ntcp2_net::read_now()));
  const ntcp2_net::Now now = ntcp2_net::read_now();
  EXPECT_FALSE(r.step_dht(e, s, now));
  EXPECT_EQ(e.dht.queries_sent, 0u);

  // One node in the table (the test node, whose LeaseSet2 is known): the refresh asks
  // it once, the sweep asks it once; the cool-down keeps a second sweep 800 ms later
  // from asking it again within 1,500 ms.
  ASSERT_TRUE(e.dht.upsert_node(to_bytes(rule_id(p.node->dest_hash, 6881)), p.node->dest_hash, 6881, now.wall_ms));
  EXPECT_TRUE(r.step_dht(e, s, now));
  ASSERT_EQ(e.dht.pending.size(), 2u);
  EXPECT_EQ(e.dht.pending[0].query, "find_node");
  EXPECT_EQ(e.dht.pending[1].query, "get_peers");
  ntcp2_net::Now t1 = now;
  t1.mono_ms += 800;
  t1.wall_ms += 800;
  EXPECT_FALSE(r.step_dht(e, s, t1));
  ntcp2_net::Now t2 = now;
  t2.mono_ms += 1'600;
  t2.wall_ms += 1'600;
  EXPECT_TRUE(r.step_dht(e, s, t2));
  ASSERT_EQ(e.dht.pending.size(), 3u);
  EXPECT_EQ(e.dht.pending[2].query, "get_peers");
}

// --- Across routers ---------------------------------------------------------------------

TEST(DhtNetwork, GetPeersFindsTheSeederThroughAThirdNode) {
  auto t = TorrentNet::create(3);
  ASSERT_TRUE(t);
  const Bytes content = seeded_bytes(100 * 1024, 5);
  const Bytes file = t->make_torrent(2, "dht.bin", content, 15);
  auto hex = t->net[2].add_torrent_bytes(file, "", ntcp2_net::read_now());
  ASSERT_TRUE(hex);
  // The seeder and the magnet both know only router 1's DHT node.
  ASSERT_TRUE(t->net[2].enqueue_dht_bootstrap(t->engine(2), t->dest(1), 6881, ntcp2_net::read_now()));
  const std::string magnet = "magnet:?xt=urn:btih:" + *hex + "&dht=" + t->session(1)->b32_address + ":6881";
  ASSERT_TRUE(t->net[0].add_torrent_magnet(magnet, "", ntcp2_net::read_now()));
  ASSERT_EQ(t->engine(0).dht_bootstrap.size(), 1u);
  const router::ActiveTorrent& leech = t->engine(0).torrents.front();
  auto knows_seeder = [&] {
    return std::find(leech.known_peers.begin(), leech.known_peers.end(), t->dest(2)) != leech.known_peers.end();
  };
  ASSERT_TRUE(t->run(knows_seeder, 60'000));
  EXPECT_GE(t->engine(0).dht.peers_discovered, 1u);
  EXPECT_GE(t->engine(1).dht.queries_recv, 2u);
  EXPECT_FALSE(t->engine(0).dht.nodes.empty());
}

}  // namespace
}  // namespace torrent_test
