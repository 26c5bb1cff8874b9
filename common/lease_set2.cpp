#include "common/lease_set2.h"

#include "encoding/error.h"
#include "encoding/writer.h"

namespace common {

namespace {

Result<void> check_lengths(const LeaseSet2& ls) {
  const Certificate& cert = ls.destination.keys_and_cert.certificate;
  if (cert.payload_length() > 65535) {
    return fail(CommonError::Invalid, msg("certificate payload exceeds 65535 bytes: ", cert.payload_length()));
  }
  if (ls.encryption_keys.size() > 255) {
    return fail(CommonError::Invalid, msg("LeaseSet2 key count exceeds 255: ", ls.encryption_keys.size()));
  }
  for (const LeaseSet2EncryptionKey& k : ls.encryption_keys) {
    if (k.key.size() > 65535) {
      return fail(CommonError::Invalid, msg("LeaseSet2 encryption key exceeds 65535 bytes: ", k.key.size()));
    }
  }
  if (ls.leases.size() > 255) {
    return fail(CommonError::Invalid, msg("LeaseSet2 lease count exceeds 255: ", ls.leases.size()));
  }
  return {};
}

}  // namespace

Result<Bytes> LeaseSet2::unsigned_bytes() const {
  if (auto ok = check_lengths(*this); !ok) return std::unexpected(std::move(ok.error()));
  encoding::Writer w(512);
  destination.keys_and_cert.encode(w);
  w.write_u32_be(published);
  w.write_u16_be(expires);
  w.write_u16_be(flags);
  if ((flags & kFlagOfflineSignature) != 0) {
    if (!offline_signature) {
      return fail(CommonError::Unsupported, "LeaseSet2 offline signature flag set without offline_sig");
    }
    w.write_bytes(offline_signature->unsigned_bytes());
    w.write_bytes(offline_signature->signature);
  }
  if (auto ok = options.encode(w); !ok) return std::unexpected(std::move(ok.error()));
  w.write_u8(static_cast<std::uint32_t>(encryption_keys.size()));
  for (const LeaseSet2EncryptionKey& k : encryption_keys) {
    w.write_u16_be(k.key_type.code());
    w.write_u16_be(static_cast<std::uint32_t>(k.key.size()));
    w.write_bytes(k.key);
  }
  w.write_u8(static_cast<std::uint32_t>(leases.size()));
  for (const Lease2& l : leases) {
    w.write_bytes(l.gateway.bytes);
    w.write_u32_be(l.tunnel_id);
    w.write_u32_be(l.end_date);
  }
  return std::move(w.buf);
}

Result<Bytes> LeaseSet2::signing_bytes() const {
  auto body = unsigned_bytes();
  if (!body) return body;
  Bytes out;
  out.reserve(1 + body->size());
  out.push_back(kStoreType);
  out.insert(out.end(), body->begin(), body->end());
  return out;
}

Result<Bytes> LeaseSet2::to_bytes() const {
  auto body = unsigned_bytes();
  if (!body) return body;
  encoding::Writer w(600);
  w.write_bytes(*body);
  w.write_bytes(signature);
  return std::move(w.buf);
}

Result<LeaseSet2> LeaseSet2::decode(encoding::Reader& r) {
  auto dest = Destination::decode(r);
  if (!dest) return std::unexpected(std::move(dest.error()));
  LeaseSet2 ls;
  ls.destination = std::move(*dest);

  auto published = r.read_u32_be();
  if (!published) return wrap(CommonError::Encoding, std::move(published.error()));
  auto expires = r.read_u16_be();
  if (!expires) return wrap(CommonError::Encoding, std::move(expires.error()));
  auto flags = r.read_u16_be();
  if (!flags) return wrap(CommonError::Encoding, std::move(flags.error()));
  ls.published = *published;
  ls.expires = *expires;
  ls.flags = *flags;

  SigningPublicKeyType destination_type = ls.destination.keys_and_cert.signing_type();
  if ((ls.flags & kFlagOfflineSignature) != 0) {
    auto offline = OfflineSignature::decode(r, destination_type);
    if (!offline) return std::unexpected(std::move(offline.error()));
    ls.offline_signature = std::move(*offline);
  }

  auto options = Mapping::decode(r);
  if (!options) return std::unexpected(std::move(options.error()));
  ls.options = std::move(*options);

  auto key_count = r.read_u8();
  if (!key_count) return wrap(CommonError::Encoding, std::move(key_count.error()));
  ls.encryption_keys.reserve(*key_count);
  for (unsigned i = 0; i < *key_count; ++i) {
    auto code = r.read_u16_be();
    if (!code) return wrap(CommonError::Encoding, std::move(code.error()));
    auto length = r.read_u16_be();
    if (!length) return wrap(CommonError::Encoding, std::move(length.error()));
    auto key = r.read_bytes(*length);
    if (!key) return wrap(CommonError::Encoding, std::move(key.error()));
    ls.encryption_keys.push_back(LeaseSet2EncryptionKey{CryptoPublicKeyType::from_u16(*code), std::move(*key)});
  }

  auto lease_count = r.read_u8();
  if (!lease_count) return wrap(CommonError::Encoding, std::move(lease_count.error()));
  ls.leases.reserve(*lease_count);
  for (unsigned i = 0; i < *lease_count; ++i) {
    auto gateway = Hash::decode(r);
    if (!gateway) return std::unexpected(std::move(gateway.error()));
    auto tunnel_id = r.read_u32_be();
    if (!tunnel_id) return wrap(CommonError::Encoding, std::move(tunnel_id.error()));
    auto end_date = r.read_u32_be();
    if (!end_date) return wrap(CommonError::Encoding, std::move(end_date.error()));
    ls.leases.push_back(Lease2{*gateway, *tunnel_id, *end_date});
  }

  // The signature is made with the transient key when one is present.
  SigningPublicKeyType signer = ls.offline_signature ? ls.offline_signature->transient_type : destination_type;
  auto sig = read_trailing_signature(r, signer);
  if (!sig) return std::unexpected(std::move(sig.error()));
  ls.signature = std::move(*sig);
  return ls;
}

}  // namespace common
