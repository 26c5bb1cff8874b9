#pragma once
// Routers of the in-process test network with their torrent engines: each router has an
// outbound and an inbound tunnel through the next one, a torrent session whose LeaseSet2
// every other router knows (as a lookup leaves it), and a download folder of its own.
// Torrents are made by mktorrent over real files, so the metainfo is not our own.
#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bittorrent/metainfo.h"
#include "ntcp2_net/clock.h"
#include "router/destinations.h"
#include "router/id_counters.h"
#include "router/router.h"
#include "services/client_sessions.h"
#include "tests/base/temp_dir.h"
#include "tests/bittorrent/bt_test_support.h"
#include "tests/support/test_network.h"
#include "torrent/engine.h"
#include "torrent/peer_steps.h"

namespace torrent_test {

namespace fs = std::filesystem;

inline Bytes seeded_bytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 gen(seed);
  Bytes out(n);
  for (std::size_t i = 0; i < n; i += 4) {
    const auto v = static_cast<std::uint32_t>(gen());
    for (std::size_t k = 0; k < 4 && i + k < n; ++k) out[i + k] = static_cast<std::uint8_t>(v >> (8 * k));
  }
  return out;
}

// A client session with its own keys and streams, as the services make one.
inline router::SamSession stream_session(router::Router& r, const std::string& id) {
  auto t = router::generate_transient_destination();
  EXPECT_TRUE(t) << (t ? "" : to_string(t.error()));
  if (!t) return router::SamSession{};
  return router::build_client_session(r, id, *t);
}

struct TorrentNet {
  test_support::TestNetwork net;
  TempDir tmp;
  std::vector<fs::path> folders;  // one download folder per router

  static std::unique_ptr<TorrentNet> create(std::size_t routers, bool debug = false) {
    auto t = std::make_unique<TorrentNet>();
    auto net = test_support::TestNetwork::create({.routers = routers, .debug = debug});
    EXPECT_TRUE(net) << (net ? "" : to_string(net.error()));
    if (!net) return nullptr;
    t->net = std::move(*net);
    for (std::size_t i = 0; i < routers; ++i) {
      const std::size_t next = (i + 1) % routers;
      EXPECT_TRUE(t->net.install_tunnel(i, {next}, /*outbound=*/true));
      EXPECT_TRUE(t->net.install_tunnel(i, {next}, /*outbound=*/false));
    }
    const ntcp2_net::Now now = ntcp2_net::read_now();
    for (std::size_t i = 0; i < routers; ++i) {
      t->folders.push_back(t->tmp.path() / ("r" + std::to_string(i)));
      auto enabled = t->net[i].enable_torrent_engine(t->folders.back().string(), now);
      EXPECT_TRUE(enabled) << (enabled ? "" : to_string(enabled.error()));
    }
    for (std::size_t i = 0; i < routers; ++i) t->share_lease_set(i, *t->session(i));
    return t;
  }

  router::SamSession* session(std::size_t i) { return router::bt_find_session(net[i].sessions, "__torrent__"); }
  common::Hash dest(std::size_t i) { return session(i)->dest_hash; }
  router::TorrentEngine& engine(std::size_t i) { return *net[i].torrent_engine; }

  // The session's LeaseSet2 in every other router's NetDB.
  void share_lease_set(std::size_t owner, router::SamSession& s) {
    const ntcp2_net::Now now = ntcp2_net::read_now();
    auto ls = net[owner].build_session_leaseset2(s, now);
    EXPECT_TRUE(ls);
    if (!ls) return;
    for (std::size_t j = 0; j < net.size(); ++j) {
      if (j != owner) {
        EXPECT_TRUE(net[j].netdb.store_lease_set2(*ls, now.wall_s()));
      }
    }
  }

  // A file of n seeded bytes under the folder of router i, named name, and its torrent
  // made by mktorrent with pieces of 2^piece_exp bytes.
  Bytes make_torrent(std::size_t i, const std::string& name, const Bytes& content, int piece_exp) {
    fs::create_directories(folders[i]);
    bt_test::WriteFile(folders[i] / name, content);
    const fs::path file = tmp.path() / (name + ".torrent");
    std::error_code ec;
    fs::remove(file, ec);
    EXPECT_TRUE(bt_test::Run("mktorrent -l " + std::to_string(piece_exp) + " -a http://tracker.i2p/announce -o " +
                             file.string() + " " + (folders[i] / name).string() + " >/dev/null"));
    return bt_test::ReadFile(file);
  }

  // The routers' links, engines and stream passes, with extra work before each router's.
  static void engine_step(router::Router& r, const ntcp2_net::Now& now) {
    r.step_ntcp2_peers(now);
    r.step_torrent_engine(now);
    r.step_stream_connections(now);
  }
  bool run(const std::function<bool()>& condition, int limit_ms,
           const std::function<void(std::size_t, const ntcp2_net::Now&)>& before = {}) {
    return net.run_until(condition, limit_ms, [&](router::Router& r, const ntcp2_net::Now& now) {
      if (before) {
        for (std::size_t i = 0; i < net.size(); ++i) {
          if (&net[i] == &r) before(i, now);
        }
      }
      engine_step(r, now);
    });
  }
};

}  // namespace torrent_test
