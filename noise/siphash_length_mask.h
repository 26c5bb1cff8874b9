#pragma once
// The SipHash-2-4 mask that NTCP2 puts over its frame lengths, one per direction.
#include <array>
#include <cstdint>

#include "encoding/bytes.h"
#include "encoding/error.h"

namespace noise {

struct SipHashLengthMask {
  std::array<std::uint8_t, 16> key{};
  std::array<std::uint8_t, 8> iv{};  // replaced on every use

  // Fails with NoiseError::InvalidSipHashParams when key is not 16 or iv not 8 bytes.
  static Result<SipHashLengthMask> create(ByteView key, ByteView iv);

  // iv = SipHash-2-4(key, iv) stored little-endian; the result is length XOR the low
  // 16 bits of that value. The same call masks and unmasks, as long as both sides
  // make exactly one call per frame.
  Result<std::uint16_t> xor_length(std::uint16_t length);
};

}  // namespace noise
