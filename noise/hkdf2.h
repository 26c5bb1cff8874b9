#pragma once
// The Noise key derivation: two 32-byte outputs chained from one HMAC key.
#include <array>
#include <cstdint>
#include <utility>

#include "encoding/bytes.h"

namespace noise {

using Key32 = std::array<std::uint8_t, 32>;

// temp = HMAC(ck, ikm); out1 = HMAC(temp, 0x01); out2 = HMAC(temp, out1 || 0x02).
// The same as the two halves of HKDF-SHA256 with salt ck, empty info, 64 bytes.
std::pair<Key32, Key32> noise_hkdf2(ByteView ck, ByteView input_key_material);

}  // namespace noise
