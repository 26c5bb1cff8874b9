#pragma once
// A router's signed description: its identity, addresses and options.
#include <cstdint>
#include <string>
#include <vector>

#include "common/mapping.h"
#include "common/router_identity.h"
#include "encoding/bytes.h"
#include "encoding/error.h"
#include "encoding/reader.h"

namespace common {

struct RouterAddress {
  std::uint8_t cost = 0;
  std::uint64_t expiration = 0;  // ms since 1970; the router's own addresses carry 0
  std::string transport_style;   // for instance "NTCP2"
  Mapping options;               // for NTCP2: "host", "port", "s", "i"

  friend bool operator==(const RouterAddress&, const RouterAddress&) = default;
};

struct RouterInfo {
  RouterIdentity identity;
  std::uint64_t published = 0;           // ms since 1970
  std::vector<RouterAddress> addresses;  // at most 255
  Mapping options;                       // "caps" holds the capability letters
  Bytes signature;

  // The bytes the signature covers, re-encoded from the fields (Mappings sorted, no
  // peers). Fails when a count or length does not fit its field.
  Result<Bytes> unsigned_bytes() const;
  // The unsigned bytes followed by the signature.
  Result<Bytes> to_bytes() const;
  // Ed25519 over the re-encoded unsigned bytes; false for any other signing type and
  // for anything that cannot be encoded.
  bool verify_signature() const;
  // The peer hashes of the wire format are read and dropped.
  static Result<RouterInfo> decode(encoding::Reader& r);

  friend bool operator==(const RouterInfo&, const RouterInfo&) = default;
};

}  // namespace common
