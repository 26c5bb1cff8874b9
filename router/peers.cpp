// NTCP2 peer management: the non-waiting pass over accepts, handshakes, queued messages and
// sessions; the single exit of I2NP messages; dials; the back-off list.
#include <algorithm>
#include <string>
#include <utility>

#include "encoding/reader.h"
#include "i2np/message.h"
#include "ntcp2_net/address_ranges.h"
#include "router/id_counters.h"
#include "router/peer_log.h"
#include "router/poll_set.h"
#include "router/router.h"

namespace router {

namespace {

constexpr int kAcceptsPerPass = 8;
// Inbound handshakes held at once; a new one closes the oldest, so connections that never
// speak cannot hold the process's descriptors.
constexpr std::size_t kMaxPendingAccepts = 64;
constexpr std::uint64_t kHandshakeLimitMs = 10000;
constexpr int kFramesPerSessionPass = 32;
constexpr std::uint64_t kIdleCloseMs = 180000;
constexpr std::uint64_t kQueuedLifetimeMs = 15000;
constexpr std::uint32_t kSendExpirationS = 60;
constexpr std::uint64_t kFailureBackoffMs = 60000;
constexpr std::uint64_t kNoAddressBackoffMs = 120000;
// Dials in progress at once. Peers name the addresses in their RouterInfos, so without a
// bound they could make this router open connections to any host as fast as they send.
constexpr std::size_t kMaxPendingDials = 16;
// Held link sends are written once a link holds this much, whatever is left of the pass.
constexpr std::int32_t kHeldBytesPerLink = 65536;

// Removes the entries at the given positions (ascending), keeping the order of the rest.
template <typename T>
void erase_positions(std::vector<T>& list, const std::vector<std::size_t>& positions) {
  if (positions.empty()) return;
  std::size_t kept = 0;
  std::size_t next = 0;
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (next < positions.size() && positions[next] == i) {
      ++next;
      continue;
    }
    if (kept != i) list[kept] = std::move(list[i]);
    ++kept;
  }
  list.erase(list.begin() + static_cast<std::ptrdiff_t>(kept), list.end());
}

// Sessions and handshakes both ways: each holds a descriptor.
std::size_t ntcp2_links(const Router& r) {
  return r.peer_sessions.size() + r.pending_accepts.size() + r.pending_dials.size();
}

// True when an accepted descriptor lies within the reserve: either its number does (the
// system hands out the lowest free one, so every one below it is taken), or the descriptors
// of start-up and of the links, this one included, reach into it (closed links leave holes
// below, so a low number alone proves nothing).
bool within_descriptor_reserve(const Router& r, int fd) {
  if (r.descriptor_limit <= 0) return false;
  const std::int64_t outside = r.descriptor_limit - kDescriptorReserve;
  const std::int64_t held = r.descriptors_at_start + static_cast<std::int64_t>(ntcp2_links(r)) + 1;
  return fd >= outside || held > outside;
}

}  // namespace

// The handshake limits, the life of queued messages (those to this router at once), the idle
// close and the stall limits of the links. Each fires in the first pass after its instant
// has passed, so each is due one millisecond after it.
std::uint64_t next_peers_wake_ms(const Router& r, const Now& now) {
  std::uint64_t wake = kNoWakeDeadline;
  const auto due = [&](std::uint64_t at) { wake = std::min(wake, std::max(at, now.mono_ms)); };
  for (const ntcp2_net::PendingNtcp2Accept& a : r.pending_accepts) due(a.started_ms + kHandshakeLimitMs + 1);
  for (const PendingPeerDial& d : r.pending_dials) due(d.dial.started_ms + kHandshakeLimitMs + 1);
  if (!r.pending_sends.empty()) {
    const common::Hash own = r.router_hash();
    for (const PendingPeerSend& e : r.pending_sends)
      due(e.peer == own ? now.mono_ms : e.queued_ms + kQueuedLifetimeMs + 1);
  }
  for (const PeerSession& s : r.peer_sessions) {
    due(s.last_activity_ms + kIdleCloseMs + 1);
    if (s.conn.stall_since_ms != 0) due(s.conn.stall_since_ms + ntcp2_net::kSendStallMs + 1);
    if (s.conn.rx_started_ms != 0) due(s.conn.rx_started_ms + ntcp2_net::kFrameStallMs + 1);
  }
  return wake;
}

bool is_peer_in_list(const common::Hash& peer, const std::vector<common::Hash>& list) {
  return std::find(list.begin(), list.end(), peer) != list.end();
}

