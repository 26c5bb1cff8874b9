// Peer connections: the accept queue, inbound handshakes, dialling, the per-connection
// state machine with its time-outs and back-offs, the send buffer and the marking of a
// silent peer's ratchet sessions.
#include "torrent/peer_steps.h"

#include <algorithm>
#include <string>

#include "bittorrent/peer_wire.h"
#include "router/destinations.h"
#include "router/peer_log.h"
#include "router/poll_set.h"
#include "router/router.h"
#include "services/streams.h"
#include "torrent/engine.h"
#include "torrent/extensions.h"
#include "torrent/wake_deadlines.h"

namespace router {

namespace {

using streaming::StreamState;

constexpr std::uint64_t kBackoffLookupMs = 10'000;
constexpr std::uint64_t kBackoffConnectPublicMs = 20'000;
constexpr std::uint64_t kBackoffConnectLocalMs = 5'000;
constexpr std::uint64_t kBackoffMismatchMs = 15'000;
constexpr std::uint64_t kBackoffHandshakePublicMs = 25'000;
constexpr std::uint64_t kBackoffHandshakeLocalMs = 10'000;
constexpr std::uint64_t kBackoffEofMs = 10'000;
constexpr std::uint64_t kBackoffIdleMs = 15'000;

// The first instant at which each limit of a connection has passed (or, for the keep-alive
// and the LeaseSet2 lookup, at which each is due): its step acts from then on, and the
// loop's wait ends then (next_torrent_peers_wake_ms).
std::uint64_t lookup_limit_due_ms(const TorrentPeerConn& c) { return c.state_since_ms + kLookupTimeoutMs + 1; }
std::uint64_t connect_limit_due_ms(const TorrentPeerConn& c) { return c.state_since_ms + kConnectTimeoutMs + 1; }
std::uint64_t stalled_syn_due_ms(const TorrentPeerConn& c) { return c.state_since_ms + kStalledSynMs + 1; }
std::uint64_t handshake_limit_ms(const Router& r) {
  return r.public_mode ? kHandshakeTimeoutPublicMs : kHandshakeTimeoutLocalMs;
}
std::uint64_t handshake_limit_due_ms(const Router& r, const TorrentPeerConn& c) {
  return c.last_recv_ms + handshake_limit_ms(r) + 1;
}
std::uint64_t idle_limit_due_ms(const TorrentPeerConn& c) { return c.last_recv_ms + kIdleTimeoutMs + 1; }
std::uint64_t keepalive_due_ms(const TorrentPeerConn& c) { return c.last_send_ms + kKeepAliveMs; }
std::uint64_t inbound_limit_due_ms(const TorrentInboundConn& in) { return in.accepted_ms + kInboundHandshakeMs + 1; }

// The next lookup of the peer's LeaseSet2: kLeaseRefreshLookupMs after the last one and,
// while a LeaseSet2 with leases is held (ls), not before the last minute of its life.
std::uint64_t lease_lookup_due_ms(const TorrentPeerConn& c, const netdb::LeaseSet2Ptr& ls, const Now& now) {
  const std::uint64_t after_last = c.last_lookup_ms + kLeaseRefreshLookupMs;
  if (!ls || ls->leases.empty()) return after_last;
  const std::uint64_t end_s = std::uint64_t{ls->published} + ls->expires;
  const std::uint64_t last_minute_s = end_s > 60 ? end_s - 60 : 0;
  return std::max(after_last, mono_at_wall_ms(now, last_minute_s * 1000));
}

void close_conn(TorrentPeerConn& c, std::string reason) {
  set_peer_state(c, PeerConnState::Closed);
  c.close_reason = std::move(reason);
}

void debug_peer(const Router& r, const common::Hash& peer, std::string_view text) {
  if (r.debug) print_debug_line(true, "[debug] bt peer " + bt_short_b32(peer) + std::string(text));
}

bool same_info_hash(const bittorrent::Handshake& hs, const ActiveTorrent& t) {
  return t.info_hash.size() == hs.info_hash.size() &&
         std::equal(hs.info_hash.begin(), hs.info_hash.end(), t.info_hash.begin());
}

bool supports_extensions(const bittorrent::Handshake& hs) { return (hs.reserved[5] & 0x10) != 0; }

void send_own_handshake(Router& r, TorrentEngine& engine, SamSession& session, streaming::StreamConnection& s,
                        const ActiveTorrent& torrent, TorrentPeerConn& c, const Now& now) {
  auto hs = bittorrent::encode_handshake(torrent.info_hash, engine.peer_id);
  if (hs) r.bt_send_peer_wire(engine, session, s, c, *hs, now);
}

// What a silence says about the peer's ratchet session. A connect or an established
// connection that hears nothing for long may mean our garlic no longer reaches the peer: its
// LeaseSet2 goes too, so the next dial looks it up afresh. A stalled SYN is only a hint: asked
// through the router-wide reset window. A handshake that never comes: the session alone.
constexpr RatchetMarking kMarkLongSilence{.quiet_s = 15, .remove_lease_set = true, .throttle = false};
constexpr RatchetMarking kMarkStalledSyn{.quiet_s = 10, .remove_lease_set = false, .throttle = true};
constexpr RatchetMarking kMarkHandshakeSilence{.quiet_s = 20, .remove_lease_set = false, .throttle = false};

// How a failure ends a connection besides closing it.
struct PeerFailure {
  std::uint64_t backoff_ms = 0;  // before the peer is dialled again; 0: no back-off
  std::optional<RatchetMarking> marking;
  std::string_view marking_reason;  // the marking's debug reason; empty: the close reason

