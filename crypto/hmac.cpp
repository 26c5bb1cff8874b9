#include "crypto/hmac.h"

#include <array>
#include <cstring>

namespace crypto {

Sha256Digest hmac_sha256(ByteView key, ByteView data) {
  std::array<std::uint8_t, Sha256::block_size> block{};
  if (key.size() > Sha256::block_size) {
    const Sha256Digest hashed = sha256(key);
    std::memcpy(block.data(), hashed.data(), hashed.size());
  } else if (!key.empty()) {
    std::memcpy(block.data(), key.data(), key.size());
  }

  std::array<std::uint8_t, Sha256::block_size> pad;
  for (std::size_t i = 0; i < pad.size(); ++i) pad[i] = block[i] ^ 0x36;
  Sha256 inner;
  inner.update(pad);
  inner.update(data);
  const Sha256Digest inner_digest = inner.finalize();

  for (std::size_t i = 0; i < pad.size(); ++i) pad[i] = block[i] ^ 0x5c;
  Sha256 outer;
  outer.update(pad);
  outer.update(inner_digest);
  return outer.finalize();
}

}  // namespace crypto
