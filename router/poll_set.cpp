// The loop's wait: what it watches, until when, and the wait itself.
#include "router/poll_set.h"

#include <algorithm>

#include "ntcp2_net/glue.h"
#include "ntcp2_net/poll_set.h"
#include "router/loop_parts.h"
#include "router/router.h"

namespace router {

namespace {

std::uint8_t tag(PollKind kind) { return static_cast<std::uint8_t>(kind); }

// A socket the loop reads, watched for reading; one whose buffer already holds received
// bytes counts as readable at once.
void add_read(ntcp2_net::PollSet& set, const ntcp2_net::TcpSocket& socket, PollKind kind, bool write = false) {
  set.add(socket.fd, true, write, tag(kind), socket.rx_start < socket.rx_end);
}

void add_listener(ntcp2_net::PollSet& set, const ntcp2_net::TcpListener& listener, PollKind kind) {
  set.add(listener.fd, true, false, tag(kind));
}

bool contains(const std::vector<int>& list, int fd) { return std::find(list.begin(), list.end(), fd) != list.end(); }

}  // namespace

// Every list the loop reads sockets of, and what each record waits for:
//   - reading, unless the record's side is paused (the buffer it feeds is full, or its input
//     is not yet taken): a socket watched but not read would end every wait at once;
//   - writing as well, while bytes wait in its output buffer to be written to the socket.
// A list of sockets the loop steps belongs here, or its records wait for the idle limit.
void Router::collect_poll_fds(ntcp2_net::PollSet& set) const {
  add_listener(set, ntcp2_listener, PollKind::Ntcp2Listener);
  add_listener(set, sam_listener, PollKind::SamListener);
  if (http_proxy_listener) add_listener(set, *http_proxy_listener, PollKind::HttpProxyListener);
  if (torrent_api_listener) add_listener(set, *torrent_api_listener, PollKind::TorrentApiListener);

  // Links are always read; a link with bytes not yet sent waits for room as well.
  for (const PeerSession& s : peer_sessions) add_read(set, s.conn.socket, PollKind::Link, s.conn.tx_queued > 0);
  for (const ntcp2_net::PendingNtcp2Accept& a : pending_accepts) add_read(set, a.socket, PollKind::Accept);
  // A dial waits for its connect to finish (writable), then for the responder's bytes.
  for (const PendingPeerDial& d : pending_dials) {
    if (d.dial.phase == ntcp2_net::DialPhase::Connecting) {
      set.add(d.dial.socket.fd, false, true, tag(PollKind::Dial));
    } else {
      add_read(set, d.dial.socket, PollKind::Dial);
    }
  }

  // The loop parts' sockets (the client services', the torrent API's) say themselves when
  // they would be read or written.
  std::vector<SocketWant> wants;
  for (const LoopPart& part : loop_parts.added()) {
    if (part.append_socket_wants != nullptr) part.append_socket_wants(*this, wants);
  }
  for (const SocketWant& w : wants) set.add(w.fd, w.read, w.write, tag(w.kind), w.ready);
}

// Every timer the loop keeps, each part from the same constants and fields its step compares
// with, so the wait ends in time for each of them; the idle limit only bounds the wait. A
// part of the core that adds a timer adds its next instant here too; a package built on the
// record gives its own through its loop part (router/loop_parts.h).
std::uint64_t Router::next_wake_ms(const Now& now) const {
  std::uint64_t wake = now.mono_ms + kIdleWakeCapMs;
  wake = std::min(wake, next_peers_wake_ms(*this, now));
  wake = std::min(wake, next_lookups_wake_ms(*this, now));
  wake = std::min(wake, next_builds_wake_ms(*this, now));
  wake = std::min(wake, next_maintenance_wake_ms(*this, now));
  wake = std::min(wake, next_publications_wake_ms(*this, now));
  for (const LoopPart& part : loop_parts.added()) {
    if (part.next_wake_ms != nullptr) wake = std::min(wake, part.next_wake_ms(*this, now));
  }
  return std::max(wake, now.mono_ms);
}

void wait_for_events(std::span<Router* const> routers, const Now& now, std::uint64_t wake_by_ms) {
  ntcp2_net::PollSet set;
  ntcp2_net::PollSet own;
  std::vector<std::size_t> owner;  // the router of each entry
  std::uint64_t wake = wake_by_ms;
  for (std::size_t i = 0; i < routers.size(); ++i) {
    Router& r = *routers[i];
    // The pass after the last wait found nothing to do: what ended that wait is left out.
    for (int fd : r.last_wake_fds) {
      if (!contains(r.quiet_fds, fd)) r.quiet_fds.push_back(fd);
    }
    r.last_wake_fds.clear();

    own.clear();
    r.collect_poll_fds(own);
    for (std::size_t k = 0; k < own.size(); ++k) {
      if (contains(r.quiet_fds, own.fds[k])) continue;
      set.add_entry(own, k);
      owner.push_back(i);
    }
    wake = std::min(wake, r.next_wake_ms(now));
    if (!r.quiet_fds.empty()) wake = std::min(wake, now.mono_ms + kQuietWaitMs);
  }

  // At least 1 ms: a timer computed a little early must not make the loop spin.
  const std::uint64_t wait_ms =
      std::clamp<std::uint64_t>(wake > now.mono_ms ? wake - now.mono_ms : 0, 1, kIdleWakeCapMs);
  const auto timeout = static_cast<std::int32_t>(wait_ms);
  const Result<std::size_t> reported = set.wait(timeout);
  if (!reported) {
    // The wait itself failed (out of memory): the interval is waited out without it.
    ondrel_i2p_net_idle_wait(std::min<std::int32_t>(timeout, static_cast<std::int32_t>(kQuietWaitMs)));
    return;
  }
  for (std::size_t k = 0; k < set.size(); ++k) {
    if (set.reported(k)) routers[owner[k]]->last_wake_fds.push_back(set.fds[k]);
  }
}

}  // namespace router
