#pragma once
// A client destination's signed description: its encryption keys and inbound leases.
#include <cstdint>
#include <optional>
#include <vector>

#include "common/destination.h"
#include "common/hash.h"
#include "common/key_types.h"
#include "common/mapping.h"
#include "common/offline_signature.h"
#include "encoding/bytes.h"
#include "encoding/error.h"
#include "encoding/reader.h"

namespace common {

struct LeaseSet2EncryptionKey {
  CryptoPublicKeyType key_type = CryptoPublicKeyType::X25519;
  Bytes key;  // at most 65535 bytes

  friend bool operator==(const LeaseSet2EncryptionKey&, const LeaseSet2EncryptionKey&) = default;
};

struct Lease2 {
  Hash gateway;  // the inbound gateway router
  std::uint32_t tunnel_id = 0;
  std::uint32_t end_date = 0;  // seconds since 1970

  friend bool operator==(const Lease2&, const Lease2&) = default;
};

struct LeaseSet2 {
  // The DatabaseStore type byte of a LeaseSet2, which its signature also covers.
  static constexpr std::uint8_t kStoreType = 3;
  // Flags bit 0: an offline signature block follows the flags.
  static constexpr std::uint16_t kFlagOfflineSignature = 0x0001;

  Destination destination;
  std::uint32_t published = 0;  // seconds since 1970
  std::uint16_t expires = 0;    // seconds after published
  std::uint16_t flags = 0;      // bits other than 0 are carried unchanged
  std::optional<OfflineSignature> offline_signature;
  Mapping options;
  std::vector<LeaseSet2EncryptionKey> encryption_keys;  // at most 255
  std::vector<Lease2> leases;                           // at most 255
  Bytes signature;

  // The encoding without the signature. Fails when a count or length does not fit its
  // field, or when flags bit 0 is set without an offline signature.
  Result<Bytes> unsigned_bytes() const;
  // 0x03 followed by the unsigned bytes: what the signature covers.
  Result<Bytes> signing_bytes() const;
  // The unsigned bytes followed by the signature.
  Result<Bytes> to_bytes() const;
  static Result<LeaseSet2> decode(encoding::Reader& r);

  friend bool operator==(const LeaseSet2&, const LeaseSet2&) = default;
};

}  // namespace common
