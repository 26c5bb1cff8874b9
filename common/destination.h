#pragma once
// A client endpoint: the KeysAndCert of a LeaseSet2, a stream or a SAM session.
#include <string>
#include <string_view>

#include "common/keys_and_cert.h"
#include "encoding/error.h"
#include "encoding/reader.h"

namespace common {

struct Destination {
  KeysAndCert keys_and_cert;

  static Result<Destination> decode(encoding::Reader& r);
  // Decodes a Destination from the start of the decoded bytes; bytes after its
  // certificate are ignored.
  static Result<Destination> from_base64(std::string_view text);
  // I2P Base64 of the key area and the certificate.
  std::string to_base64() const;

  friend bool operator==(const Destination&, const Destination&) = default;
};

}  // namespace common
