#pragma once
// The router's own RouterInfo: its transient identity, one NTCP2 address and its options.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "common/router_info.h"
#include "encoding/bytes.h"
#include "encoding/error.h"

namespace router {

// The hash of an identity, computed again only when the identity differs from the one it
// came from: the router names itself in every pass and on every send. Filled by a const
// reader (the router's record is touched from its one thread only); not part of a value.
class IdentityHashCache {
 public:
  common::Hash get(const common::KeysAndCert& identity) const {
    if (!entry_ || entry_->first != identity) entry_.emplace(identity, identity.hash());
    return entry_->second;
  }

 private:
  mutable std::optional<std::pair<common::KeysAndCert, common::Hash>> entry_;
};

struct OwnIdentityKeys {
  ByteView x25519_public;   // 32 bytes
  ByteView ed25519_public;  // 32 bytes
  ByteView filler;          // 320 random bytes between the two keys
  ByteView ntcp2_iv;        // 16 bytes
};

struct OwnAddress {
  std::string host;
  std::uint16_t port = 0;  // the port the NTCP2 listener is bound to
  bool public_mode = false;
  bool floodfill = false;
};

// The NTCP2 address is unreachable only in public mode on "127.0.0.1" or "0.0.0.0".
bool is_reachable(const OwnAddress& address);

// The unsigned RouterInfo (empty signature) published at published_ms.
Result<common::RouterInfo> build_own_router_info(const OwnIdentityKeys& keys, const OwnAddress& address,
                                                 std::uint64_t published_ms);

// Signs the RouterInfo's unsigned bytes with the Ed25519 seed and stores the signature.
Result<void> sign_router_info(common::RouterInfo& info, ByteView signing_seed);

}  // namespace router
