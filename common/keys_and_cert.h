#pragma once
// The 384-byte key area followed by a certificate: the body of every router identity
// and client destination.
#include <array>
#include <cstdint>

#include "common/certificate.h"
#include "common/hash.h"
#include "common/key_types.h"
#include "encoding/bytes.h"
#include "encoding/error.h"
#include "encoding/reader.h"
#include "encoding/writer.h"

namespace common {

struct KeysAndCert {
  // The encryption public key left-aligned at byte 0, the signing public key
  // right-aligned in the 128-byte slot at bytes 256..383, filler between them.
  std::array<std::uint8_t, 384> keys{};
  Certificate certificate;

  static Result<KeysAndCert> decode(encoding::Reader& r);
  // The key area followed by the re-encoded certificate.
  void encode(encoding::Writer& w) const;
  Bytes to_bytes() const;

  // SHA-256 of the key area and the re-encoded certificate.
  Hash hash() const;

  // The Key certificate's signing type; DsaSha1 for any other certificate.
  SigningPublicKeyType signing_type() const;
  // Empty for an Unknown signing type.
  Bytes signing_public_key() const;
  // Empty for an Unknown encryption type; the first 256 bytes without a Key certificate.
  Bytes crypto_public_key() const;

  friend bool operator==(const KeysAndCert&, const KeysAndCert&) = default;
};

}  // namespace common
