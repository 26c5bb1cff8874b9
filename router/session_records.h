#pragma once
// Client destinations and NetDB lookups held by the router record. Only the fields the
// router core reads so far are here; client destinations and lookups fill them in.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/hash.h"
#include "ratchet/session_manager.h"

namespace router {

// One local client destination (a SAM session, "__http_proxy__" or "__torrent__").
struct SamSession {
  std::string id;
  std::string b32_address;
  std::string public_b64;
  // Opens the garlic sent to this destination; a session without one receives nothing.
  std::optional<ratchet::RatchetSessionManager> ratchet = std::nullopt;
  // The tunnel id of the lease that names the router itself.
  std::int32_t tunnel_id = 0;
};

// Who waits for a lookup: 0 a SAM NAMING LOOKUP, 1 a SAM STREAM CONNECT, 2 nobody (the
// router's own background lookups), 3 a starter that polls the NetDB itself.
inline constexpr std::uint32_t kLookupInBackground = 2;

// What is looked up, as sent in the DatabaseLookup flags (3 is exploratory).
inline constexpr std::uint8_t kLookupLeaseSet = 1;
inline constexpr std::uint8_t kLookupRouterInfo = 2;

// A NetDB lookup in progress.
struct PendingNetDbLookup {
  common::Hash key;
  std::uint8_t lookup_type = 0;
  // The one-time key and tag the answer is sealed with; the answer is recognised by the tag.
  std::array<std::uint8_t, 32> reply_key{};
  std::array<std::uint8_t, 8> reply_tag{};
  std::vector<common::Hash> queried;     // asked so far, in order, without repeats
  std::vector<common::Hash> candidates;  // still to ask, taken from the front
  std::uint32_t purpose = kLookupInBackground;
  std::int32_t client_index = -1;
};

}  // namespace router