bool Router::step_ntcp2_peers(const Now& now) {
  bool did_work = accept_ntcp2_connections(now);
  did_work |= step_pending_accepts(now);
  did_work |= step_pending_dials(now);
  did_work |= deliver_queued_sends(now);
  did_work |= step_peer_sessions(now);
  return did_work;
}

// New inbound connections, at most 8 a pass, at most 64 handshakes at once, at most 512
// links in all, none held in the descriptor reserve. A failed set-up closes its socket and
// still counts toward the 8; a failed accept (out of descriptors) ends the step without
// work, so the loop goes on to its idle wait.
bool Router::accept_ntcp2_connections(const Now& now) {
  bool did_work = false;
  const common::Hash own = router_hash();
  for (int i = 0; i < kAcceptsPerPass; ++i) {
    auto accepted = ntcp2_listener.accept(0);
    if (!accepted || !*accepted) break;
    ntcp2_net::TcpSocket& socket = **accepted;
    // Beyond the bound of links a connection is refused; within the descriptor reserve it
    // may only take the place of the oldest handshake. A refused connection is closed at
    // once, so it holds nothing and the listener does not stay readable.
    const bool in_reserve = within_descriptor_reserve(*this, socket.fd);
    if (ntcp2_links(*this) >= kMaxNtcp2Links || (in_reserve && pending_accepts.empty())) {
      socket.close();
      did_work = true;
      continue;
    }
    if (in_reserve || pending_accepts.size() >= kMaxPendingAccepts) {
      pending_accepts.front().socket.close();
      pending_accepts.erase(pending_accepts.begin());
    }
    auto pending = ntcp2_net::PendingNtcp2Accept::start(std::move(socket), static_keypair, own.view(), ntcp2_iv,
                                                        check_clock_skew, now);
    if (!pending) continue;
    pending_accepts.push_back(std::move(*pending));
    did_work = true;
  }
  return did_work;
}

// Inbound handshakes. Their failures cost no back-off: the peer is not known yet. A link
// always carries the RouterInfo that proved its static key, so the peer is that router.
bool Router::step_pending_accepts(const Now& now) {
  bool did_work = false;
  std::vector<std::size_t> ended;
  for (std::size_t i = 0; i < pending_accepts.size(); ++i) {
    ntcp2_net::PendingNtcp2Accept& pending = pending_accepts[i];
    if (pending.started_ms + kHandshakeLimitMs < now.mono_ms) {
      pending.socket.close();
      ended.push_back(i);
      did_work = true;
      continue;
    }
    const auto phase = pending.phase;
    const std::size_t had = pending.rx.size();
    auto stepped = pending.step(ntcp2_replay_cache, now);
    if (stepped && !*stepped) {
      // Bytes taken are work: the wait must not take this socket for one that woke it idly.
      if (pending.phase != phase || pending.rx.size() != had) did_work = true;
      continue;
    }
    ended.push_back(i);
    did_work = true;
    if (!stepped) continue;  // its socket is closed already
    ntcp2_net::Ntcp2Conn conn = std::move(**stepped);
    const common::Hash peer = conn.peer_info.identity.keys_and_cert.hash();
    (void)netdb.store_router_info(conn.peer_info);
    add_peer_session(peer, std::move(conn), now, /*dialled=*/false);
  }
  erase_positions(pending_accepts, ended);
  return did_work;
}

// Outbound handshakes. In public mode a dial that times out or fails backs its peer off.
bool Router::step_pending_dials(const Now& now) {
  bool did_work = false;
  std::vector<std::size_t> ended;
  for (std::size_t i = 0; i < pending_dials.size(); ++i) {
    PendingPeerDial& pending = pending_dials[i];
    const common::Hash peer = pending.peer;
    if (pending.dial.started_ms + kHandshakeLimitMs < now.mono_ms) {
      pending.dial.socket.close();
      ended.push_back(i);
      did_work = true;
      if (public_mode) {
        mark_peer_failed(peer, kFailureBackoffMs, now);
        print_debug_line(debug, "[debug] NTCP2 dial timeout: " + peer.to_b32_address());
      }
      continue;
    }
    const auto phase = pending.dial.phase;
    const std::size_t had = pending.dial.rx.size();
    auto stepped = pending.dial.step(now);
    if (stepped && !*stepped) {
      if (pending.dial.phase != phase || pending.dial.rx.size() != had) did_work = true;
      continue;
    }
    ended.push_back(i);
    did_work = true;
    if (!stepped) {
      if (public_mode) {
        mark_peer_failed(peer, kFailureBackoffMs, now);
        print_debug_line(debug, "[debug] NTCP2 dial rejected: " + peer.to_b32_address());
      }
      continue;
    }
    add_peer_session(peer, std::move(**stepped), now, /*dialled=*/true);
  }
  erase_positions(pending_dials, ended);
  return did_work;
}

