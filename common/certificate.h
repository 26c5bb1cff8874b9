#pragma once
// Certificates of I2P identities, with the Key certificate that names the identity's
// signing and encryption key types.
#include <cstddef>
#include <cstdint>
#include <variant>

#include "common/key_types.h"
#include "encoding/bytes.h"
#include "encoding/error.h"
#include "encoding/reader.h"
#include "encoding/writer.h"

namespace common {

struct KeyCertificate {
  SigningPublicKeyType signing_type = SigningPublicKeyType::EdDsaSha512Ed25519;
  CryptoPublicKeyType crypto_type = CryptoPublicKeyType::X25519;
  // The part of a signing public key longer than 128 bytes that does not fit in the
  // key area.
  Bytes extra_signing_key;
  // Every payload byte after the extra signing-key bytes.
  Bytes extra_crypto_key;

  // The router's own kind: EdDsaSha512Ed25519 signing, the given encryption type, no
  // extra bytes.
  static KeyCertificate create(CryptoPublicKeyType crypto_type);

  friend bool operator==(const KeyCertificate&, const KeyCertificate&) = default;
};

struct Certificate {
  struct Null {
    friend bool operator==(const Null&, const Null&) = default;
  };
  struct Hashcash {
    Bytes payload;
    friend bool operator==(const Hashcash&, const Hashcash&) = default;
  };
  // A payload received with a Hidden certificate is discarded.
  struct Hidden {
    friend bool operator==(const Hidden&, const Hidden&) = default;
  };
  struct Signed {
    Bytes payload;
    friend bool operator==(const Signed&, const Signed&) = default;
  };
  struct Multiple {
    Bytes payload;
    friend bool operator==(const Multiple&, const Multiple&) = default;
  };
  using Key = KeyCertificate;
  // Type bytes 6 to 255, kept with their payload and written back unchanged.
  struct Unknown {
    std::uint8_t type = 6;
    Bytes payload;
    friend bool operator==(const Unknown&, const Unknown&) = default;
  };

  using Value = std::variant<Null, Hashcash, Hidden, Signed, Multiple, Key, Unknown>;
  Value value;

  Certificate();  // Null
  Certificate(Value v);
  // Defined out of line: inlining the variant's moves trips g++ 12's
  // maybe-uninitialized analysis in every caller.
  Certificate(const Certificate&);
  Certificate(Certificate&&) noexcept;
  Certificate& operator=(const Certificate&);
  Certificate& operator=(Certificate&&) noexcept;
  ~Certificate();

  // The wire type byte.
  std::uint8_t type_byte() const;
  // Length of the payload as encode writes it.
  std::size_t payload_length() const;
  // The Key certificate, or nullptr for every other kind.
  const KeyCertificate* key() const { return std::get_if<Key>(&value); }

  // Type byte, 2-byte payload length, payload. The payload length must fit in two
  // bytes: decoded certificates and the router's own always do; fallible encoders
  // check payload_length() first.
  void encode(encoding::Writer& w) const;
  // Type byte, length and payload; Null must be empty, Key needs at least 4 bytes.
  static Result<Certificate> decode(encoding::Reader& r);

  friend bool operator==(const Certificate&, const Certificate&) = default;
};

}  // namespace common
