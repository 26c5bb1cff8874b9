#include "common/keys_and_cert.h"

#include <algorithm>

#include "encoding/error.h"
#include "crypto/sha256.h"

namespace common {

namespace {
// Room for the key area and a Key certificate without extra bytes.
constexpr std::size_t kCommonIdentitySize = 391;
}  // namespace

Result<KeysAndCert> KeysAndCert::decode(encoding::Reader& r) {
  auto area = r.read_view(384);
  if (!area) return wrap(CommonError::Encoding, std::move(area.error()));
  auto cert = Certificate::decode(r);
  if (!cert) return std::unexpected(std::move(cert.error()));
  KeysAndCert kc;
  std::copy(area->begin(), area->end(), kc.keys.begin());
  kc.certificate = std::move(*cert);
  return kc;
}

void KeysAndCert::encode(encoding::Writer& w) const {
  w.write_bytes(keys);
  certificate.encode(w);
}

Bytes KeysAndCert::to_bytes() const {
  encoding::Writer w(kCommonIdentitySize);
  encode(w);
  return std::move(w.buf);
}

Hash KeysAndCert::hash() const { return Hash{crypto::sha256(to_bytes())}; }

SigningPublicKeyType KeysAndCert::signing_type() const {
  if (const KeyCertificate* k = certificate.key()) return k->signing_type;
  return SigningPublicKeyType::DsaSha1;
}

Bytes KeysAndCert::signing_public_key() const {
  const KeyCertificate* k = certificate.key();
  if (k != nullptr && k->signing_type.is_unknown()) return {};
  std::size_t n = k != nullptr ? *k->signing_type.public_key_length() : 128;
  if (n <= 128) return Bytes(keys.end() - static_cast<std::ptrdiff_t>(n), keys.end());
  Bytes out(keys.begin() + 256, keys.end());
  out.insert(out.end(), k->extra_signing_key.begin(), k->extra_signing_key.end());
  return out;
}

Bytes KeysAndCert::crypto_public_key() const {
  std::size_t n = 256;
  if (const KeyCertificate* k = certificate.key()) {
    if (k->crypto_type.is_unknown()) return {};
    n = *k->crypto_type.public_key_length();
  }
  return Bytes(keys.begin(), keys.begin() + static_cast<std::ptrdiff_t>(n));
}

}  // namespace common
