#include "common/router_info.h"

#include "encoding/error.h"
#include "crypto/ed25519.h"
#include "encoding/writer.h"

namespace common {

namespace {

Result<void> check_certificate(const Certificate& cert) {
  if (cert.payload_length() > 65535) {
    return fail(CommonError::Invalid, msg("certificate payload exceeds 65535 bytes: ", cert.payload_length()));
  }
  return {};
}

Result<RouterAddress> decode_address(encoding::Reader& r) {
  RouterAddress a;
  auto cost = r.read_u8();
  if (!cost) return wrap(CommonError::Encoding, std::move(cost.error()));
  auto expiration = r.read_u64_be();
  if (!expiration) return wrap(CommonError::Encoding, std::move(expiration.error()));
  auto style = r.read_i2p_string();
  if (!style) return wrap(CommonError::Encoding, std::move(style.error()));
  auto options = Mapping::decode(r);
  if (!options) return std::unexpected(std::move(options.error()));
  return RouterAddress{*cost, *expiration, std::move(*style), std::move(*options)};
}

}  // namespace

Result<Bytes> RouterInfo::unsigned_bytes() const {
  const KeysAndCert& kc = identity.keys_and_cert;
  if (auto ok = check_certificate(kc.certificate); !ok) return std::unexpected(std::move(ok.error()));
  if (addresses.size() > 255) {
    return fail(CommonError::Invalid, msg("RouterInfo address count exceeds 255: ", addresses.size()));
  }
  encoding::Writer w(512);
  kc.encode(w);
  w.write_u64_be(published);
  w.write_u8(static_cast<std::uint32_t>(addresses.size()));
  for (const RouterAddress& a : addresses) {
    w.write_u8(a.cost);
    w.write_u64_be(a.expiration);
    if (auto ok = w.write_i2p_string(a.transport_style); !ok) return wrap(CommonError::Encoding, std::move(ok.error()));
    if (auto ok = a.options.encode(w); !ok) return std::unexpected(std::move(ok.error()));
  }
  w.write_u8(0);  // no peers
  if (auto ok = options.encode(w); !ok) return std::unexpected(std::move(ok.error()));
  return std::move(w.buf);
}

Result<Bytes> RouterInfo::to_bytes() const {
  auto body = unsigned_bytes();
  if (!body) return body;
  encoding::Writer w(600);
  w.write_bytes(*body);
  w.write_bytes(signature);
  return std::move(w.buf);
}

bool RouterInfo::verify_signature() const {
  const KeysAndCert& kc = identity.keys_and_cert;
  if (kc.signing_type() != SigningPublicKeyType::EdDsaSha512Ed25519) return false;
  auto body = unsigned_bytes();
  if (!body) return false;
  return crypto::ed25519_verify(kc.signing_public_key(), *body, signature);
}

Result<RouterInfo> RouterInfo::decode(encoding::Reader& r) {
  auto kc = KeysAndCert::decode(r);
  if (!kc) return std::unexpected(std::move(kc.error()));
  RouterInfo ri;
  ri.identity = RouterIdentity{std::move(*kc)};

  auto published = r.read_u64_be();
  if (!published) return wrap(CommonError::Encoding, std::move(published.error()));
  ri.published = *published;

  auto address_count = r.read_u8();
  if (!address_count) return wrap(CommonError::Encoding, std::move(address_count.error()));
  ri.addresses.reserve(*address_count);
  for (unsigned i = 0; i < *address_count; ++i) {
    auto a = decode_address(r);
    if (!a) return std::unexpected(std::move(a.error()));
    ri.addresses.push_back(std::move(*a));
  }

  auto peer_count = r.read_u8();
  if (!peer_count) return wrap(CommonError::Encoding, std::move(peer_count.error()));
  for (unsigned i = 0; i < *peer_count; ++i) {
    if (auto h = Hash::decode(r); !h) return std::unexpected(std::move(h.error()));
  }

  auto options = Mapping::decode(r);
  if (!options) return std::unexpected(std::move(options.error()));
  ri.options = std::move(*options);

  auto sig = read_trailing_signature(r, ri.identity.keys_and_cert.signing_type());
  if (!sig) return std::unexpected(std::move(sig.error()));
  ri.signature = std::move(*sig);
  return ri;
}

}  // namespace common
