#include "noise/siphash_length_mask.h"

#include <algorithm>

#include "crypto/endian.h"
#include "crypto/siphash.h"

namespace noise {

Result<SipHashLengthMask> SipHashLengthMask::create(ByteView key, ByteView iv) {
  if (key.size() != 16)
    return fail(NoiseError::InvalidSipHashParams, std::string("NTCP2 SipHash key must be 16 bytes"));
  if (iv.size() != 8) return fail(NoiseError::InvalidSipHashParams, std::string("NTCP2 SipHash IV must be 8 bytes"));
  SipHashLengthMask m;
  std::copy(key.begin(), key.end(), m.key.begin());
  std::copy(iv.begin(), iv.end(), m.iv.begin());
  return m;
}

Result<std::uint16_t> SipHashLengthMask::xor_length(std::uint16_t length) {
  auto next = crypto::siphash_2_4(key, iv);
  if (!next) return wrap(NoiseError::Crypto, std::move(next.error()));
  crypto::write_u64_le(iv.data(), *next);
  return static_cast<std::uint16_t>(length ^ static_cast<std::uint16_t>(*next));
}

}  // namespace noise
