#pragma once
// Client destinations and NetDB lookups held by the router record.
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/destination.h"
#include "common/hash.h"
#include "common/lease_set2.h"
#include "crypto/ed25519.h"
#include "ratchet/session_manager.h"
#include "streaming/manager.h"

namespace router {

// A DatabaseStore of a session's LeaseSet2 sent to a floodfill, waiting for the
// DeliveryStatus whose message id is its token.
struct PendingStore {
  std::uint32_t token = 0;  // never 0: 0 asks for no confirmation
  common::Hash floodfill;
  std::uint64_t sent_ms = 0;  // monotonic
};

inline constexpr std::uint64_t kNoRepublish = std::numeric_limits<std::uint64_t>::max();

// Where the publication of a session's LeaseSet2 stands (router/publication.h). A new
// publication replaces the whole record.
struct LeaseSetPublication {
  // It could not go out for want of tunnels: it goes when the next one is built.
  bool waiting_for_tunnels = false;
  std::vector<PendingStore> stores;           // unconfirmed, at most kPublishFloodfills
  std::vector<common::Hash> tried;            // every floodfill sent to, in order
  std::vector<common::Hash> confirmed;        // those that confirmed, in order
  std::size_t resends = 0;                    // stores sent again, at most kMaxStoreResends
  std::uint64_t republish_ms = kNoRepublish;  // monotonic; before the earliest lease ends
};

// The ids of the router's own client sessions: the HTTP proxy's and the torrent engine's.
// A SAM client cannot create a session of either id.
inline constexpr std::string_view kHttpProxySessionId = "__http_proxy__";
inline constexpr std::string_view kTorrentSessionId = "__torrent__";

// One local client destination (a SAM session, kHttpProxySessionId or kTorrentSessionId).
struct SamSession {
  std::string id;
  std::string b32_address;
  std::string public_b64;
  // Opens the garlic sent to this destination; a session without one receives nothing.
  std::optional<ratchet::RatchetSessionManager> ratchet = std::nullopt;
  // The tunnel id of the lease that names the router itself.
  std::int32_t tunnel_id = 0;
  common::Destination destination{};  // its Key certificate must name Ed25519 signing
  common::Hash dest_hash{};           // where its LeaseSet2 is stored and published
  std::optional<std::array<std::uint8_t, 32>> x25519_public = std::nullopt;  // published in the LeaseSet2
  // The Ed25519 key expanded once from the destination's seed: signs every LeaseSet2 and
  // datagram of the session. None: no LeaseSet2.
  std::optional<crypto::Ed25519SigningKey> signing_key = std::nullopt;
  // The last LeaseSet2 built for the session: the next one is published later than it
  // whenever its leases or key differ, so that it replaces it everywhere.
  std::shared_ptr<const common::LeaseSet2> last_lease_set = nullptr;
  // The destination's streams and datagrams; none for a session without keys.
  std::optional<streaming::StreamManager> streams = std::nullopt;
  LeaseSetPublication publication{};
};

// Who waits for a lookup: 0 a SAM NAMING LOOKUP, 1 a SAM STREAM CONNECT, 2 nobody (the
// router's own background lookups), 3 a starter that polls the NetDB itself.
inline constexpr std::uint32_t kLookupForNaming = 0;
inline constexpr std::uint32_t kLookupForStreamConnect = 1;
inline constexpr std::uint32_t kLookupInBackground = 2;
inline constexpr std::uint32_t kLookupPolled = 3;

// What a lookup asks for: bits 2-3 of the DatabaseLookup flags. Any (0) is what a lookup
// from another router may ask for; the router's own lookups always name their kind.
enum class LookupKind : std::uint8_t { Any = 0, LeaseSet = 1, RouterInfo = 2, Exploratory = 3 };

// The kind a DatabaseLookup's flags ask for.
inline LookupKind lookup_kind_of_flags(std::uint8_t flags) { return static_cast<LookupKind>((flags >> 2) & 3); }
// The kind's bits in DatabaseLookup flags.
inline std::uint8_t lookup_flag_bits(LookupKind kind) {
  return static_cast<std::uint8_t>(static_cast<std::uint8_t>(kind) << 2);
}

// The one-time key and tag that one query's answer is sealed with.
struct ReplySeal {
  std::array<std::uint8_t, 32> key{};
  std::array<std::uint8_t, 8> tag{};
};

// A lookup keeps the seals of its latest queries, oldest first: an answer may come from
// any router asked, and each was given a seal of its own, so no two answers are ever
// sealed under one key and nonce.
inline constexpr std::size_t kMaxReplySeals = 16;

// A NetDB lookup in progress. Times are monotonic milliseconds.
struct PendingNetDbLookup {
  common::Hash key;
  LookupKind lookup_type = LookupKind::Any;
  std::vector<ReplySeal> replies;        // at most kMaxReplySeals
  std::vector<common::Hash> queried;     // asked so far, in order, without repeats
  std::vector<common::Hash> candidates;  // still to ask, taken from the front
  std::uint32_t purpose = kLookupInBackground;
  std::int32_t client_index = -1;  // the id of the waiting SAM client (SamClientConn.id), -1 for none
  std::uint64_t started_ms = 0;
  std::uint64_t last_query_ms = 0;
  std::string name;        // the NAME of a SAM NAMING LOOKUP
  std::string session_id;  // the SAM session of a STREAM CONNECT
  bool silent = true;      // SILENT of a STREAM CONNECT
  std::uint32_t from_port = 0;
  std::uint32_t to_port = 0;
};

}  // namespace router
