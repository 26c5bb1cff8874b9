#pragma once
// Client destinations and NetDB lookups held by the router record. Only the fields the
// router core reads so far are here; client destinations and lookups fill them in.
#include <cstdint>
#include <string>

#include "common/hash.h"

namespace router {

// One local client destination (a SAM session, "__http_proxy__" or "__torrent__").
struct SamSession {
  std::string id;
  std::string b32_address;
  std::string public_b64;
};

// A NetDB lookup in progress.
struct PendingNetDbLookup {
  common::Hash key;
  std::uint8_t lookup_type = 0;
  std::int32_t client_index = -1;
};

}  // namespace router
