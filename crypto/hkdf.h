#pragma once
// HKDF-SHA256 (RFC 5869): extract, then expand.
#include <cstddef>
#include <cstdint>
#include <span>

#include "encoding/bytes.h"
#include "encoding/error.h"

namespace crypto {

// `length` bytes of output key material. An empty salt stands for 32 zero bytes (the
// RFC's default). Every length up to 255 * 32 bytes is served by the RFC's block
// counter; the key schedules ask 32 or 64. A longer request fails with
// CryptoError::InvalidLength.
Result<Bytes> hkdf(ByteView salt, ByteView ikm, ByteView info, std::size_t length);

// The same output into a buffer the caller holds (out.size() bytes), without allocating.
Result<void> hkdf_into(ByteView salt, ByteView ikm, ByteView info, std::span<std::uint8_t> out);

}  // namespace crypto
