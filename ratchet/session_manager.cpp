#include "ratchet/session_manager.h"

#include <algorithm>
#include <numeric>

#include "crypto/ct_eq.h"
#include "ratchet/bookkeeping.h"

namespace ratchet {

using bookkeeping::same_key;

RatchetSessionManager RatchetSessionManager::create(noise::KeyPair static_keypair) {
  RatchetSessionManager m;
  m.static_keypair = std::move(static_keypair);
  return m;
}

bool RatchetSessionManager::has_active_session(ByteView peer_key, std::uint32_t now) const {
  return std::ranges::any_of(sessions, [&](const RatchetPeerSession& s) {
    return same_key(s.peer_key, peer_key) && s.send_enabled && !is_ratchet_session_expired(s, now);
  });
}

void RatchetSessionManager::mark_send_stale(ByteView peer_key) {
  for (RatchetPeerSession& s : sessions) {
    if (same_key(s.peer_key, peer_key)) s.send_enabled = false;
  }
}

std::uint32_t RatchetSessionManager::last_recv_sec(ByteView peer_key) const {
  std::uint32_t latest = 0;
  for (const RatchetPeerSession& s : sessions) {
    if (same_key(s.peer_key, peer_key)) latest = std::max(latest, s.last_recv);
  }
  return latest;
}

void RatchetSessionManager::cap_peer_sessions(ByteView peer_key) {
  const auto of_peer = [&](const RatchetPeerSession& s) { return same_key(s.peer_key, peer_key); };
  auto count = std::ranges::count_if(sessions, of_peer);
  while (count > static_cast<std::ptrdiff_t>(kMaxSessionsPerPeer)) {
    auto victim = std::ranges::find_if(
        sessions, [&](const RatchetPeerSession& s) { return of_peer(s) && (!s.send_enabled || is_send_exhausted(s)); });
    if (victim == sessions.end()) victim = std::ranges::find_if(sessions, of_peer);
    sessions.erase(victim);
    --count;
  }
}

void RatchetSessionManager::remove_outbound_pending(std::size_t index) {
  outbound_pending.erase(outbound_pending.begin() + static_cast<std::ptrdiff_t>(index));
}

namespace bookkeeping {

bool same_key(const Key32& a, ByteView b) { return crypto::ct_eq(a, b); }

bool same_tag(const SessionTag& a, const SessionTag& b) {
  // All eight bytes at once: one XOR of two words, no early exit.
  return (tag_word(a) ^ tag_word(b)) == 0;
}

void sweep_sessions(RatchetSessionManager& m, ByteView peer_key, std::uint32_t now) {
  auto& sessions = m.sessions;
  if (now != 0 && sessions.size() > kSweepAbove) {
    std::erase_if(sessions, [now](const RatchetPeerSession& s) { return is_ratchet_session_timed_out(s, now); });
  }
  if (sessions.size() > kMaxSessions) {
    // The least recently active go; of equal times, the one nearer the front first.
    std::vector<std::size_t> order(sessions.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    const std::size_t excess = sessions.size() - kMaxSessions;
    std::ranges::partial_sort(order, order.begin() + static_cast<std::ptrdiff_t>(excess),
                              [&](std::size_t a, std::size_t b) {
                                return sessions[a].last_activity != sessions[b].last_activity
                                           ? sessions[a].last_activity < sessions[b].last_activity
                                           : a < b;
                              });
    std::vector<bool> drop(sessions.size(), false);
    for (std::size_t i = 0; i < excess; ++i) drop[order[i]] = true;
    std::size_t i = 0;
    std::erase_if(sessions, [&](const RatchetPeerSession&) { return drop[i++]; });
  }
  // A session out of sends stays while it is in time: the peer may still be sending on it.
  std::erase_if(sessions, [&](const RatchetPeerSession& s) {
    return same_key(s.peer_key, peer_key) && is_ratchet_session_timed_out(s, now);
  });
}

Result<RatchetPeerSession> new_session(const Key32& peer_key, const Key32& send_root, const TagSet& send_tags,
                                       const Key32& recv_root, const TagSet& recv_tags, std::uint32_t now) {
  RatchetPeerSession s;
  s.peer_key = peer_key;
  s.send_root_key = send_root;
  s.send_tag_set = send_tags;
  s.recv_root_key = recv_root;
  s.recv_tag_set = recv_tags;
  s.recv_window.reserve(kRecvWindowSize);
  s.recv_window_tags.reserve(kRecvWindowSize);
  if (auto ok = s.refill_recv_window(); !ok) return std::unexpected(std::move(ok.error()));
  s.last_activity = now;
  s.last_recv = now;
  return s;
}

void add_session(RatchetSessionManager& m, RatchetPeerSession session) {
  const Key32 peer = session.peer_key;
  m.sessions.push_back(std::move(session));
  m.cap_peer_sessions(peer);
}

void add_outbound_pending(RatchetSessionManager& m, const std::array<SessionTag, kReplyTagsPerNewSession>& tags,
                          const std::shared_ptr<const PendingNewSession>& pending, std::uint32_t now) {
  auto& list = m.outbound_pending;
  if (now != 0) {
    std::erase_if(list, [now](const OutboundPendingTag& e) {
      return e.created != 0 && std::uint64_t{e.created} + kOutboundPendingSec < now;
    });
  }
  for (const SessionTag& tag : tags) {
    if (list.size() >= kMaxOutboundPending) {
      list.erase(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(list.size() - kMaxOutboundPending + 1));
    }
    list.push_back(OutboundPendingTag{tag, pending, now});
  }
  const auto of_peer = [&](const OutboundPendingTag& e) { return same_key(e.pending->peer_key, pending->peer_key); };
  auto count = std::ranges::count_if(list, of_peer);
  while (count > static_cast<std::ptrdiff_t>(kMaxOutboundPendingPerPeer)) {
    list.erase(std::ranges::find_if(list, of_peer));
    --count;
  }
}

void add_inbound_pending(RatchetSessionManager& m, PendingNewSession pending) {
  auto& list = m.inbound_pending;
  std::erase_if(list, [&](const PendingNewSession& p) { return same_key(p.peer_key, pending.peer_key); });
  if (list.size() >= kMaxInboundPending) {
    list.erase(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(list.size() - kMaxInboundPending + 1));
  }
  list.push_back(std::move(pending));
}

bool new_session_seen(RatchetSessionManager& m, const Key32& ephemeral_key, std::uint32_t now) {
  auto& recent = m.recent_new_sessions;
  while (!recent.empty() && std::uint64_t{recent.front().opened} + kNewSessionReplaySec < now) recent.pop_front();
  // Ephemeral keys travel in the clear (as representatives); no need for constant time.
  return std::ranges::any_of(recent, [&](const RecentNewSession& r) { return r.ephemeral_key == ephemeral_key; });
}

void remember_new_session(RatchetSessionManager& m, const Key32& ephemeral_key, std::uint32_t now) {
  auto& recent = m.recent_new_sessions;
  while (recent.size() >= kMaxRecentNewSessions) recent.pop_front();
  recent.push_back(RecentNewSession{ephemeral_key, now});
}

}  // namespace bookkeeping
}  // namespace ratchet
