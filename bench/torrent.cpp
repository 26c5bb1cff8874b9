// The torrent engine's speed beside references measured in the same run.
//
//   BM_TorrentVsRawStream - two routers of the in-process test network, each with one-hop
//     tunnels through the other and a torrent engine. Router 0 seeds a 64 MiB torrent made
//     by mktorrent (1 MiB pieces); router 1 is told the seeder's destination and downloads
//     it into an empty folder (every piece verified and written). Beside it, 64 MiB of the
//     same bytes through one raw stream between the same two destinations, read as they
//     arrive. Reported: MB/s of each and ratio = torrent speed / stream speed.
//   BM_VerifyEngineVsOpenSsl - the engine re-verifying a 64 MiB file on disk (every piece
//     read and hashed) beside OpenSSL's SHA-1 of the same pieces read the same way.
//     Reported: MB/s of each and ratio = engine speed / OpenSSL speed.
#include <benchmark/benchmark.h>
#include <openssl/sha.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>

#include "bittorrent/metainfo.h"
#include "ntcp2_net/clock.h"
#include "ntcp2_net/glue.h"
#include "router/router.h"
#include "tests/support/test_network.h"
#include "services/streams.h"
#include "torrent/engine.h"
#include "torrent/peer_steps.h"
#include "torrent/piece_storage.h"