  static PeerFailure backoff(std::uint64_t ms) {
    PeerFailure f;
    f.backoff_ms = ms;
    return f;
  }
  PeerFailure and_mark(const RatchetMarking& m, std::string_view reason = {}) const {
    PeerFailure f = *this;
    f.marking = m;
    f.marking_reason = reason;
    return f;
  }
};

// One visit of a connection, with what its state's step works on.
struct PeerVisit {
  Router& r;
  TorrentEngine& engine;
  SamSession& session;
  ActiveTorrent& torrent;
  TorrentPeerConn& c;
  const Now& now;
};

// Closes the connection for `reason`, backs the peer off and marks its ratchet session as
// the failure says. The connection is removed at the end of its visit.
void fail_peer(PeerVisit& v, std::string reason, const PeerFailure& failure = PeerFailure()) {
  const std::uint64_t t = v.now.mono_ms;
  close_conn(v.c, std::move(reason));
  if (failure.backoff_ms != 0) bt_set_peer_backoff(v.torrent.backoff, v.c.peer, t + failure.backoff_ms, t);
  if (failure.marking) {
    const std::string_view why = failure.marking_reason.empty() ? v.c.close_reason : failure.marking_reason;
    v.r.bt_mark_peer_ratchet_stale(v.engine, v.session, v.c, *failure.marking, why, v.now);
  }
}

// Appends what the stream received to the connection's buffer; true when bytes came.
bool take_received(streaming::StreamConnection& s, TorrentPeerConn& c) {
  Bytes got = s.read_available();
  if (got.empty()) return false;
  c.recv_buf.insert(c.recv_buf.end(), got.begin(), got.end());
  return true;
}

// LookingUp: once the peer's LeaseSet2 with a lease and a key is known, the stream opens
// and its SYN leaves at once; the lookup has its time limit.
bool step_looking_up(PeerVisit& v) {
  TorrentPeerConn& c = v.c;
  const std::uint64_t t = v.now.mono_ms;
  const netdb::LeaseSet2Ptr ls = v.r.netdb.get_lease_set2(c.peer, v.now.wall_s());
  const auto key = ls && !ls->leases.empty() ? extract_x25519_key(*ls) : std::nullopt;
  if (!key) {
    if (t >= lookup_limit_due_ms(c)) fail_peer(v, "ls2 lookup timeout (30s)", PeerFailure::backoff(kBackoffLookupMs));
    return false;
  }
  auto opened = v.session.streams->connect(c.peer, t, 0, 0);
  if (!opened) {
    fail_peer(v, "stream connect error");
    return true;
  }
  c.stream_id = (*opened)->local_stream_id;
  c.remote_x25519.assign(key->begin(), key->end());
  c.lease_gateway = ls->leases.front().gateway;
  c.lease_tunnel_id = ls->leases.front().tunnel_id;
  set_peer_state(c, PeerConnState::Connecting);
  c.state_since_ms = t;
  c.last_flush_ms = t;
  c.publish_gen = v.engine.publish_gen;
  debug_peer(v.r, c.peer, " connecting I2P stream sid=" + std::to_string(c.stream_id));
  v.r.flush_stream_outbound(v.session, **opened, c.peer, c.remote_x25519, *c.lease_gateway, c.lease_tunnel_id, true,
                            v.now);
  return true;
}

// Connecting: an established stream carries our handshake; a reset or the connect limit
// ends the connection, and a SYN long unanswered hints once at a stale ratchet session.
bool step_connecting(PeerVisit& v, streaming::StreamConnection& s) {
  TorrentPeerConn& c = v.c;
  const std::uint64_t t = v.now.mono_ms;
  const std::uint64_t backoff = v.r.public_mode ? kBackoffConnectPublicMs : kBackoffConnectLocalMs;
  if (s.state == StreamState::Established) {
    set_peer_state(c, PeerConnState::HandshakeSent);
    c.last_recv_ms = t;
    debug_peer(v.r, c.peer, " stream connected, sending BT handshake");
    if (!c.handshake_sent) {
      c.handshake_sent = true;
      send_own_handshake(v.r, v.engine, v.session, s, v.torrent, c, v.now);
    }
    return true;
  }
  if (s.state == StreamState::Reset) {
    fail_peer(v, "stream connect reset", PeerFailure::backoff(backoff));
  } else if (t >= connect_limit_due_ms(c)) {
    fail_peer(v, "stream connect timeout (30s)",
              PeerFailure::backoff(backoff).and_mark(kMarkLongSilence, "stream connect timeout"));
  } else if (s.state == StreamState::SynSent && !c.stalled_syn_noted && t >= stalled_syn_due_ms(c)) {
    c.stalled_syn_noted = true;
    v.r.bt_mark_peer_ratchet_stale(v.engine, v.session, c, kMarkStalledSyn, "stalled SYN", v.now);
  }
  return false;
}

// HandshakeSent: waits for the peer's 68-byte handshake on our torrent, then the connection
// is Connected and its first messages are handled at once.
bool step_handshake_sent(PeerVisit& v, streaming::StreamConnection& s) {
  TorrentPeerConn& c = v.c;
  const std::uint64_t t = v.now.mono_ms;
  bool did_work = v.r.bt_flush_peer_send_buf(v.engine, v.session, s, c, v.now);
  if (take_received(s, c)) did_work = true;
  if (c.recv_buf.size() >= bittorrent::handshake_size) {
    auto hs = bittorrent::decode_handshake(c.recv_buf);
    if (!hs || !same_info_hash(*hs, v.torrent)) {
      fail_peer(v, "bt handshake mismatch", PeerFailure::backoff(kBackoffMismatchMs));
      return did_work;
    }
    bt_pop_front_bytes(c.recv_buf, static_cast<std::int64_t>(bittorrent::handshake_size));
    c.peer_supports_ext = supports_extensions(*hs);
    set_peer_state(c, PeerConnState::Connected);
    c.last_recv_ms = t;
    debug_peer(v.r, c.peer, " handshake OK");
    if (!c.post_handshake_sent) v.r.bt_send_post_handshake(v.engine, v.session, s, v.torrent, c, v.now);
    v.r.bt_process_peer_messages(v.engine, v.session, s, v.torrent, c, v.now);
    return true;
  }
  const std::uint64_t backoff = v.r.public_mode ? kBackoffHandshakePublicMs : kBackoffHandshakeLocalMs;
  if (s.state == StreamState::Reset) {
    fail_peer(v, "stream reset before bt handshake", PeerFailure::backoff(backoff));
  } else if (s.peer_closed && s.recv_buf.empty()) {
    fail_peer(v, "stream eof before bt handshake", PeerFailure::backoff(backoff).and_mark(kMarkHandshakeSilence));
  } else if (t >= handshake_limit_due_ms(v.r, c)) {
    fail_peer(v, "bt handshake timeout (" + std::to_string(handshake_limit_ms(v.r) / 1000) + "s)",
              PeerFailure::backoff(backoff).and_mark(kMarkHandshakeSilence));
  }
  return did_work;
}

// Connected: sends what waits, reads while the receive buffer has room (a full one holds the
// peer back through the stream), handles messages, asks for metadata and blocks, keeps the
// connection alive, and ends it on a reset, the peer's end of stream or a long silence.
bool step_connected(PeerVisit& v, streaming::StreamConnection& s) {
  TorrentPeerConn& c = v.c;
  const std::uint64_t t = v.now.mono_ms;
  bool did_work = v.r.bt_flush_peer_send_buf(v.engine, v.session, s, c, v.now);
  if (c.recv_buf.size() < kPeerRecvBufMax && take_received(s, c)) {
    c.last_recv_ms = t;
    did_work = true;
  }
  const std::size_t before = c.recv_buf.size();
  v.r.bt_process_peer_messages(v.engine, v.session, s, v.torrent, c, v.now);
  if (c.recv_buf.size() != before) did_work = true;
  if (peer_state(c) != PeerConnState::Connected) return did_work;
  if (bt_request_metadata(v.r, v.engine, v.session, s, v.torrent, c, v.now)) did_work = true;
  v.r.bt_schedule_piece_requests(v.engine, v.session, s, v.torrent, c, v.now);
  if (peer_state(c) != PeerConnState::Connected) return did_work;
  if (c.send_buf.empty() && t >= keepalive_due_ms(c)) {
    v.r.bt_send_peer_wire(v.engine, v.session, s, c,
                          bittorrent::encode_peer_message({bittorrent::PeerMessage::KeepAlive{}}), v.now);
  }
  if (s.state == StreamState::Reset) {
    fail_peer(v, "stream reset", PeerFailure::backoff(kBackoffEofMs));
  } else if (s.peer_closed && s.recv_buf.empty() && !bt_has_complete_frame(c.recv_buf)) {
    fail_peer(v, "stream eof", PeerFailure::backoff(kBackoffEofMs));
  } else if (!v.torrent.completed && t >= idle_limit_due_ms(c)) {
    fail_peer(v, "idle 90s timeout", PeerFailure::backoff(kBackoffIdleMs).and_mark(kMarkLongSilence));
  }
  return did_work;
}

// One visit of a connection; it may end Closed. True when it did something.
bool step_peer(PeerVisit& v) {
  switch (peer_state(v.c)) {
    case PeerConnState::LookingUp: return step_looking_up(v);
    case PeerConnState::Closed: return false;
    case PeerConnState::Connecting:
    case PeerConnState::HandshakeSent:
    case PeerConnState::Connected: break;
  }
  // Every later state has its stream; a connection whose stream went away ends.
  const streaming::ConnectionPtr s = find_stream_by_id(v.session.streams->connections, v.c.stream_id);
  if (!s) {
    fail_peer(v, "missing stream");
    return false;
  }
  switch (peer_state(v.c)) {
    case PeerConnState::Connecting: return step_connecting(v, *s);
    case PeerConnState::HandshakeSent: return step_handshake_sent(v, *s);
    case PeerConnState::Connected: return step_connected(v, *s);
    case PeerConnState::LookingUp:
    case PeerConnState::Closed: break;
  }
  return false;
}

}  // namespace

void bt_close_stream(Router& r, SamSession& session, std::uint32_t stream_id, const Now& now) {
  if (!session.streams || stream_id == 0) return;
  if (const streaming::ConnectionPtr s = find_stream_by_id(session.streams->connections, stream_id)) {
    // The CLOSE leaves now: once the stream is out of the manager nothing flushes it.
    if (s->close(now.mono_ms)) {
      if (const netdb::LeaseSet2Ptr ls = r.netdb.get_lease_set2(s->peer_hash, now.wall_s());
          ls && !ls->leases.empty()) {
        if (const auto key = extract_x25519_key(*ls)) {
          r.flush_stream_outbound(session, *s, s->peer_hash, *key, ls->leases.front().gateway,
                                  ls->leases.front().tunnel_id, false, now);
        }
      }
    }
  }
  remove_stream_by_id(*session.streams, stream_id);
}

void bt_start_lease_lookup(Router& r, const common::Hash& peer, const Now& now) {
  if (r.has_pending_lookup(peer, LookupKind::LeaseSet)) return;
  r.start_polled_lease_set_lookup(peer, now);
}

bool bt_has_complete_frame(const Bytes& buffer) {
  if (buffer.size() < 4) return false;
  const std::uint64_t length = (std::uint64_t{buffer[0]} << 24) | (std::uint64_t{buffer[1]} << 16) |
                               (std::uint64_t{buffer[2]} << 8) | std::uint64_t{buffer[3]};
  return buffer.size() >= 4 + length;
}

namespace {

// Takes at most kMaxInboundPerPass streams from the accept queue to wait for their handshake;
// their SYN replies leave at once when the peer's LeaseSet2 is known. True when one was taken.
bool take_inbound_streams(Router& r, TorrentEngine& engine, SamSession& session, const Now& now) {
  streaming::StreamManager& streams = *session.streams;
  bool did_work = false;
  for (std::size_t taken = 0; taken < kMaxInboundPerPass && !streams.accept_queue.empty(); ++taken) {
    const streaming::ConnectionPtr s = streams.accept_queue.front();
    streams.accept_queue.pop_front();
    did_work = true;
    if (engine.inbound.size() >= kMaxInboundWaiting) {
      bt_close_stream(r, session, s->local_stream_id, now);
      continue;
    }
    TorrentInboundConn in;
    in.stream_id = s->local_stream_id;
    in.peer = s->peer_hash;
    in.lease_gateway = r.router_hash();
    in.lease_tunnel_id = static_cast<std::uint32_t>(session.tunnel_id);
    in.accepted_ms = now.mono_ms;
    if (const netdb::LeaseSet2Ptr ls = r.netdb.get_lease_set2(s->peer_hash, now.wall_s()); ls && !ls->leases.empty()) {
      in.lease_gateway = ls->leases.front().gateway;
      in.lease_tunnel_id = ls->leases.front().tunnel_id;
      if (const auto key = extract_x25519_key(*ls)) in.remote_x25519.assign(key->begin(), key->end());
    }
    if (in.remote_x25519.size() == 32) {
      r.flush_stream_outbound(session, *s, in.peer, in.remote_x25519, in.lease_gateway, in.lease_tunnel_id, true, now);
    }
    engine.inbound.push_back(std::move(in));
  }
  return did_work;
}

// The connection of an inbound peer whose handshake named the torrent: Connected, answered
// with our handshake and the post-handshake messages, its further bytes handled at once.
TorrentPeerConn accept_inbound_peer(Router& r, TorrentEngine& engine, SamSession& session,
                                    streaming::StreamConnection& s, ActiveTorrent& torrent,
                                    const TorrentInboundConn& in, const bittorrent::Handshake& hs, const Now& now) {
  bt_add_known_peer(torrent, in.peer, session.dest_hash);
  TorrentPeerConn c;
  c.peer = in.peer;
  set_peer_state(c, PeerConnState::Connected);
  c.state_since_ms = c.last_recv_ms = c.last_send_ms = c.last_flush_ms = now.mono_ms;
  c.last_lookup_ms = 0;
  c.publish_gen = engine.publish_gen;
  c.stream_id = in.stream_id;
  c.remote_x25519 = in.remote_x25519;
  c.lease_gateway = in.lease_gateway;
  c.lease_tunnel_id = in.lease_tunnel_id;
  c.recv_buf.assign(in.recv_buf.begin() + static_cast<std::ptrdiff_t>(bittorrent::handshake_size), in.recv_buf.end());
  c.handshake_sent = true;
  c.peer_supports_ext = supports_extensions(hs);
  if (r.debug) print_debug_line(true, "[debug] bt inbound peer " + bt_short_b32(c.peer) + " handshake OK");
  send_own_handshake(r, engine, session, s, torrent, c, now);
  if (!c.post_handshake_sent) r.bt_send_post_handshake(engine, session, s, torrent, c, now);
  r.bt_process_peer_messages(engine, session, s, torrent, c, now);
  return c;
}

// Reads the waiting streams' handshakes: one that names a running torrent becomes its
// connection; one that fails, names none, or does not come in time is closed.
bool step_inbound_handshakes(Router& r, TorrentEngine& engine, SamSession& session, const Now& now) {
  bool did_work = false;
  for (std::size_t i = 0; i < engine.inbound.size();) {
    TorrentInboundConn& in = engine.inbound[i];
    const auto drop = [&] { engine.inbound.erase(engine.inbound.begin() + static_cast<std::ptrdiff_t>(i)); };
    const streaming::ConnectionPtr s = find_stream_by_id(session.streams->connections, in.stream_id);
    if (!s) {
      drop();
      did_work = true;
      continue;
    }
    Bytes got = s->read_available();
    if (!got.empty()) {
      in.recv_buf.insert(in.recv_buf.end(), got.begin(), got.end());
      did_work = true;
    }
    if (in.recv_buf.size() < bittorrent::handshake_size) {
      if (s->state == StreamState::Reset || (s->peer_closed && s->recv_buf.empty()) ||
          now.mono_ms >= inbound_limit_due_ms(in)) {
        bt_close_stream(r, session, in.stream_id, now);
        drop();
        did_work = true;
        continue;
      }
      ++i;
      continue;
    }
    did_work = true;
    auto hs = bittorrent::decode_handshake(in.recv_buf);
    ActiveTorrent* torrent = hs ? bt_find_torrent_by_ih(engine.torrents, hs->info_hash) : nullptr;
    if (!torrent || torrent->paused) {
      bt_close_stream(r, session, in.stream_id, now);
      drop();
      continue;
    }
    torrent->peers.push_back(accept_inbound_peer(r, engine, session, *s, *torrent, in, *hs, now));
    drop();
  }
  return did_work;
}

}  // namespace

bool bt_step_inbound(Router& r, TorrentEngine& engine, SamSession& session, const Now& now) {
  const bool taken = take_inbound_streams(r, engine, session, now);
  const bool stepped = step_inbound_handshakes(r, engine, session, now);
  return taken || stepped;
}

bool bt_step_torrent_peers(Router& r, TorrentEngine& engine, SamSession& session, ActiveTorrent& torrent,
                           const Now& now) {
  bool did_work = false;
  const std::uint64_t t = now.mono_ms;
  std::erase_if(torrent.backoff, [&](const TorrentBackoff& b) { return b.until_ms <= t; });

  if (!torrent.completed) {
    for (const common::Hash& peer : torrent.known_peers) {
      if (torrent.peers.size() >= kMaxDialledPeers) break;
      if (peer == session.dest_hash || bt_peer_backed_off(torrent.backoff, peer, t)) continue;
      if (std::any_of(torrent.peers.begin(), torrent.peers.end(),
                      [&](const TorrentPeerConn& c) { return c.peer == peer; })) {
        continue;
      }
      bt_start_lease_lookup(r, peer, now);
      debug_peer(r, peer, " queuing LS2 lookup");
      TorrentPeerConn c;
      c.peer = peer;
      set_peer_state(c, PeerConnState::LookingUp);
      c.state_since_ms = c.last_recv_ms = c.last_send_ms = c.last_lookup_ms = t;
      torrent.peers.push_back(std::move(c));
      did_work = true;
    }
  }

  for (std::size_t i = 0; i < torrent.peers.size();) {
    TorrentPeerConn& c = torrent.peers[i];
    PeerVisit visit{r, engine, session, torrent, c, now};
    if (step_peer(visit)) did_work = true;
    if (peer_state(c) != PeerConnState::Closed) {
      ++i;
      continue;
    }
    debug_peer(r, c.peer, " closed (" + c.close_reason + ")");
    bt_close_stream(r, session, c.stream_id, now);
    torrent.peers.erase(torrent.peers.begin() + static_cast<std::ptrdiff_t>(i));
    did_work = true;
  }
  return did_work;
}

// The inbound handshake limit, the back-offs of running torrents (a peer may be dialled or
// asked again once its back-off ends), and each connection's limits by its state: the
// LeaseSet2 wait (at once when it came), the connect limit and the stalled-SYN check, the
// handshake limit, the idle limit and keep-alive, and the LeaseSet2 lookups of connections
// that send.
std::uint64_t next_torrent_peers_wake_ms(const Router& r, const Now& now) {
  if (bt_stepped_engine(r) == nullptr) return kNoWakeDeadline;
  const TorrentEngine& engine = *r.torrent_engine;
  const SamSession& session = *Router::find_session_by_id(r.sessions, engine.session_id);
  const streaming::StreamManager& streams = *session.streams;
  const std::uint32_t now_s = now.wall_s();
  std::uint64_t wake = kNoWakeDeadline;
  const auto due = [&](std::uint64_t at) { wake = std::min(wake, std::max(at, now.mono_ms)); };
  for (const TorrentInboundConn& in : engine.inbound) {
    if (in.recv_buf.size() < bittorrent::handshake_size) due(inbound_limit_due_ms(in));
  }
  for (const ActiveTorrent& torrent : engine.torrents) {
    if (torrent.paused) continue;
    for (const TorrentBackoff& b : torrent.backoff) due(b.until_ms);
    for (const TorrentPeerConn& c : torrent.peers) {
      switch (peer_state(c)) {
        case PeerConnState::LookingUp: {
          const netdb::LeaseSet2Ptr ls = r.netdb.get_lease_set2(c.peer, now_s);
          due(ls && !ls->leases.empty() && extract_x25519_key(*ls) ? now.mono_ms : lookup_limit_due_ms(c));
          break;
        }
        case PeerConnState::Connecting: {
          due(connect_limit_due_ms(c));
          const streaming::ConnectionPtr s = find_stream_by_id(streams.connections, c.stream_id);
          if (s && s->state == StreamState::SynSent && !c.stalled_syn_noted) due(stalled_syn_due_ms(c));
          break;
        }
        case PeerConnState::HandshakeSent:
          due(lease_lookup_due_ms(c, r.netdb.get_lease_set2(c.peer, now_s), now));
          due(handshake_limit_due_ms(r, c));
          break;
        case PeerConnState::Connected:
          due(lease_lookup_due_ms(c, r.netdb.get_lease_set2(c.peer, now_s), now));
          if (c.send_buf.empty()) due(keepalive_due_ms(c));
          if (!torrent.completed) due(idle_limit_due_ms(c));
          break;
        case PeerConnState::Closed: break;
      }
    }
  }
  return wake;
}

void Router::bt_mark_peer_ratchet_stale(TorrentEngine& engine, SamSession& session, const TorrentPeerConn& conn,
                                        const RatchetMarking& marking, std::string_view reason, const Now& now) {
  for (const ActiveTorrent& t : engine.torrents) {
    for (const TorrentPeerConn& other : t.peers) {
      if (&other != &conn && other.peer == conn.peer && peer_state(other) == PeerConnState::Connected) return;
    }
  }
  const std::uint32_t now_s = now.wall_s();
  if (conn.remote_x25519.size() == 32 && session.ratchet &&
      session.ratchet->has_active_session(conn.remote_x25519, now_s)) {
    const std::uint32_t last = session.ratchet->last_recv_sec(conn.remote_x25519);
    bool stale = last == 0 || std::uint64_t{last} + marking.quiet_s < now_s;
    if (marking.throttle) {
      const bool granted = try_acquire_ratchet_reset(conn.peer, now.mono_ms, kRatchetResetWindowMs);
      stale = stale && granted;
    }
    if (stale) {
      session.ratchet->mark_send_stale(conn.remote_x25519);
      if (debug) {
        print_debug_line(true, "[debug] bt peer " + bt_short_b32(conn.peer) + " marking ECIES ratchet send-stale (" +
                                   std::string(reason) + ")");
      }
    }
  }
  if (marking.remove_lease_set) netdb.remove_lease_set2(conn.peer);
}

bool Router::bt_flush_peer_send_buf(TorrentEngine& engine, SamSession& session, streaming::StreamConnection& stream,
                                    TorrentPeerConn& conn, const Now& now) {
  const std::uint32_t now_s = now.wall_s();
  const std::uint64_t t = now.mono_ms;
  const netdb::LeaseSet2Ptr ls = netdb.get_lease_set2(conn.peer, now_s);
  if (t >= lease_lookup_due_ms(conn, ls, now)) {
    conn.last_lookup_ms = t;
    bt_start_lease_lookup(*this, conn.peer, now);
  }
  if (ls && !ls->leases.empty()) {
    conn.lease_gateway = ls->leases.front().gateway;
    conn.lease_tunnel_id = ls->leases.front().tunnel_id;
    if (const auto key = extract_x25519_key(*ls)) conn.remote_x25519.assign(key->begin(), key->end());
  }
  if (conn.send_buf.empty()) return false;
  auto accepted = stream.write(conn.send_buf, t);
  if (!accepted || *accepted == 0) return false;
  bt_pop_front_bytes(conn.send_buf, static_cast<std::int64_t>(*accepted));
  conn.last_send_ms = t;
  const bool attach = engine.publish_gen != conn.publish_gen || t >= conn.last_flush_ms + kLeaseAttachIntervalMs;
  if (conn.remote_x25519.size() == 32 && conn.lease_gateway) {
    flush_stream_outbound(session, stream, conn.peer, conn.remote_x25519, *conn.lease_gateway, conn.lease_tunnel_id,
                          attach, now);
    if (attach) {
      conn.last_flush_ms = t;
      conn.publish_gen = engine.publish_gen;
    }
  }
  return true;
}

bool Router::bt_send_peer_wire(TorrentEngine& engine, SamSession& session, streaming::StreamConnection& stream,
                               TorrentPeerConn& conn, ByteView encoded, const Now& now) {
  // Serving stops well before this; only a peer that reads nothing at all gets here.
  if (conn.send_buf.size() + encoded.size() > kPeerSendBufMax + kMaxServedRequest + 64) {
    close_conn(conn, "send buffer full");
    return false;
  }
  conn.send_buf.insert(conn.send_buf.end(), encoded.begin(), encoded.end());
  return bt_flush_peer_send_buf(engine, session, stream, conn, now);
}

}  // namespace router
