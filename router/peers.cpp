// NTCP2 peer management: the non-waiting pass over accepts, handshakes, queued messages and
// sessions; the single exit of I2NP messages; dials; the back-off list.
#include <algorithm>
#include <string>

#include "encoding/reader.h"
#include "encoding/text.h"
#include "i2np/message.h"
#include "ntcp2_net/glue.h"
#include "router/id_counters.h"
#include "router/peer_log.h"
#include "router/router.h"

namespace router {

namespace {

constexpr int kAcceptsPerPass = 8;
constexpr std::uint64_t kHandshakeLimitMs = 10000;
constexpr int kFramesPerSessionPass = 32;
constexpr std::uint64_t kIdleCloseMs = 180000;
constexpr std::uint64_t kQueuedLifetimeMs = 15000;
constexpr std::uint32_t kSendExpirationS = 60;
constexpr std::uint64_t kFailureBackoffMs = 60000;
constexpr std::uint64_t kNoAddressBackoffMs = 120000;

// The NetDB entry whose NTCP2 address publishes this static key as "s".
std::optional<common::Hash> find_peer_by_static_key(const netdb::NetDb& netdb, const ntcp2::Key32& key) {
  for (const netdb::RouterInfoEntry& entry : netdb.router_infos) {
    for (const common::RouterAddress& address : entry.router_info->addresses) {
      if (address.transport_style != "NTCP2") continue;
      const std::optional<std::string> s = address.options.get("s");
      if (!s) continue;
      auto decoded = encoding::base64_decode(*s);
      if (decoded && decoded->size() == key.size() && std::equal(decoded->begin(), decoded->end(), key.begin())) {
        return entry.hash;
      }
    }
  }
  return std::nullopt;
}

}  // namespace

bool is_peer_in_list(const common::Hash& peer, const std::vector<common::Hash>& list) {
  return std::find(list.begin(), list.end(), peer) != list.end();
}

bool Router::step_ntcp2_peers() { return step_ntcp2_peers_at(ondrel_i2p_net_unix_time_ms()); }

bool Router::step_ntcp2_peers_at(std::uint64_t now) {
  bool did_work = false;
  const common::Hash own = router_hash();

  // 1. New inbound connections.
  for (int i = 0; i < kAcceptsPerPass; ++i) {
    auto accepted = ntcp2_listener.accept(0);
    if (!accepted || !*accepted) break;
    auto pending = ntcp2_net::PendingNtcp2Accept::start(std::move(**accepted), static_keypair, own.view(), ntcp2_iv,
                                                        &ntcp2_replay_cache, check_clock_skew);
    if (!pending) continue;  // its socket is closed already
    pending_accepts.push_back(std::move(*pending));
    did_work = true;
  }

  // 2. Inbound handshakes. Their failures cost no back-off: the peer is not known yet.
  for (std::size_t i = 0; i < pending_accepts.size();) {
    ntcp2_net::PendingNtcp2Accept& pending = pending_accepts[i];
    if (pending.started_ms + kHandshakeLimitMs < now) {
      pending.socket.close();
      pending_accepts.erase(pending_accepts.begin() + static_cast<std::ptrdiff_t>(i));
      did_work = true;
      continue;
    }
    auto stepped = pending.step();
    if (stepped && !*stepped) {
      ++i;
      continue;
    }
    did_work = true;
    if (!stepped) {
      pending.socket.close();
      pending_accepts.erase(pending_accepts.begin() + static_cast<std::ptrdiff_t>(i));
      continue;
    }
    ntcp2_net::Ntcp2Conn conn = std::move(**stepped);
    pending_accepts.erase(pending_accepts.begin() + static_cast<std::ptrdiff_t>(i));
    std::optional<common::Hash> peer;
    if (conn.peer_info) {
      (void)netdb.store_router_info(*conn.peer_info);
      peer = conn.peer_info->identity.keys_and_cert.hash();
    } else {
      peer = find_peer_by_static_key(netdb, conn.session.remote_static);
    }
    if (!peer) {
      conn.socket.close();
      continue;
    }
    peer_sessions.push_back(PeerSession{*peer, std::move(conn), now});
    flush_pending_sends_for(*peer, peer_sessions.back(), now);
  }

  // 3. Outbound handshakes.
  for (std::size_t i = 0; i < pending_dials.size();) {
    PendingPeerDial& pending = pending_dials[i];
    const common::Hash peer = pending.peer;
    if (pending.dial.started_ms + kHandshakeLimitMs < now) {
      pending.dial.socket.close();
      pending_dials.erase(pending_dials.begin() + static_cast<std::ptrdiff_t>(i));
      did_work = true;
      if (public_mode) {
        mark_peer_failed_at(peer, kFailureBackoffMs, now);
        print_debug_line(debug, "[debug] NTCP2 dial timeout: " + peer.to_b32_address());
      }
      continue;
    }
    auto stepped = pending.dial.step();
    if (stepped && !*stepped) {
      ++i;
      continue;
    }
    did_work = true;
    if (!stepped) {
      pending.dial.socket.close();
      pending_dials.erase(pending_dials.begin() + static_cast<std::ptrdiff_t>(i));
      if (public_mode) {
        mark_peer_failed_at(peer, kFailureBackoffMs, now);
        print_debug_line(debug, "[debug] NTCP2 dial rejected: " + peer.to_b32_address());
      }
      continue;
    }
    ntcp2_net::Ntcp2Conn conn = std::move(**stepped);
    pending_dials.erase(pending_dials.begin() + static_cast<std::ptrdiff_t>(i));
    peer_sessions.push_back(PeerSession{peer, std::move(conn), now});
    print_debug_line(debug, "[debug] NTCP2 connected to " + peer.to_b32_address() +
                                " (peers=" + std::to_string(peer_sessions.size()) + ")");
    flush_pending_sends_for(peer, peer_sessions.back(), now);
  }

  // 4. Queued messages: those to this router are handled now (whatever their age), those
  // whose link never came are dropped.
  std::vector<PendingPeerSend> local;
  std::size_t kept = 0;
  for (std::size_t i = 0; i < pending_sends.size(); ++i) {
    PendingPeerSend& entry = pending_sends[i];
    if (entry.peer == own) {
      local.push_back(std::move(entry));
      continue;
    }
    if (entry.queued_ms + kQueuedLifetimeMs < now) continue;
    if (kept != i) pending_sends[kept] = std::move(entry);
    ++kept;
  }
  pending_sends.erase(pending_sends.begin() + static_cast<std::ptrdiff_t>(kept), pending_sends.end());
  for (const PendingPeerSend& entry : local) {
    const i2np::I2npShortHeader header{entry.payload.msg_type(), entry.msg_id, entry.expiration_s};
    handle_i2np_message(own, header, entry.payload);
    did_work = true;
  }

  // 5. Sessions. Handlers may send and so close sockets of sessions (never add or remove
  // sessions), so sessions are reached by index after every handler call.
  for (std::size_t i = 0; i < peer_sessions.size();) {
    bool failed = false;
    {
      ntcp2_net::Ntcp2Conn& conn = peer_sessions[i].conn;
      Result<bool> flushed = false;
      if (conn.tx_queue.empty()) {
        flushed = conn.flush_nonblocking_at(now);
      } else if (conn.socket.fd < 0) {
        flushed = fail(NetError::Closed);
      } else {
        flushed = conn.flush_nonblocking_at(now);
      }
      if (!flushed) {
        failed = true;
      } else if (*flushed) {
        peer_sessions[i].last_activity_ms = now;
        did_work = true;
      }
    }

    for (int frame = 0; frame < kFramesPerSessionPass && !failed; ++frame) {
      auto received = peer_sessions[i].conn.recv_blocks_nb();
      if (!received) {
        failed = true;
        break;
      }
      if (!*received) break;
      did_work = true;
      peer_sessions[i].last_activity_ms = now;
      const common::Hash peer = peer_sessions[i].peer;
      bool terminated = false;
      for (const ntcp2::Ntcp2Block& block : **received) {
        if (const auto* i2np_block = block.get_if<ntcp2::Ntcp2Block::I2np>()) {
          encoding::Reader reader(i2np_block->data);
          auto message = i2np::decode_short_message(reader);
          if (message) handle_i2np_message(peer, message->first, message->second);
        } else if (const auto* info_block = block.get_if<ntcp2::Ntcp2Block::RouterInfo>()) {
          encoding::Reader reader(info_block->data);
          auto info = common::RouterInfo::decode(reader);
          if (info) (void)netdb.store_router_info(std::move(*info));
        } else if (block.is<ntcp2::Ntcp2Block::Termination>()) {
          terminated = true;
        }
      }
      if (terminated) failed = true;
    }

    PeerSession& session = peer_sessions[i];
    if (failed) {
      const common::Hash peer = session.peer;
      session.conn.socket.close();
      peer_sessions.erase(peer_sessions.begin() + static_cast<std::ptrdiff_t>(i));
      if (public_mode) {
        mark_peer_failed_at(peer, kFailureBackoffMs, now);
        print_debug_line(debug, "[debug] NTCP2 peer closed/stalled: " + peer.to_b32_address());
      }
      continue;
    }
    if (session.last_activity_ms + kIdleCloseMs < now) {
      session.conn.socket.close();
      peer_sessions.erase(peer_sessions.begin() + static_cast<std::ptrdiff_t>(i));
      continue;
    }
    ++i;
  }
  return did_work;
}

bool Router::has_connected_peer(const common::Hash& peer) const {
  return std::any_of(peer_sessions.begin(), peer_sessions.end(), [&](const PeerSession& s) { return s.peer == peer; });
}

void Router::mark_peer_failed(const common::Hash& peer, std::uint64_t backoff_ms) {
  mark_peer_failed_at(peer, backoff_ms, ondrel_i2p_net_unix_time_ms());
}

void Router::mark_peer_failed_at(const common::Hash& peer, std::uint64_t backoff_ms, std::uint64_t now_ms) {
  backoff_peer(peer_backoff, peer, now_ms + backoff_ms);
}

bool Router::is_peer_backed_off(const common::Hash& peer, std::uint64_t now_ms) {
  return is_backed_off(peer_backoff, peer, now_ms);
}

void Router::ensure_peer_dial(const common::Hash& peer) { ensure_peer_dial_at(peer, ondrel_i2p_net_unix_time_ms()); }

void Router::ensure_peer_dial_at(const common::Hash& peer, std::uint64_t now_ms) {
  if (peer == router_hash()) return;
  for (const PendingPeerDial& d : pending_dials) {
    if (d.peer == peer) return;
  }
  if (public_mode && is_peer_backed_off(peer, now_ms)) return;
  const netdb::RouterInfoPtr info = netdb.get_router_info(peer);
  if (!info) return;
  auto target = ntcp2_net::extract_ntcp2_peer(*info);
  if (!target) {
    if (public_mode) mark_peer_failed_at(peer, kNoAddressBackoffMs, now_ms);
    return;
  }
  auto dial = ntcp2_net::PendingNtcp2Dial::start(*target, *info, static_keypair, router_info, check_clock_skew);
  if (!dial) {
    if (public_mode) mark_peer_failed_at(peer, kFailureBackoffMs, now_ms);
    return;
  }
  pending_dials.push_back(PendingPeerDial{peer, std::move(*dial)});
}

void Router::send_i2np_to_peer(const common::Hash& peer, i2np::I2npPayload payload,
                               std::optional<std::uint32_t> msg_id) {
  send_i2np_to_peer_at(peer, std::move(payload), msg_id, ondrel_i2p_net_unix_time_ms());
}

void Router::send_i2np_to_peer_at(const common::Hash& peer, i2np::I2npPayload payload,
                                  std::optional<std::uint32_t> msg_id, std::uint64_t now_ms) {
  const std::uint32_t id = msg_id ? *msg_id : take_id(next_msg_id);
  const auto expiration = static_cast<std::uint32_t>(now_ms / 1000 + kSendExpirationS);
  if (peer == router_hash()) {
    pending_sends.push_back(PendingPeerSend{peer, id, expiration, std::move(payload), now_ms});
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
    auto sent = session.conn.send_i2np_nb(id, expiration, payload);
    if (sent) {
      session.last_activity_ms = now_ms;
      return;
    }
    if (sent.error().is(NetError::Protocol)) {
      // The message itself cannot be framed; no link could carry it.
      print_debug_line(debug, "[debug] NTCP2 dropped unsendable I2NP message to " + peer.to_b32_address() + ": " +
                                  to_string(sent.error()));
      return;
    }
    session.conn.socket.close();
    if (public_mode) mark_peer_failed_at(peer, kFailureBackoffMs, now_ms);
  }
  if (queue_full) {
    print_debug_line(debug, "[debug] NTCP2 send queue full, dropped I2NP message to " + peer.to_b32_address());
    return;
  }
  pending_sends.push_back(PendingPeerSend{peer, id, expiration, std::move(payload), now_ms});
  ensure_peer_dial_at(peer, now_ms);
}

void Router::flush_pending_sends_for(const common::Hash& peer, PeerSession& session, std::uint64_t now_ms) {
  for (std::size_t i = 0; i < pending_sends.size();) {
    const PendingPeerSend& entry = pending_sends[i];
    if (entry.peer != peer) {
      ++i;
      continue;
    }
    auto sent = session.conn.send_i2np_nb(entry.msg_id, entry.expiration_s, entry.payload);
    if (sent) {
      session.last_activity_ms = now_ms;
    } else if (sent.error().is(NetError::Protocol)) {
      // The message itself cannot be framed; it must not hold back the ones after it.
      print_debug_line(debug, "[debug] NTCP2 dropped unsendable I2NP message to " + peer.to_b32_address() + ": " +
                                  to_string(sent.error()));
    } else {
      return;  // this one and the rest wait for another link or expire
    }
    pending_sends.erase(pending_sends.begin() + static_cast<std::ptrdiff_t>(i));
  }
}

Result<void> Router::send_keepalive(PeerSession& session) {
  std::vector<ntcp2::Ntcp2Block> blocks;
  blocks.emplace_back(ntcp2::Ntcp2Block::Padding{Bytes(4, 0)});
  return session.conn.send_blocks_nb(blocks);
}

}  // namespace router
