#include "crypto/siphash.h"

#include <bit>
#include <cstring>

#include "crypto/endian.h"

namespace crypto {

namespace {

struct SipState {
  std::uint64_t v0, v1, v2, v3;

  void round() {
    using std::rotl;
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
  }

  void absorb(std::uint64_t m) {
    v3 ^= m;
    round();
    round();
    v0 ^= m;
  }
};

}  // namespace

Result<std::uint64_t> siphash_2_4(ByteView key, ByteView message) {
  if (key.size() != 16)
    return fail(CryptoError::InvalidKey, msg("SipHash-2-4 requires a 16-byte key, got ", key.size()));
  const std::uint64_t k0 = read_u64_le(key.data());
  const std::uint64_t k1 = read_u64_le(key.data() + 8);
  SipState s{k0 ^ 0x736f6d6570736575, k1 ^ 0x646f72616e646f6d, k0 ^ 0x6c7967656e657261, k1 ^ 0x7465646279746573};

  const std::size_t whole = message.size() / 8;
  for (std::size_t i = 0; i < whole; ++i) s.absorb(read_u64_le(message.data() + 8 * i));

  // The last word: the remaining bytes, and the length modulo 256 in the top byte.
  std::uint8_t last[8] = {};
  const std::size_t rest = message.size() % 8;
  if (rest > 0) std::memcpy(last, message.data() + 8 * whole, rest);
  last[7] = static_cast<std::uint8_t>(message.size());
  s.absorb(read_u64_le(last));

  s.v2 ^= 0xff;
  for (int i = 0; i < 4; ++i) s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace crypto
