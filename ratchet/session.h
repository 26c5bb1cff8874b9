#pragma once
// The records of one destination's garlic sessions: an established session with a peer,
// and the handshake state kept between a NewSession and its NewSessionReply.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "encoding/bytes.h"
#include "encoding/error.h"
#include "ratchet/key_schedule.h"

namespace ratchet {

inline constexpr std::size_t kRecvWindowSize = 64;
// A session stops sending after this many ExistingSession messages; the next message to the
// peer starts a new handshake.
inline constexpr std::uint32_t kMaxSendsPerSession = 60000;
// From this many sends on, a session is retiring: its successor's handshake starts while it
// still sends, one NewSession every kRenewalEvery of its sends until a reply arrives.
inline constexpr std::uint32_t kRenewalFrom = 50000;
inline constexpr std::uint32_t kRenewalEvery = 1024;
inline constexpr std::uint32_t kSessionIdleSec = 300;
inline constexpr std::uint32_t kConfirmedRecvSec = 180;
inline constexpr std::uint32_t kUnconfirmedSec = 45;

struct RatchetPeerSession {
  Key32 peer_key{};  // the peer's X25519 static key
  Key32 send_root_key{};
  TagSet send_tag_set;
  Key32 recv_root_key{};
  TagSet recv_tag_set;
  // The expected incoming tags with their keys, in index order: always the lowest 64
  // indexes of recv_tag_set that have not opened a message. A used entry is removed and
  // never accepted again.
  std::vector<TagSetEntry> recv_window;
  // The same tags as 8-byte words in the same order: the incoming scan reads only these,
  // 512 bytes per session instead of the whole entries.
  std::vector<std::uint64_t> recv_window_tags;
  std::uint32_t last_activity = 0;    // unix seconds of the last send or receipt
  bool send_enabled = false;          // ExistingSession messages may leave on it
  bool confirmed = false;             // lives under the long expiry rule
  bool es_sent = false;               // an ExistingSession left on it
  std::uint32_t last_recv = 0;        // 0: nothing received yet
  std::uint32_t renewal_sent_at = 0;  // send index when the last renewal NewSession left; 0: none

  // Appends entries of recv_tag_set until the window holds 64. Fails only as
  // TagSet::next_entry does.
  Result<void> refill_recv_window();
  // Takes entry i out of the window (the others keep their order) and refills it.
  Result<void> consume_window_entry(std::size_t i);
};

// A tag as one word, for constant-time comparison by a single XOR.
inline std::uint64_t tag_word(const SessionTag& tag) {
  std::uint64_t w;
  std::memcpy(&w, tag.data(), sizeof w);
  return w;
}

// Expired sessions are never chosen for sending: out of time, or out of sends. With now or
// last_activity 0 nothing expires.
bool is_ratchet_session_expired(const RatchetPeerSession& session, std::uint32_t now);

// The session has sent all the ExistingSession messages it may. It never sends again, but it
// is kept while the peer's messages on it still arrive in time: the peer goes on sending on
// it until the new handshake reaches it, and those messages must still open.
bool is_send_exhausted(const RatchetPeerSession& session);

// Near the last send: a successor is under way, and a session that is not retiring is
// preferred for sending.
bool is_send_retiring(const RatchetPeerSession& session);
// The next message to the peer on this retiring session leaves as a NewSession instead.
bool is_renewal_due(const RatchetPeerSession& session);

// Out of time alone (the rules of is_ratchet_session_expired without the send count): such a
// session is dropped, its receive window with it.
bool is_ratchet_session_timed_out(const RatchetPeerSession& session, std::uint32_t now);

// What is kept of a NewSession until its reply: sent (initiator) or received (responder).
struct PendingNewSession {
  Key32 chaining_key{};  // Noise state after the NewSession payload
  Key32 handshake_hash{};
  Bytes local_ephemeral_private;  // initiator: own ephemeral private key; responder: empty
  Key32 remote_key{};             // initiator: the responder's static key; responder: the initiator's ephemeral key
  Key32 peer_key{};               // the other side's static key
  TagSet reply_tag_set;           // initiator: tags a reply is recognised by; responder: tags it is sent with
};

}  // namespace ratchet
