#pragma once
// The garlic sessions of one local destination: every message to a peer leaves as a
// NewSession, a NewSessionReply or an ExistingSession, and every incoming garlic message is
// tried as each of the three in turn.
//
// A session sends at most 60,000 ExistingSession messages. From its 50,000th on, one message
// in 1,024 leaves as a NewSession, so that the successor exists before the last send; a
// session out of sends still opens what the peer sends on it until it times out.
//
// All lists are plain arrays searched linearly and every one is bounded: sessions are swept
// back to 512 at each send (at most 4 per peer), reply tags of own NewSessions are kept at
// most 2,048 (24 per peer, 180 s), unanswered NewSessions at most 256 (one per peer), and
// the ephemeral keys of recently opened NewSessions at most 4,096 (420 s). Times are whole
// unix seconds passed in by the caller; 0 turns off every rule that depends on time.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "encoding/bytes.h"
#include "encoding/error.h"
#include "noise/key_pair.h"
#include "ratchet/block.h"
#include "ratchet/elligator_keypair.h"
#include "ratchet/key_schedule.h"
#include "ratchet/session.h"

namespace ratchet {

inline constexpr std::size_t kSweepAbove = 128;
inline constexpr std::size_t kMaxSessions = 512;
inline constexpr std::size_t kMaxSessionsPerPeer = 4;
inline constexpr std::size_t kReplyTagsPerNewSession = 6;
inline constexpr std::size_t kMaxOutboundPending = 2048;
inline constexpr std::size_t kMaxOutboundPendingPerPeer = 24;
inline constexpr std::uint32_t kOutboundPendingSec = 180;
inline constexpr std::size_t kMaxInboundPending = 256;

// A NewSession is taken only with a DateTime block from 300 s before to 120 s after now,
// and only once: the ephemeral keys of the ones opened in the last 420 s are remembered.
inline constexpr std::uint32_t kNewSessionMaxAgeSec = 300;
inline constexpr std::uint32_t kNewSessionMaxAheadSec = 120;
inline constexpr std::uint32_t kNewSessionReplaySec = 420;
inline constexpr std::size_t kMaxRecentNewSessions = 4096;

// One expected NewSessionReply tag of an own NewSession. The six tags of one NewSession
// share its handshake record, which never changes once made.
struct OutboundPendingTag {
  SessionTag tag{};
  std::shared_ptr<const PendingNewSession> pending;
  std::uint32_t created = 0;  // unix seconds; 0 never ages out
};

struct RecentNewSession {
  Key32 ephemeral_key{};
  std::uint32_t opened = 0;  // unix seconds
};

// An opened garlic message: the sender's static key (none for an unbound NewSession) and
// the blocks of its payload.
struct IncomingGarlic {
  std::optional<Key32> peer_key;
  RatchetBlocks blocks;
};

struct RatchetSessionManager {
  noise::KeyPair static_keypair;  // the destination's X25519 key, never changed
  // Established sessions; the end holds the most recently used (new ones are appended, a
  // session that receives is moved to the end).
  std::vector<RatchetPeerSession> sessions;
  std::vector<OutboundPendingTag> outbound_pending;  // insertion order
  std::vector<PendingNewSession> inbound_pending;    // received, not yet answered
  std::deque<RecentNewSession> recent_new_sessions;  // oldest first

  // A manager with no sessions. ("new" in the protocol's wording; a keyword here.)
  static RatchetSessionManager create(noise::KeyPair static_keypair);

  // True when some session with the peer may send and has not expired at now.
  bool has_active_session(ByteView peer_key, std::uint32_t now) const;
  // Stops sending on every session with the peer; the next message starts a handshake.
  void mark_send_stale(ByteView peer_key);
  // The latest receipt over the sessions with the peer; 0 when none.
  std::uint32_t last_recv_sec(ByteView peer_key) const;
  // Brings the peer back to at most 4 sessions, dropping those that cannot send (disabled or
  // out of sends) first, then the oldest.
  void cap_peer_sessions(ByteView peer_key);
  // Removes one reply tag; index must be inside the list.
  void remove_outbound_pending(std::size_t index);

  // One garlic message for the peer: a NewSessionReply when a NewSession from it waits for
  // an answer, else an ExistingSession when a session with it may send (a retiring one only
  // when no other may, and now and then a NewSession in its place), else a NewSession (with
  // a DateTime block of now in front unless the blocks carry one). The random source gives
  // the ephemeral keys of the two handshake messages.
  Result<Bytes> encrypt_to_peer(ByteView peer_key, const RatchetBlocks& blocks, std::uint32_t now,
                                const RandomSource& random);

  // Opens a message as an ExistingSession (by its tag), else as a reply to an own NewSession
  // (by its tag), else as a NewSession. Any error means the message is not for this
  // destination.
  Result<IncomingGarlic> decrypt_incoming(ByteView message, std::uint32_t now);
  // The two halves of decrypt_incoming, for a router that offers one message to several
  // destinations: a tag lookup costs little and a NewSession attempt a key agreement, so
  // every destination's tags can be tried before any NewSession.
  // By its tag: none when no tag of this destination opens the message, else what opening
  // an ExistingSession whose tag matched gave (an error: the message is not for it).
  std::optional<Result<IncomingGarlic>> decrypt_tagged(ByteView message, std::uint32_t now);
  // As a NewSession to this destination.
  Result<IncomingGarlic> decrypt_new_session(ByteView message, std::uint32_t now);
};

}  // namespace ratchet
