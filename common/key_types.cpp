#include "common/key_types.h"

#include <array>

namespace common {

namespace {

// Indexed by SigningPublicKeyType::Kind (the ten known kinds).
constexpr std::array<std::size_t, 10> kSigningPublicKeyLength = {128, 64, 96, 132, 256, 384, 512, 32, 32, 32};
constexpr std::array<std::size_t, 10> kSignatureLength = {40, 64, 96, 132, 256, 384, 512, 64, 64, 64};

// Indexed by CryptoPublicKeyType::Kind (the five known kinds).
constexpr std::array<std::size_t, 5> kCryptoPublicKeyLength = {256, 64, 96, 132, 32};

}  // namespace

std::optional<std::size_t> SigningPublicKeyType::public_key_length() const {
  if (is_unknown()) return std::nullopt;
  return kSigningPublicKeyLength[static_cast<std::size_t>(kind())];
}

std::optional<std::size_t> SigningPublicKeyType::signature_length() const {
  if (is_unknown()) return std::nullopt;
  return kSignatureLength[static_cast<std::size_t>(kind())];
}

Result<Bytes> read_trailing_signature(encoding::Reader& r, SigningPublicKeyType type) {
  auto len = type.signature_length();
  if (!len) return r.read_remaining();
  auto sig = r.read_bytes(static_cast<std::int64_t>(*len));
  if (!sig) return wrap(CommonError::Encoding, std::move(sig.error()));
  return std::move(*sig);
}

std::optional<std::size_t> CryptoPublicKeyType::public_key_length() const {
  if (is_unknown()) return std::nullopt;
  return kCryptoPublicKeyLength[static_cast<std::size_t>(kind())];
}

}  // namespace common
