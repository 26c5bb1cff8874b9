#include "crypto/hkdf.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "crypto/hmac.h"

namespace crypto {

namespace {
constexpr std::size_t max_output = 255 * 32;

// A hasher that has absorbed the PRK's block XORed with `pad`: the start of every HMAC of
// the expansion, hashed once instead of once per output block.
Sha256 keyed(const Sha256Digest& prk, std::uint8_t pad) {
  std::array<std::uint8_t, Sha256::block_size> block{};
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>((i < prk.size() ? prk[i] : 0) ^ pad);
  Sha256 h;
  h.update(block);
  return h;
}
}  // namespace

Result<void> hkdf_into(ByteView salt, ByteView ikm, ByteView info, std::span<std::uint8_t> out) {
  if (out.size() > max_output) {
    return fail(CryptoError::InvalidLength, msg("HKDF-SHA256 output is limited to 8160 bytes, got ", out.size()));
  }
  const std::array<std::uint8_t, 32> zero_salt{};
  const Sha256Digest prk = hmac_sha256(salt.empty() ? ByteView(zero_salt) : salt, ikm);
  const Sha256 inner_start = keyed(prk, 0x36), outer_start = keyed(prk, 0x5c);

  // T(i) = HMAC(PRK, T(i-1) || info || i), T(0) empty.
  Sha256Digest t{};
  std::size_t done = 0;
  for (std::size_t i = 1; done < out.size(); ++i) {
    Sha256 inner = inner_start;
    if (i > 1) inner.update(t);
    inner.update(info);
    const std::uint8_t counter = static_cast<std::uint8_t>(i);
    inner.update(ByteView(&counter, 1));
    Sha256 outer = outer_start;
    outer.update(inner.finalize());
    t = outer.finalize();
    const std::size_t take = std::min(t.size(), out.size() - done);
    std::memcpy(out.data() + done, t.data(), take);
    done += take;
  }
  return {};
}

Result<Bytes> hkdf(ByteView salt, ByteView ikm, ByteView info, std::size_t length) {
  if (length > max_output) {
    return fail(CryptoError::InvalidLength, msg("HKDF-SHA256 output is limited to 8160 bytes, got ", length));
  }
  Bytes out(length);
  if (auto done = hkdf_into(salt, ikm, info, out); !done) return std::unexpected(std::move(done.error()));
  return out;
}

}  // namespace crypto
