#include "common/certificate.h"

#include "encoding/error.h"

// g++ 12 reports the moves of a freshly built std::variant holding byte vectors as
// "may be used uninitialized" at some optimisation and sanitizer settings; the
// warning is a known false positive of that compiler, and this file is where the
// certificate variant is built and moved.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace common {

namespace {

template <typename... F>
struct Overloaded : F... {
  using F::operator()...;
};

Result<KeyCertificate> decode_key_certificate(ByteView payload) {
  if (payload.size() < 4) return fail(CommonError::Invalid, "Key certificate payload must be at least 4 bytes");
  encoding::Reader r(payload);
  KeyCertificate kc;
  kc.signing_type = SigningPublicKeyType::from_u16(*r.read_u16_be());
  kc.crypto_type = CryptoPublicKeyType::from_u16(*r.read_u16_be());
  // Only a known signing key longer than the 128-byte slot continues here, and only
  // when the whole excess is present; otherwise everything left is crypto-key bytes.
  if (auto len = kc.signing_type.public_key_length(); len && *len > 128 && r.remaining() >= *len - 128) {
    kc.extra_signing_key = *r.read_bytes(static_cast<std::int64_t>(*len - 128));
  }
  kc.extra_crypto_key = r.read_remaining();
  return kc;
}

}  // namespace

Certificate::Certificate() = default;
Certificate::Certificate(Value v) : value(std::move(v)) {}
Certificate::Certificate(const Certificate&) = default;
Certificate::Certificate(Certificate&&) noexcept = default;
Certificate& Certificate::operator=(const Certificate&) = default;
Certificate& Certificate::operator=(Certificate&&) noexcept = default;
Certificate::~Certificate() = default;

KeyCertificate KeyCertificate::create(CryptoPublicKeyType crypto_type) {
  return KeyCertificate{SigningPublicKeyType::EdDsaSha512Ed25519, crypto_type, {}, {}};
}

std::uint8_t Certificate::type_byte() const {
  return std::visit(Overloaded{
                        [](const Null&) -> std::uint8_t { return 0; },
                        [](const Hashcash&) -> std::uint8_t { return 1; },
                        [](const Hidden&) -> std::uint8_t { return 2; },
                        [](const Signed&) -> std::uint8_t { return 3; },
                        [](const Multiple&) -> std::uint8_t { return 4; },
                        [](const Key&) -> std::uint8_t { return 5; },
                        [](const Unknown& u) -> std::uint8_t { return u.type; },
                    },
                    value);
}

std::size_t Certificate::payload_length() const {
  return std::visit(
      Overloaded{
          [](const Null&) -> std::size_t { return 0; },
          [](const Hidden&) -> std::size_t { return 0; },
          [](const Key& k) -> std::size_t { return 4 + k.extra_signing_key.size() + k.extra_crypto_key.size(); },
          [](const auto& p) -> std::size_t { return p.payload.size(); },
      },
      value);
}

void Certificate::encode(encoding::Writer& w) const {
  w.write_u8(type_byte());
  w.write_u16_be(static_cast<std::uint32_t>(payload_length()));
  std::visit(Overloaded{
                 [](const Null&) {},
                 [](const Hidden&) {},
                 [&w](const Key& k) {
                   w.write_u16_be(k.signing_type.code());
                   w.write_u16_be(k.crypto_type.code());
                   w.write_bytes(k.extra_signing_key);
                   w.write_bytes(k.extra_crypto_key);
                 },
                 [&w](const auto& p) { w.write_bytes(p.payload); },
             },
             value);
}

Result<Certificate> Certificate::decode(encoding::Reader& r) {
  auto type = r.read_u8();
  if (!type) return wrap(CommonError::Encoding, std::move(type.error()));
  auto len = r.read_u16_be();
  if (!len) return wrap(CommonError::Encoding, std::move(len.error()));
  auto payload = r.read_view(*len);
  if (!payload) return wrap(CommonError::Encoding, std::move(payload.error()));
  Bytes bytes(payload->begin(), payload->end());
  switch (*type) {
    case 0:
      if (!payload->empty()) return fail(CommonError::Invalid, "Null certificate must have 0-byte payload");
      return Certificate{Null{}};
    case 1: return Certificate{Hashcash{std::move(bytes)}};
    case 2: return Certificate{Hidden{}};
    case 3: return Certificate{Signed{std::move(bytes)}};
    case 4: return Certificate{Multiple{std::move(bytes)}};
    case 5: {
      auto kc = decode_key_certificate(*payload);
      if (!kc) return std::unexpected(std::move(kc.error()));
      return Certificate{std::move(*kc)};
    }
    default: return Certificate{Unknown{*type, std::move(bytes)}};
  }
}

}  // namespace common

#pragma GCC diagnostic pop