void Router::add_peer_session(const common::Hash& peer, ntcp2_net::Ntcp2Conn conn, const Now& now, bool dialled) {
  // One session per peer and direction: a newer one replaces the older, so an identity that
  // connects again and again holds one link, not one per connection. The other direction
  // stays: when two routers dial each other at once, each closing the link it did not make
  // last would close the one the other side kept, and lose what was sent on it.
  const bool inbound = !dialled;
  std::erase_if(peer_sessions, [&](PeerSession& s) {
    if (s.peer != peer || s.inbound != inbound) return false;
    s.conn.socket.close();
    return true;
  });
  peer_sessions.push_back(PeerSession{peer, std::move(conn), now.mono_ms, inbound, 0});
  if (dialled) {
    print_debug_line(debug, "[debug] NTCP2 connected to " + peer.to_b32_address() +
                                " (peers=" + std::to_string(peer_sessions.size()) + ")");
  }
  flush_pending_sends_for(peer, peer_sessions.back(), now);
}

// Queued messages: those to this router are handled now (whatever their age), those whose
// link never came are dropped after 15,000 ms.
bool Router::deliver_queued_sends(const Now& now) {
  const common::Hash own = router_hash();
  std::vector<PendingPeerSend> local;
  std::erase_if(pending_sends, [&](PendingPeerSend& entry) {
    if (entry.peer == own) {
      local.push_back(std::move(entry));
      return true;
    }
    return entry.queued_ms + kQueuedLifetimeMs < now.mono_ms;
  });
  // The count is made afresh each pass, so it never drifts from the list.
  pending_send_bytes = 0;
  for (const PendingPeerSend& entry : pending_sends) pending_send_bytes += entry.bytes;
  for (const PendingPeerSend& entry : local) {
    const i2np::I2npShortHeader header{entry.payload.msg_type(), entry.msg_id, entry.expiration_s};
    handle_i2np_message(own, header, entry.payload, now);
  }
  return !local.empty();
}

// Sessions. Handlers may send and so close sockets of sessions, but never add or remove
// sessions, so the walk goes by position and ended sessions are removed after it.
bool Router::step_peer_sessions(const Now& now) {
  bool did_work = false;
  std::vector<std::size_t> ended;
  // What the handlers send (relayed cells above all) leaves after the walk, each link's
  // frames in one write rather than one write per frame.
  holding_link_sends(now, [&] {
    for (std::size_t i = 0; i < peer_sessions.size(); ++i) {
      if (!step_peer_session(i, now, did_work)) ended.push_back(i);
    }
    erase_positions(peer_sessions, ended);
  });
  return did_work;
}

void Router::flush_link_sends(const Now& now) {
  for (PeerSession& session : peer_sessions) {
    if (!session.conn.has_unsent() || session.conn.socket.fd < 0) continue;
    auto flushed = session.conn.flush_nonblocking(now);
    if (!flushed) {
      session.conn.socket.close();
    } else if (*flushed) {
      session.last_activity_ms = now.mono_ms;
    }
  }
}

