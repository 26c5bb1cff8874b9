#include "noise/hkdf2.h"

#include "crypto/hmac.h"

namespace noise {

std::pair<Key32, Key32> noise_hkdf2(ByteView ck, ByteView input_key_material) {
  const Key32 temp = crypto::hmac_sha256(ck, input_key_material);
  const std::uint8_t one = 0x01;
  const Key32 out1 = crypto::hmac_sha256(temp, ByteView(&one, 1));
  std::uint8_t second_input[33];
  std::copy(out1.begin(), out1.end(), second_input);
  second_input[32] = 0x02;
  const Key32 out2 = crypto::hmac_sha256(temp, second_input);
  return {out1, out2};
}

}  // namespace noise
