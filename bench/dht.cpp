// One DHT lookup in process, beside the Ed25519 signatures it needs, in the same run.
//
//   lookup     - the engine's node with 1,000 nodes in its table (filled directly; the
//                table's own bound keeps at most 160 from the network) looks up an info
//                hash: the 12 nearest nodes are found, each is sent a get_peers (fresh
//                random transaction id, KRPC encoded, signed as a repliable datagram,
//                wrapped in its I2CP envelope, recorded as pending, cool-down checked), and
//                the 12 replies (8 compact nodes and 2 peers each, raw datagrams as the
//                stream manager queues them) are processed by the router's datagram poll:
//                pending taken, responders and nodes refreshed, peers stored and offered to
//                the torrent. The garlic egress of the queries is not part of it: it is the
//                router's (see bench_streaming, bench_ratchet_garlic).
//   signatures - the 12 Ed25519 signatures over KRPC queries of the same size, timed raw.
// Reported: microseconds per lookup for both and ratio = lookup / signatures.
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <memory>

#include "bittorrent/krpc.h"
#include "crypto/ed25519.h"
#include "ntcp2_net/clock.h"
#include "ntcp2_net/random.h"
#include "router/router.h"
#include "tests/support/test_network.h"
#include "torrent/dht_steps.h"
#include "torrent/engine.h"
#include "torrent/peer_steps.h"