namespace {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;
using test_support::TestNetwork;

constexpr std::size_t kBytes = 64 * 1024 * 1024;

Bytes seeded_bytes(std::size_t n) {
  std::mt19937 gen(1234);
  Bytes out(n);
  for (std::size_t i = 0; i < n; i += 4) {
    const auto v = static_cast<std::uint32_t>(gen());
    for (std::size_t k = 0; k < 4 && i + k < n; ++k) out[i + k] = static_cast<std::uint8_t>(v >> (8 * k));
  }
  return out;
}

Bytes read_file(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// A scratch folder removed at the end.
struct Scratch {
  fs::path path;
  Scratch() {
    char tmpl[] = "/tmp/bench_torrent_XXXXXX";
    if (mkdtemp(tmpl) != nullptr) path = tmpl;
  }
  ~Scratch() {
    std::error_code ec;
    if (!path.empty()) fs::remove_all(path, ec);
  }
};

// data.bin of 64 MiB under folder and its torrent made by mktorrent with 1 MiB pieces.
std::optional<Bytes> make_torrent(const Scratch& s, const fs::path& folder, const Bytes& content) {
  fs::create_directories(folder);
  {
    std::ofstream f(folder / "data.bin", std::ios::binary);
    f.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
  }
  const fs::path file = s.path / "data.torrent";
  const std::string cmd = "mktorrent -l 20 -a http://tracker.i2p/announce -o " + file.string() + " " +
                          (folder / "data.bin").string() + " >/dev/null";
  if (std::system(cmd.c_str()) != 0) return std::nullopt;
  return read_file(file);
}

void engine_step(TestNetwork& net) {
  const ntcp2_net::Now now = ntcp2_net::read_now();
  for (std::size_t i = 0; i < net.size(); ++i) {
    net[i].step_ntcp2_peers(now);
    net[i].step_torrent_engine(now);
    net[i].step_stream_connections(now);
  }
}

void stream_step(TestNetwork& net) {
  const ntcp2_net::Now now = ntcp2_net::read_now();
  for (std::size_t i = 0; i < net.size(); ++i) {
    net[i].step_ntcp2_peers(now);
    net[i].step_stream_connections(now);
  }
}

// Two routers with tunnels through each other and torrent engines whose sessions know each
// other's LeaseSet2; router 0 seeds from seed_folder.
struct Pair {
  std::optional<TestNetwork> net;
  router::SamSession* s0 = nullptr;
  router::SamSession* s1 = nullptr;
};

std::optional<Pair> make_pair(const fs::path& seed_folder, const fs::path& leech_folder, const Bytes& torrent_file) {
  auto created = TestNetwork::create({.routers = 2, .debug = std::getenv("BENCH_DEBUG") != nullptr});
  if (!created) return std::nullopt;
  Pair p;
  p.net.emplace(std::move(*created));
  TestNetwork& net = *p.net;
  for (std::size_t owner : {0u, 1u}) {
    if (!net.install_tunnel(owner, {1 - owner}, true) || !net.install_tunnel(owner, {1 - owner}, false)) {
      return std::nullopt;
    }
  }
  const ntcp2_net::Now start = ntcp2_net::read_now();
  if (!net[0].enable_torrent_engine(seed_folder.string(), start) ||
      !net[1].enable_torrent_engine(leech_folder.string(), start)) {
    return std::nullopt;
  }
  p.s0 = router::bt_find_session(net[0].sessions, "__torrent__");
  p.s1 = router::bt_find_session(net[1].sessions, "__torrent__");
  for (std::size_t i : {0u, 1u}) {
    auto ls = net[i].build_session_leaseset2(i == 0 ? *p.s0 : *p.s1, start);
    if (!ls || !net[1 - i].netdb.store_lease_set2(*ls, start.wall_s())) return std::nullopt;
  }
  if (!net[0].add_torrent_bytes(torrent_file, "", start)) return std::nullopt;
  return p;
}

// A fresh pair of routers for each round: one ratchet session carries every message of a
// round, and a new round should not start where the last one left its session.
void BM_TorrentVsRawStream(benchmark::State& state) {
  Scratch scratch;
  if (scratch.path.empty()) {
    state.SkipWithError("no scratch folder");
    return;
  }
  const Bytes content = seeded_bytes(kBytes);
  const auto torrent_file = make_torrent(scratch, scratch.path / "seed", content);
  if (!torrent_file) {
    state.SkipWithError("mktorrent failed");
    return;
  }

  double torrent_s = 0, stream_s = 0;
  int round = 0;
  for (auto _ : state) {
    const fs::path folder = scratch.path / ("dl" + std::to_string(round++));
    auto pair = make_pair(scratch.path / "seed", folder, *torrent_file);
    if (!pair) {
      state.SkipWithError("routers, engines or the seeder's add failed");
      return;
    }
    TestNetwork& net = *pair->net;
    router::SamSession* s0 = pair->s0;
    router::SamSession* s1 = pair->s1;

    const auto t0 = clock_type::now();
    auto added = net[1].add_torrent_bytes(*torrent_file, "", ntcp2_net::read_now());
    if (!added) {
      state.SkipWithError("leecher add failed");
      return;
    }
    router::ActiveTorrent& leech = net[1].torrent_engine->torrents.front();
    router::bt_add_known_peer(leech, s0->dest_hash, s1->dest_hash);
    const auto deadline = t0 + std::chrono::seconds(300);
    while (!leech.completed) {
      if (clock_type::now() > deadline) {
        state.SkipWithError("the download stalled");
        return;
      }
      engine_step(net);
    }
    const auto t1 = clock_type::now();
    if (read_file(folder / "data.bin") != content) {
      state.SkipWithError("the download differs from the source");
      return;
    }
    // The engines drop their connections out of the way of the raw stream.
    net[1].pause_torrent(leech.info_hash_hex, ntcp2_net::read_now());

    // The raw stream, opened before its timing, between the same two destinations.
    auto opened = s1->streams->connect(s0->dest_hash, ntcp2_net::read_now().mono_ms, 0, 0);
    if (!opened) {
      state.SkipWithError("connect failed");
      return;
    }
    streaming::ConnectionPtr out = *opened;
    streaming::ConnectionPtr in;
    const auto open_deadline = clock_type::now() + std::chrono::seconds(10);
    while (!in || out->state != streaming::StreamState::Established) {
      if (clock_type::now() > open_deadline) {
        state.SkipWithError("the stream did not open");
        return;
      }
      stream_step(net);
      if (!in && !s0->streams->accept_queue.empty()) {
        in = s0->streams->accept_queue.front();
        s0->streams->accept_queue.pop_front();
      }
    }
    const auto t2 = clock_type::now();
    std::size_t written = 0, received = 0;
    while (received < kBytes) {
      if (clock_type::now() > t2 + std::chrono::seconds(300)) {
        state.SkipWithError("the stream stalled");
        return;
      }
      if (written < kBytes) {
        auto n = out->write(ByteView(content).subspan(written), ntcp2_net::read_now().mono_ms);
        if (n) written += *n;
      }
      stream_step(net);
      received += in->read_available().size();
    }
    const auto t3 = clock_type::now();
    torrent_s += std::chrono::duration<double>(t1 - t0).count();
    stream_s += std::chrono::duration<double>(t3 - t2).count();
  }
  const double bytes = static_cast<double>(state.iterations()) * static_cast<double>(kBytes);
  state.counters["torrent_MBps"] = bytes / torrent_s / 1e6;
  state.counters["stream_MBps"] = bytes / stream_s / 1e6;
  state.counters["ratio"] = stream_s / torrent_s;
}
BENCHMARK(BM_TorrentVsRawStream)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_VerifyEngineVsOpenSsl(benchmark::State& state) {
  Scratch scratch;
  const Bytes content = seeded_bytes(kBytes);
  const auto torrent_file = make_torrent(scratch, scratch.path, content);
  if (!torrent_file) {
    state.SkipWithError("mktorrent failed");
    return;
  }
  auto meta = bittorrent::parse_torrent_file(*torrent_file);
  if (!meta) {
    state.SkipWithError("metainfo failed");
    return;
  }
  const std::string path = (scratch.path / "data.bin").string();
  double engine_s = 0, openssl_s = 0;
  for (auto _ : state) {
    router::ActiveTorrent t;
    t.download_dir = scratch.path.string();
    const auto t0 = clock_type::now();
    const bool complete = router::bt_init_torrent_metainfo(t, *meta);
    const auto t1 = clock_type::now();
    // OpenSSL over the same pieces, read from the file the same way.
    bool all = true;
    Bytes piece(static_cast<std::size_t>(meta->piece_length));
    for (std::size_t i = 0; i < meta->pieces.size(); ++i) {
      const std::int64_t size = router::bt_piece_size(*meta, static_cast<std::int64_t>(i));
      const std::int64_t got = ondrel_i2p_net_read_file_at(
          reinterpret_cast<const std::uint8_t*>(path.data()), static_cast<std::int32_t>(path.size()),
          static_cast<std::int64_t>(i) * meta->piece_length, piece.data(), static_cast<std::int32_t>(size));
      std::uint8_t digest[SHA_DIGEST_LENGTH];
      SHA1(piece.data(), static_cast<std::size_t>(got), digest);
      all = all && got == size && std::equal(digest, digest + 20, meta->pieces[i].begin());
    }
    const auto t2 = clock_type::now();
    if (!complete || !all) {
      state.SkipWithError("verification failed");
      return;
    }
    engine_s += std::chrono::duration<double>(t1 - t0).count();
    openssl_s += std::chrono::duration<double>(t2 - t1).count();
  }
  const double bytes = static_cast<double>(state.iterations()) * static_cast<double>(kBytes);
  state.counters["engine_MBps"] = bytes / engine_s / 1e6;
  state.counters["openssl_MBps"] = bytes / openssl_s / 1e6;
  state.counters["ratio"] = openssl_s / engine_s;
}
BENCHMARK(BM_VerifyEngineVsOpenSsl)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace
