#include "common/offline_signature.h"

#include "encoding/error.h"
#include "encoding/writer.h"

namespace common {

Result<OfflineSignature> OfflineSignature::decode(encoding::Reader& r, SigningPublicKeyType destination_type) {
  auto expires = r.read_u32_be();
  if (!expires) return wrap(CommonError::Encoding, std::move(expires.error()));
  auto code = r.read_u16_be();
  if (!code) return wrap(CommonError::Encoding, std::move(code.error()));
  SigningPublicKeyType transient_type = SigningPublicKeyType::from_u16(*code);
  auto key_length = transient_type.public_key_length();
  if (!key_length) return fail(CommonError::Unsupported, "unsupported transient signing type in OfflineSignature");
  auto key = r.read_bytes(static_cast<std::int64_t>(*key_length));
  if (!key) return wrap(CommonError::Encoding, std::move(key.error()));
  auto sig_length = destination_type.signature_length();
  if (!sig_length) return fail(CommonError::Unsupported, "unsupported destination signing type in OfflineSignature");
  auto signature = r.read_bytes(static_cast<std::int64_t>(*sig_length));
  if (!signature) return wrap(CommonError::Encoding, std::move(signature.error()));
  return OfflineSignature{*expires, transient_type, std::move(*key), std::move(*signature)};
}

Bytes OfflineSignature::unsigned_bytes() const {
  encoding::Writer w(6 + transient_key.size());
  w.write_u32_be(expires);
  w.write_u16_be(transient_type.code());
  w.write_bytes(transient_key);
  return std::move(w.buf);
}

}  // namespace common
