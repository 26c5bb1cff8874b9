#pragma once
// One-shot SHA-1 (FIPS 180-4). Used for BitTorrent info and piece hashes only; the
// router's own protocols never use SHA-1.
#include <array>
#include <cstdint>

#include "crypto/cpu_features.h"
#include "encoding/bytes.h"

namespace crypto {

using Sha1Digest = std::array<std::uint8_t, 20>;

Sha1Digest sha1(ByteView data, Engine engine = Engine::Best);

}  // namespace crypto
