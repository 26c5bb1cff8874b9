#include "crypto/hkdf.h"

#include <algorithm>
#include <array>

#include "crypto/hmac.h"

namespace crypto {

namespace {
constexpr std::size_t max_output = 255 * 32;
}

Result<Bytes> hkdf(ByteView salt, ByteView ikm, ByteView info, std::size_t length) {
  if (length > max_output) {
    return fail(CryptoError::InvalidLength, msg("HKDF-SHA256 output is limited to 8160 bytes, got ", length));
  }
  const std::array<std::uint8_t, 32> zero_salt{};
  const Sha256Digest prk = hmac_sha256(salt.empty() ? ByteView(zero_salt) : salt, ikm);

  Bytes out;
  out.reserve(length);
  Bytes input;  // T(i-1) || info || i
  Sha256Digest t{};
  for (std::size_t i = 1; out.size() < length; ++i) {
    input.clear();
    if (i > 1) input.insert(input.end(), t.begin(), t.end());
    input.insert(input.end(), info.begin(), info.end());
    input.push_back(static_cast<std::uint8_t>(i));
    t = hmac_sha256(prk, input);
    const std::size_t take = std::min(t.size(), length - out.size());
    out.insert(out.end(), t.begin(), t.begin() + static_cast<std::ptrdiff_t>(take));
  }
  return out;
}

}  // namespace crypto
