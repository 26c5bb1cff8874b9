#include "ratchet/session.h"

namespace ratchet {

Result<void> RatchetPeerSession::refill_recv_window() {
  while (recv_window.size() < kRecvWindowSize) {
    auto entry = recv_tag_set.next_entry();
    if (!entry) return std::unexpected(std::move(entry.error()));
    recv_window.push_back(*entry);
    recv_window_tags.push_back(tag_word(entry->tag));
  }
  return {};
}

Result<void> RatchetPeerSession::consume_window_entry(std::size_t i) {
  const std::uint64_t opened = recv_window[i].index;
  recv_window.erase(recv_window.begin() + static_cast<std::ptrdiff_t>(i));
  recv_window_tags.erase(recv_window_tags.begin() + static_cast<std::ptrdiff_t>(i));
  // A tag more than a window's width behind one that opened belongs to a message lost on
  // the way. Kept, such tags would fill the window one lost message at a time until no new
  // message could open; dropped, they make room for the tags ahead.
  std::size_t stale = 0;
  while (stale < recv_window.size() && std::uint64_t{recv_window[stale].index} + kRecvWindowSize < opened) ++stale;
  recv_window.erase(recv_window.begin(), recv_window.begin() + static_cast<std::ptrdiff_t>(stale));
  recv_window_tags.erase(recv_window_tags.begin(), recv_window_tags.begin() + static_cast<std::ptrdiff_t>(stale));
  return refill_recv_window();
}

bool is_send_exhausted(const RatchetPeerSession& s) { return s.send_tag_set.next_index >= kMaxSendsPerSession; }

bool is_send_retiring(const RatchetPeerSession& s) { return s.send_tag_set.next_index >= kRenewalFrom; }

bool is_renewal_due(const RatchetPeerSession& s) {
  const std::uint32_t sent = s.send_tag_set.next_index;
  return sent >= kRenewalFrom && (s.renewal_sent_at == 0 || sent - s.renewal_sent_at >= kRenewalEvery);
}

bool is_ratchet_session_expired(const RatchetPeerSession& s, std::uint32_t now) {
  if (now == 0 || s.last_activity == 0) return false;
  return is_send_exhausted(s) || is_ratchet_session_timed_out(s, now);
}

bool is_ratchet_session_timed_out(const RatchetPeerSession& s, std::uint32_t now) {
  if (now == 0 || s.last_activity == 0) return false;
  // In 64 bits, so that times near the end of the u32 range cannot wrap.
  const auto later_than = [now](std::uint32_t t, std::uint32_t span) {
    return std::uint64_t{t} + span < std::uint64_t{now};
  };
  if (later_than(s.last_activity, kSessionIdleSec)) return true;
  if (s.confirmed) return s.last_recv != 0 && later_than(s.last_recv, kConfirmedRecvSec);
  return later_than(s.last_activity, kUnconfirmedSec) || (s.last_recv != 0 && later_than(s.last_recv, kUnconfirmedSec));
}

}  // namespace ratchet