bool Router::step_peer_session(std::size_t index, const Now& now, bool& did_work) {
  bool failed = false;
  {
    ntcp2_net::Ntcp2Conn& conn = peer_sessions[index].conn;
    // With frames waiting, a socket closed by an earlier send failure ends the session.
    const Result<bool> flushed =
        conn.has_unsent() && conn.socket.fd < 0 ? Result<bool>(fail(NetError::Closed)) : conn.flush_nonblocking(now);
    if (!flushed) {
      failed = true;
    } else if (*flushed) {
      peer_sessions[index].last_activity_ms = now.mono_ms;
      did_work = true;
    }
  }

  // Handlers may send, which never moves a session but can close one, so the session is
  // reached by position after every handler call. The relayed cells of this pass's frames
  // get their layers together (flush_transit_cells), before the session may be closed.
  const bool batching = std::exchange(batch_transit_cells, true);
  peer_sessions[index].conn.socket.last_read_short = false;
  for (int frame = 0; frame < kFramesPerSessionPass && !failed; ++frame) {
    ntcp2_net::Ntcp2Conn& conn = peer_sessions[index].conn;
    const std::size_t had = conn.rx.size();
    const std::int32_t had_len = conn.rx_frame_len;
    auto received = conn.recv_blocks_nb(now);
    if (!received) {
      failed = true;
      break;
    }
    if (!*received) {
      // Part of a frame taken is work too: the wait must not take this socket for one that
      // woke it idly while the rest of the frame is on its way.
      if (conn.rx.size() != had || conn.rx_frame_len != had_len) did_work = true;
      break;
    }
    did_work = true;
    peer_sessions[index].last_activity_ms = now.mono_ms;
    const common::Hash peer = peer_sessions[index].peer;
    bool terminated = false;
    for (const ntcp2::Ntcp2Block& block : **received) {
      if (const auto* i2np_block = block.get_if<ntcp2::Ntcp2Block::I2np>()) {
        ++peer_sessions[index].messages_received;
        encoding::Reader reader(i2np_block->data);
        auto message = i2np::decode_short_message(reader);
        if (message) handle_i2np_message(peer, message->first, message->second, now);
      } else if (const auto* info_block = block.get_if<ntcp2::Ntcp2Block::RouterInfo>()) {
        encoding::Reader reader(info_block->data);
        auto info = common::RouterInfo::decode(reader);
        if (info) (void)netdb.store_router_info(std::move(*info));
      } else if (block.is<ntcp2::Ntcp2Block::Termination>()) {
        terminated = true;
      }
    }
    if (terminated) failed = true;
    // The socket held no more when it was last read and all of it is used: asking again
    // would only hear that it would block.
    const ntcp2_net::Ntcp2Conn& after = peer_sessions[index].conn;
    if (after.socket.last_read_short && after.socket.rx_start == after.socket.rx_end && after.rx.empty()) break;
  }
  batch_transit_cells = batching;
  if (!batching) flush_transit_cells(now);

  PeerSession& session = peer_sessions[index];
  if (failed) {
    session.conn.socket.close();
    if (public_mode) {
      mark_peer_failed(session.peer, kFailureBackoffMs, now);
      print_debug_line(debug, "[debug] NTCP2 peer closed/stalled: " + session.peer.to_b32_address());
    }
    return false;
  }
  if (session.last_activity_ms + kIdleCloseMs < now.mono_ms) {
    session.conn.socket.close();
    return false;
  }
  return true;
}

bool Router::has_connected_peer(const common::Hash& peer) const {
  return std::any_of(peer_sessions.begin(), peer_sessions.end(), [&](const PeerSession& s) { return s.peer == peer; });
}

void Router::mark_peer_failed(const common::Hash& peer, std::uint64_t backoff_ms, const Now& now) {
  backoff_peer(peer_backoff, peer, now.mono_ms + backoff_ms);
}

bool Router::is_peer_backed_off(const common::Hash& peer, const Now& now) {
  return is_backed_off(peer_backoff, peer, now.mono_ms);
}

void Router::ensure_peer_dial(const common::Hash& peer, const Now& now) {
  if (peer == router_hash()) return;
  for (const PendingPeerDial& d : pending_dials) {
    if (d.peer == peer) return;
  }
  if (public_mode && is_peer_backed_off(peer, now)) return;
  if (pending_dials.size() >= kMaxPendingDials || ntcp2_links(*this) >= kMaxNtcp2Links) return;
  const netdb::RouterInfoPtr info = netdb.get_router_info(peer);
  if (!info) return;
  auto target = ntcp2_net::extract_ntcp2_peer(*info);
  // A RouterInfo from the network must not steer a public router into the user's own network.
  const bool usable = target && (!public_mode || dial_reserved_addresses || ntcp2_net::is_public_address(target->host));
  if (!usable) {
    if (public_mode) mark_peer_failed(peer, kNoAddressBackoffMs, now);
    return;
  }
  auto dial = ntcp2_net::PendingNtcp2Dial::start(*target, *info, static_keypair, router_info, check_clock_skew, now);
  if (!dial) {
    if (public_mode) mark_peer_failed(peer, kFailureBackoffMs, now);
    return;
  }
  pending_dials.push_back(PendingPeerDial{peer, std::move(*dial)});
}

