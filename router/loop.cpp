// One pass of the router's only loop, and the public-mode maintenance.
#include <algorithm>
#include <span>

#include "router/publication.h"
#include "router/random.h"
#include "router/router.h"

namespace router {

namespace {

constexpr int kSamAcceptsPerPass = 8;
constexpr std::uint64_t kMaintenanceIntervalMs = 1500;
constexpr std::uint64_t kKeepaliveIdleMs = 90000;
constexpr std::uint64_t kKeepaliveFailureBackoffMs = 60000;
constexpr std::uint64_t kTunnelExpiryMarginS = 30;
constexpr std::size_t kWantedLinks = 6;
constexpr std::uint64_t kExplorationIntervalMs = 30000;

void push_unique(std::vector<common::Hash>& list, const common::Hash& h) {
  if (!is_peer_in_list(h, list)) list.push_back(h);
}

}  // namespace

void Router::step(const Now& now, std::uint64_t wake_by_ms) {
  if (step_pass(now)) return;
  Router* const self = this;
  wait_for_events(std::span<Router* const>(&self, 1), now, wake_by_ms);
}

bool Router::step_pass(const Now& now) {
  // Everything the pass sends on links leaves at its end, each link's frames in one write.
  return holding_link_sends(now, [&] {
    bool did_work = false;

    // 1. New SAM clients, without waiting.
    for (int i = 0; i < kSamAcceptsPerPass; ++i) {
      auto accepted = sam_listener.accept(0);
      if (!accepted || !*accepted) break;
      push_sam_client(std::move(**accepted));
      did_work = true;
    }

    // 2. Every service once.
    if (step_ntcp2_peers(now)) did_work = true;
    if (step_sam_clients(now)) did_work = true;
    if (step_http_proxy(now)) did_work = true;
    if (step_torrent_engine(now)) did_work = true;
    if (step_torrent_api(now)) did_work = true;

    // 3.-5. Lookups, tunnel builds, LeaseSet2 publications and the public maintenance never
    // count as work: what they send leaves on links, and their next turn is a timer of the
    // wait.
    step_pending_lookups(now);
    poll_tunnel_builds(now);
    step_publications(*this, now);
    if (public_mode) step_public_bootstrap(now);

    // 6. Bridges.
    if (step_bridges(now)) did_work = true;
    if (step_remote_bridges(now)) did_work = true;

    // A pass that did work clears what the wait left out: the loop watches everything again.
    if (did_work) {
      last_wake_fds.clear();
      quiet_fds.clear();
    }
    return did_work;
  });
}

std::uint64_t next_maintenance_wake_ms(const Router& r, const Now& now) {
  if (!r.public_mode) return kNoWakeDeadline;
  if (r.last_maintenance_ms == 0) return now.mono_ms;
  return r.last_maintenance_ms + kMaintenanceIntervalMs;
}

void Router::step_public_bootstrap(const Now& now) {
  if (last_maintenance_ms != 0 && now.mono_ms < last_maintenance_ms + kMaintenanceIntervalMs) return;
  last_maintenance_ms = now.mono_ms;

  // Keep-alives to the neighbouring hop of every own tunnel.
  std::vector<common::Hash> neighbours;
  for (const tunnel::Tunnel& t : tunnels.inbound) {
    if (!t.hops.empty()) push_unique(neighbours, t.hops.back().router);
  }
  for (const tunnel::Tunnel& t : tunnels.outbound) {
    if (!t.hops.empty()) push_unique(neighbours, t.hops.front().router);
  }
  // A keep-alive that cannot be queued ends the session and backs its peer off.
  std::erase_if(peer_sessions, [&](PeerSession& session) {
    if (!is_peer_in_list(session.peer, neighbours) || session.last_activity_ms + kKeepaliveIdleMs >= now.mono_ms) {
      return false;
    }
    if (send_keepalive(session, now)) {
      session.last_activity_ms = now.mono_ms;
      return false;
    }
    session.conn.socket.close();
    mark_peer_failed(session.peer, kKeepaliveFailureBackoffMs, now);
    return true;
  });

  // Tunnels that expire soon or lost the link to their neighbouring hop.
  // Tunnel end dates are unix seconds: they travel as lease end dates.
  const std::uint64_t limit = now.wall_s() + kTunnelExpiryMarginS;
  auto expired = [&](const tunnel::Tunnel& t, bool inbound) {
    if (t.expires_s <= limit) return true;
    if (t.hops.empty()) return false;
    return !has_connected_peer(inbound ? t.hops.back().router : t.hops.front().router);
  };
  const std::size_t inbound_removed =
      std::erase_if(tunnels.inbound, [&](const tunnel::Tunnel& t) { return expired(t, true); });
  std::erase_if(tunnels.outbound, [&](const tunnel::Tunnel& t) { return expired(t, false); });
  if (inbound_removed > 0 && !tunnels.inbound.empty()) republish_all_sessions(now);

  // Dials while fewer than 6 links and dials exist.
  const std::size_t links = pending_dials.size() + peer_sessions.size();
  if (links < kWantedLinks) {
    std::vector<common::Hash> excluded;
    for (const PeerSession& s : peer_sessions) excluded.push_back(s.peer);
    for (const PendingPeerDial& d : pending_dials) excluded.push_back(d.peer);
    for (const common::Hash& peer : pick_usable_peers(kWantedLinks - links, excluded, now)) ensure_peer_dial(peer, now);
  }

  // Tunnel builds.
  run_build_policy(now);

  // Exploration once both kinds of tunnel exist.
  if (!tunnels.inbound.empty() && !tunnels.outbound.empty() &&
      (last_exploration_ms == 0 || last_exploration_ms + kExplorationIntervalMs < now.mono_ms)) {
    last_exploration_ms = now.mono_ms;
    if (auto key_bytes = next_rand_32()) {
      const common::Hash key{*key_bytes};
      if (!has_pending_lookup(key, LookupKind::Exploratory)) start_background_lookup(key, LookupKind::Exploratory, now);
    }
  }
}

void Router::close() {
  for (TorrentApiConn& c : torrent_api_conns) {
    if (c.closed) continue;
    c.socket.close();
    c.closed = true;
  }
  if (torrent_api_listener) {
    torrent_api_listener->close();
    torrent_api_listener.reset();
  }
  for (HttpProxyConn& c : http_proxy_conns) {
    if (c.closed) continue;
    c.socket.close();
    c.closed = true;
  }
  if (http_proxy_listener) {
    http_proxy_listener->close();
    http_proxy_listener.reset();
  }
  for (SamClientConn& c : sam_clients) {
    if (c.closed) continue;
    c.socket.close();
    c.closed = true;
  }
  for (StreamBridge& b : bridges) {
    b.socket_a.close();
    b.socket_b.close();
  }
  for (RemoteStreamBridge& b : remote_bridges) {
    if (b.removed) continue;
    b.socket.close();
    b.removed = true;
  }
  for (ntcp2_net::PendingNtcp2Accept& a : pending_accepts) a.socket.close();
  for (PendingPeerDial& d : pending_dials) d.dial.socket.close();
  for (PeerSession& s : peer_sessions) s.conn.socket.close();
  sam_listener.close();
  ntcp2_listener.close();
}

}  // namespace router
