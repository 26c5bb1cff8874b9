#pragma once
// SipHash-2-4 with 64-bit output (Aumasson and Bernstein).
#include <cstdint>

#include "encoding/bytes.h"
#include "encoding/error.h"

namespace crypto {

// The 64-bit SipHash-2-4 of message under a 16-byte key.
Result<std::uint64_t> siphash_2_4(ByteView key, ByteView message);

}  // namespace crypto
