#pragma once
// HMAC-SHA256 (RFC 2104 with a 64-byte block).
#include "crypto/sha256.h"
#include "encoding/bytes.h"

namespace crypto {

// Keys of any length: a key over 64 bytes is replaced by its SHA-256 digest.
Sha256Digest hmac_sha256(ByteView key, ByteView data);

}  // namespace crypto
