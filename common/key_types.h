#pragma once
// Signing and encryption key types of I2P identities. A code the router does not know
// is kept as the Unknown kind with its code, so it can be written back unchanged.
#include <cstddef>
#include <cstdint>
#include <optional>

#include "encoding/bytes.h"
#include "encoding/error.h"
#include "encoding/reader.h"

namespace common {

class SigningPublicKeyType {
 public:
  enum class Kind : std::uint8_t {
    DsaSha1,
    EcdsaSha256P256,
    EcdsaSha384P384,
    EcdsaSha512P521,
    RsaSha256_2048,
    RsaSha384_3072,
    RsaSha512_4096,
    EdDsaSha512Ed25519,
    EdDsaSha512Ed25519ph,
    RedDsaSha512Ed25519,
    Unknown,
  };

  static const SigningPublicKeyType DsaSha1;
  static const SigningPublicKeyType EcdsaSha256P256;
  static const SigningPublicKeyType EcdsaSha384P384;
  static const SigningPublicKeyType EcdsaSha512P521;
  static const SigningPublicKeyType RsaSha256_2048;
  static const SigningPublicKeyType RsaSha384_3072;
  static const SigningPublicKeyType RsaSha512_4096;
  static const SigningPublicKeyType EdDsaSha512Ed25519;
  static const SigningPublicKeyType EdDsaSha512Ed25519ph;
  static const SigningPublicKeyType RedDsaSha512Ed25519;

  // The known type with this code, else Unknown holding the code.
  static constexpr SigningPublicKeyType from_u16(std::uint16_t code) { return SigningPublicKeyType(code); }
  static constexpr bool equal(SigningPublicKeyType a, SigningPublicKeyType b) { return a == b; }

  // The wire code (for Unknown, the code it was read with).
  constexpr std::uint16_t code() const { return code_; }
  constexpr Kind kind() const {
    if (code_ <= 8) return static_cast<Kind>(code_);
    if (code_ == 11) return Kind::RedDsaSha512Ed25519;
    return Kind::Unknown;
  }
  constexpr bool is_unknown() const { return kind() == Kind::Unknown; }

  // Public key and signature lengths in bytes; none for Unknown.
  std::optional<std::size_t> public_key_length() const;
  std::optional<std::size_t> signature_length() const;

  friend constexpr bool operator==(SigningPublicKeyType, SigningPublicKeyType) = default;

 private:
  constexpr explicit SigningPublicKeyType(std::uint16_t code) : code_(code) {}
  std::uint16_t code_;
};

// The signature at the end of a signed structure: as many bytes as a signature of type
// takes, or every byte left when the type is Unknown and so has no known length. A signature
// cut short is CommonError::Encoding.
Result<Bytes> read_trailing_signature(encoding::Reader& r, SigningPublicKeyType type);

inline constexpr SigningPublicKeyType SigningPublicKeyType::DsaSha1{0};
inline constexpr SigningPublicKeyType SigningPublicKeyType::EcdsaSha256P256{1};
inline constexpr SigningPublicKeyType SigningPublicKeyType::EcdsaSha384P384{2};
inline constexpr SigningPublicKeyType SigningPublicKeyType::EcdsaSha512P521{3};
inline constexpr SigningPublicKeyType SigningPublicKeyType::RsaSha256_2048{4};
inline constexpr SigningPublicKeyType SigningPublicKeyType::RsaSha384_3072{5};
inline constexpr SigningPublicKeyType SigningPublicKeyType::RsaSha512_4096{6};
inline constexpr SigningPublicKeyType SigningPublicKeyType::EdDsaSha512Ed25519{7};
inline constexpr SigningPublicKeyType SigningPublicKeyType::EdDsaSha512Ed25519ph{8};
inline constexpr SigningPublicKeyType SigningPublicKeyType::RedDsaSha512Ed25519{11};

class CryptoPublicKeyType {
 public:
  enum class Kind : std::uint8_t { ElGamal, EcdhP256, EcdhP384, EcdhP521, X25519, Unknown };

  static const CryptoPublicKeyType ElGamal;
  static const CryptoPublicKeyType EcdhP256;
  static const CryptoPublicKeyType EcdhP384;
  static const CryptoPublicKeyType EcdhP521;
  static const CryptoPublicKeyType X25519;

  static constexpr CryptoPublicKeyType from_u16(std::uint16_t code) { return CryptoPublicKeyType(code); }
  static constexpr bool equal(CryptoPublicKeyType a, CryptoPublicKeyType b) { return a == b; }

  constexpr std::uint16_t code() const { return code_; }
  constexpr Kind kind() const { return code_ <= 4 ? static_cast<Kind>(code_) : Kind::Unknown; }
  constexpr bool is_unknown() const { return kind() == Kind::Unknown; }

  // Public key length in bytes; none for Unknown.
  std::optional<std::size_t> public_key_length() const;

  friend constexpr bool operator==(CryptoPublicKeyType, CryptoPublicKeyType) = default;

 private:
  constexpr explicit CryptoPublicKeyType(std::uint16_t code) : code_(code) {}
  std::uint16_t code_;
};

inline constexpr CryptoPublicKeyType CryptoPublicKeyType::ElGamal{0};
inline constexpr CryptoPublicKeyType CryptoPublicKeyType::EcdhP256{1};
inline constexpr CryptoPublicKeyType CryptoPublicKeyType::EcdhP384{2};
inline constexpr CryptoPublicKeyType CryptoPublicKeyType::EcdhP521{3};
inline constexpr CryptoPublicKeyType CryptoPublicKeyType::X25519{4};

}  // namespace common
