#pragma once
// The offline-signature block of a LeaseSet2: a transient signing key, its expiry and
// the destination's signature over both.
#include <cstdint>

#include "common/key_types.h"
#include "encoding/bytes.h"
#include "encoding/error.h"
#include "encoding/reader.h"

namespace common {

struct OfflineSignature {
  std::uint32_t expires = 0;  // seconds since 1970
  SigningPublicKeyType transient_type = SigningPublicKeyType::EdDsaSha512Ed25519;
  Bytes transient_key;
  Bytes signature;  // made by the destination's own signing key

  // destination_type gives the length of the signature; an Unknown transient or
  // destination type is refused.
  static Result<OfflineSignature> decode(encoding::Reader& r, SigningPublicKeyType destination_type);
  // expires, the transient type code and the transient key: what the destination signs.
  Bytes unsigned_bytes() const;

  friend bool operator==(const OfflineSignature&, const OfflineSignature&) = default;
};

}  // namespace common
