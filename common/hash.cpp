#include "common/hash.h"

#include <algorithm>

#include "encoding/error.h"
#include "encoding/text.h"

namespace common {

Result<Hash> Hash::from_bytes(ByteView bytes) {
  if (bytes.size() != 32) return fail(CommonError::Invalid, msg("I2P Hash must be 32 bytes, got ", bytes.size()));
  Hash h;
  std::copy(bytes.begin(), bytes.end(), h.bytes.begin());
  return h;
}

Result<Hash> Hash::decode(encoding::Reader& r) {
  auto bytes = r.read_view(32);
  if (!bytes) return wrap(CommonError::Encoding, std::move(bytes.error()));
  return from_bytes(*bytes);
}

std::string Hash::to_b32_address() const { return encoding::base32_encode(bytes) + ".b32.i2p"; }

}  // namespace common