namespace {

using clock_type = std::chrono::steady_clock;

constexpr std::size_t kTableNodes = 1000;
constexpr int kClosest = 12;

common::Hash random_hash() {
  auto b = ntcp2_net::random_bytes(32);
  return common::Hash::from_bytes(b.value_or(Bytes(32, 7))).value();
}

bittorrent::DhtNode random_node(std::uint64_t now_ms) {
  bittorrent::DhtNode n;
  n.hash = random_hash();
  n.port = 6881;
  auto free = ntcp2_net::random_bytes(14).value_or(Bytes(14, 1));
  const bittorrent::DhtNodeId id =
      bittorrent::make_dht_node_id(n.hash, n.port, std::span<const std::uint8_t, 14>(free.data(), 14));
  n.id.assign(id.begin(), id.end());
  n.last_seen_ms = now_ms;
  return n;
}

struct Fixture {
  test_support::TestNetwork net;
  std::filesystem::path dir;
  Bytes info_hash;
  std::vector<common::Hash> peers;
};

std::unique_ptr<Fixture> make_fixture() {
  auto created = test_support::TestNetwork::create({.routers = 1});
  if (!created) return nullptr;
  auto f = std::make_unique<Fixture>();
  f->net = std::move(*created);
  f->dir = std::filesystem::temp_directory_path() / ("bench_dht_" + std::to_string(::getpid()));
  const ntcp2_net::Now now = ntcp2_net::read_now();
  router::Router& r = f->net[0];
  if (!r.enable_torrent_engine(f->dir.string(), now)) return nullptr;
  if (!r.add_torrent_magnet("magnet:?xt=urn:btih:" + std::string(40, 'e'), "", now)) return nullptr;
  router::TorrentEngine& e = *r.torrent_engine;
  router::ActiveTorrent& t = e.torrents.front();
  f->info_hash = t.info_hash;
  // Eight peers already known: replies bring no follow-up queries.
  router::SamSession* s = router::bt_find_session(r.sessions, e.session_id);
  for (int i = 0; i < 8; ++i) {
    f->peers.push_back(random_hash());
    router::bt_add_known_peer(t, f->peers.back(), s->dest_hash);
  }
  for (std::size_t i = 0; i < kTableNodes; ++i) e.dht.nodes.push_back(random_node(now.wall_ms));
  return f;
}

void BM_DhtLookupVsSignatures(benchmark::State& state) {
  auto f = make_fixture();
  if (!f) {
    state.SkipWithError("fixture failed");
    return;
  }
  router::Router& r = f->net[0];
  router::TorrentEngine& e = *r.torrent_engine;
  router::SamSession& session = *router::bt_find_session(r.sessions, e.session_id);
  streaming::StreamManager& streams = *session.streams;

  // Replies to be answered under each query's id: the responder's id, 8 nodes of the
  // table and 2 known peers, with a placeholder id patched per query.
  const Bytes placeholder = {0xFA, 0xCE, 0xB0, 0x0C};
  std::vector<Bytes> replies;
  std::vector<std::size_t> tid_at;
  const std::vector<bittorrent::DhtNode> nearest = e.dht.closest_nodes(f->info_hash, kClosest);
  for (int i = 0; i < kClosest; ++i) {
    bittorrent::KrpcMessage::Response resp;
    resp.transaction_id = placeholder;
    resp.sender_id = nearest[static_cast<std::size_t>(i)].id;
    std::vector<bittorrent::DhtNode> eight(e.dht.nodes.begin() + 8 * i, e.dht.nodes.begin() + 8 * i + 8);
    resp.nodes = bittorrent::encode_compact_nodes(eight);
    resp.values = {Bytes(f->peers[0].bytes.begin(), f->peers[0].bytes.end()),
                   Bytes(f->peers[1].bytes.begin(), f->peers[1].bytes.end())};
    replies.push_back(bittorrent::encode_krpc(bittorrent::KrpcMessage{resp}));
    const auto at = std::search(replies.back().begin(), replies.back().end(), placeholder.begin(), placeholder.end());
    tid_at.push_back(static_cast<std::size_t>(at - replies.back().begin()));
  }

  const Bytes seed(32, 0x42);
  double lookup_s = 0;
  double sign_s = 0;
  ntcp2_net::Now now = ntcp2_net::read_now();
  std::size_t peers_seen = 0;
  for (auto _ : state) {
    now.wall_ms += 2000;  // past the 1,500 ms cool-down of the last lookup
    now.mono_ms += 2000;
    const auto t0 = clock_type::now();
    std::vector<Bytes> sent_sizes;
    const std::vector<bittorrent::DhtNode> closest = e.dht.closest_nodes(f->info_hash, kClosest);
    int n = 0;
    for (const bittorrent::DhtNode& node : closest) {
      if (!router::bt_dht_cooldown_allow(e.get_peers_cooldown, node.hash, f->info_hash, now.wall_ms, 1500)) continue;
      auto q = router::bt_dht_prepare_query(e.dht, session, node.hash, node.port,
                                            bittorrent::KrpcQuery{bittorrent::KrpcQuery::GetPeers{f->info_hash}},
                                            f->info_hash, now.wall_ms);
      if (!q) {
        state.SkipWithError("query failed");
        return;
      }
      Bytes reply = replies[static_cast<std::size_t>(n)];
      std::copy(q->pending.tid.begin(), q->pending.tid.end(),
                reply.begin() + static_cast<std::ptrdiff_t>(tid_at[static_cast<std::size_t>(n)]));
      // Replies come from the node asked, so upsert refreshes it under its own id.
      streams.raw_datagrams.push_back({encoding::I2cpGzipHeader{6881, 6882, 18}, std::move(reply)});
      sent_sizes.push_back(std::move(q->envelope));
      e.dht.add_pending_tx(std::move(q->pending));
      ++n;
    }
    r.poll_dht_datagrams(e, session, streams, now);
    const auto t1 = clock_type::now();
    peers_seen += static_cast<std::size_t>(n);

    // The raw signatures: one per query, over a KRPC get_peers of the same size.
    const Bytes krpc = bittorrent::encode_krpc(bittorrent::KrpcMessage{
        bittorrent::KrpcMessage::Query{placeholder, Bytes(e.dht.node_id.begin(), e.dht.node_id.end()),
                                       bittorrent::KrpcQuery{bittorrent::KrpcQuery::GetPeers{f->info_hash}}}});
    const auto t2 = clock_type::now();
    for (int i = 0; i < n; ++i) {
      auto sig = crypto::ed25519_sign(seed, krpc);
      benchmark::DoNotOptimize(sig);
    }
    const auto t3 = clock_type::now();
    lookup_s += std::chrono::duration<double>(t1 - t0).count();
    sign_s += std::chrono::duration<double>(t3 - t2).count();
    benchmark::DoNotOptimize(sent_sizes);
  }
  if (!e.dht.pending.empty()) state.SkipWithError("replies were not all taken");
  const double iters = static_cast<double>(state.iterations());
  state.counters["lookup_us"] = lookup_s / iters * 1e6;
  state.counters["signatures_us"] = sign_s / iters * 1e6;
  state.counters["ratio"] = lookup_s / sign_s;
  state.counters["queries"] = static_cast<double>(peers_seen) / iters;
  std::error_code ec;
  std::filesystem::remove_all(f->dir, ec);
}
BENCHMARK(BM_DhtLookupVsSignatures)->Unit(benchmark::kMicrosecond)->MinTime(1.0);

}  // namespace