bool Router::queue_for_peer(const common::Hash& peer, std::uint32_t id, std::uint32_t expiration,
                            i2np::I2npPayload payload, const Now& now) {
  auto body = payload.encode_body();
  const std::size_t bytes = sizeof(PendingPeerSend) + (body ? body->size() : 0);
  bool fits = pending_send_bytes + bytes <= kMaxQueuedBytesTotal;
  if (fits && pending_send_bytes + bytes > kMaxQueuedBytesPerPeer) {
    std::size_t of_peer = bytes;
    for (const PendingPeerSend& e : pending_sends) {
      if (e.peer == peer) of_peer += e.bytes;
    }
    fits = of_peer <= kMaxQueuedBytesPerPeer;
  }
  if (!fits) {
    print_debug_line(debug, "[debug] NTCP2 queue for peers without a link is full, dropped I2NP message to " +
                                peer.to_b32_address());
    return false;
  }
  pending_sends.push_back(PendingPeerSend{peer, id, expiration, std::move(payload), now.mono_ms, bytes});
  pending_send_bytes += bytes;
  return true;
}

void Router::send_i2np_to_peer(const common::Hash& peer, i2np::I2npPayload payload, const Now& now,
                               std::optional<std::uint32_t> msg_id) {
  const std::uint32_t id = msg_id ? *msg_id : take_id(next_msg_id);
  const std::uint32_t expiration = now.wall_s() + kSendExpirationS;
  if (peer == router_hash()) {
    queue_for_peer(peer, id, expiration, std::move(payload), now);
    return;
  }

  // Newest session first. A full send queue refuses this one message but says nothing
  // bad about the link, so the link is kept and the message dropped.
  bool queue_full = false;
  for (std::size_t i = peer_sessions.size(); i-- > 0;) {
    PeerSession& session = peer_sessions[i];
    if (session.peer != peer || session.conn.socket.fd < 0) continue;
    if (session.conn.tx_queued > ntcp2_net::kMaxQueuedBytes) {
      queue_full = true;
      continue;
    }
    auto sent = hold_link_sends ? session.conn.hold_i2np_nb(id, expiration, payload)
                                : session.conn.send_i2np_nb(id, expiration, payload, now);
    if (sent) {
      session.last_activity_ms = now.mono_ms;
      // What a pass holds for one link stays well within the link's queue limit.
      if (hold_link_sends && session.conn.tx_queued >= kHeldBytesPerLink) {
        if (!session.conn.flush_nonblocking(now)) session.conn.socket.close();
      }
      return;
    }
    if (sent.error().is(NetError::Protocol)) {
      // The message itself cannot be framed; no link could carry it.
      print_debug_line(debug, "[debug] NTCP2 dropped unsendable I2NP message to " + peer.to_b32_address() + ": " +
                                  to_string(sent.error()));
      return;
    }
    session.conn.socket.close();
    if (public_mode) mark_peer_failed(peer, kFailureBackoffMs, now);
  }
  if (queue_full) {
    print_debug_line(debug, "[debug] NTCP2 send queue full, dropped I2NP message to " + peer.to_b32_address());
    return;
  }
  // A peer that would need a dial while the dials are all taken cannot be reached now.
  const bool dialling =
      std::any_of(pending_dials.begin(), pending_dials.end(), [&](const PendingPeerDial& d) { return d.peer == peer; });
  if (!dialling && pending_dials.size() >= kMaxPendingDials && netdb.get_router_info(peer)) {
    print_debug_line(debug, "[debug] NTCP2 dial limit reached, dropped I2NP message to " + peer.to_b32_address());
    return;
  }
  if (queue_for_peer(peer, id, expiration, std::move(payload), now)) ensure_peer_dial(peer, now);
}

void Router::flush_pending_sends_for(const common::Hash& peer, PeerSession& session, const Now& now) {
  for (auto it = pending_sends.begin(); it != pending_sends.end();) {
    if (it->peer != peer) {
      ++it;
      continue;
    }
    auto sent = session.conn.send_i2np_nb(it->msg_id, it->expiration_s, it->payload, now);
    if (sent) {
      session.last_activity_ms = now.mono_ms;
    } else if (sent.error().is(NetError::Protocol)) {
      // The message itself cannot be framed; it must not hold back the ones after it.
      print_debug_line(debug, "[debug] NTCP2 dropped unsendable I2NP message to " + peer.to_b32_address() + ": " +
                                  to_string(sent.error()));
    } else {
      return;  // this one and the rest wait for another link or expire
    }
    pending_send_bytes -= std::min(pending_send_bytes, it->bytes);
    it = pending_sends.erase(it);
  }
}

Result<void> Router::send_keepalive(PeerSession& session, const Now& now) {
  std::vector<ntcp2::Ntcp2Block> blocks;
  blocks.emplace_back(ntcp2::Ntcp2Block::Padding{Bytes(4, 0)});
  return session.conn.send_blocks_nb(blocks, now);
}

}  // namespace router
