#include "common/destination.h"

#include "encoding/error.h"
#include "encoding/text.h"

namespace common {

Result<Destination> Destination::decode(encoding::Reader& r) {
  auto kc = KeysAndCert::decode(r);
  if (!kc) return std::unexpected(std::move(kc.error()));
  return Destination{std::move(*kc)};
}

Result<Destination> Destination::from_base64(std::string_view text) {
  auto bytes = encoding::base64_decode(text);
  if (!bytes) return wrap(CommonError::Encoding, std::move(bytes.error()));
  encoding::Reader r(*bytes);
  return decode(r);
}

std::string Destination::to_base64() const { return encoding::base64_encode(keys_and_cert.to_bytes()); }

}  // namespace common
