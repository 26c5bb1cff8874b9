#pragma once
// The list upkeep shared by the sending and receiving halves of RatchetSessionManager.
#include <array>
#include <cstdint>
#include <memory>

#include "encoding/bytes.h"
#include "ratchet/session_manager.h"

namespace ratchet::bookkeeping {

// Keys and tags compare in constant time; a length mismatch is unequal.
bool same_key(const Key32& a, ByteView b);
bool same_tag(const SessionTag& a, const SessionTag& b);

// At the start of each send: expired sessions when more than 128 exist (and now is known),
// the least recently active above 512, then the expired sessions with the addressed peer.
void sweep_sessions(RatchetSessionManager& m, ByteView peer_key, std::uint32_t now);

// A session with its receive window filled to 64.
Result<RatchetPeerSession> new_session(const Key32& peer_key, const Key32& send_root, const TagSet& send_tags,
                                       const Key32& recv_root, const TagSet& recv_tags, std::uint32_t now);

// Appends the session and caps its peer at 4 sessions.
void add_session(RatchetSessionManager& m, RatchetPeerSession session);

// Records the reply tags of an own NewSession: drops tags older than 180 s, keeps the list
// under 2,048 by dropping the oldest, then the peer under 24.
void add_outbound_pending(RatchetSessionManager& m, const std::array<SessionTag, kReplyTagsPerNewSession>& tags,
                          const std::shared_ptr<const PendingNewSession>& pending, std::uint32_t now);

// Records a received NewSession in place of any earlier one from the same peer, keeping at
// most 256.
void add_inbound_pending(RatchetSessionManager& m, PendingNewSession pending);

// True when a NewSession with this ephemeral key opened in the last 420 s; forgets older
// ones first.
bool new_session_seen(RatchetSessionManager& m, const Key32& ephemeral_key, std::uint32_t now);
// Remembers an opened NewSession's ephemeral key, dropping the oldest beyond 4,096.
void remember_new_session(RatchetSessionManager& m, const Key32& ephemeral_key, std::uint32_t now);

}  // namespace ratchet::bookkeeping
