#pragma once
// AES-256 (FIPS 197): single blocks and CBC chaining without padding.
//
// Every call expands its key afresh; nothing is cached between calls.

#include <array>
#include <cstdint>

#include "crypto/cpu_features.h"
#include "encoding/bytes.h"
#include "encoding/error.h"

namespace crypto {

Result<std::array<std::uint8_t, 16>> aes256_encrypt_block(ByteView key, ByteView block, Engine engine = Engine::Best);
Result<std::array<std::uint8_t, 16>> aes256_decrypt_block(ByteView key, ByteView block, Engine engine = Engine::Best);

// data must be a whole number of 16-byte blocks (also none). The final chaining
// value is not returned: callers that chain further take the last ciphertext block.
Result<Bytes> aes256_cbc_encrypt(ByteView key, ByteView iv, ByteView data, Engine engine = Engine::Best);
Result<Bytes> aes256_cbc_decrypt(ByteView key, ByteView iv, ByteView data, Engine engine = Engine::Best);

}  // namespace crypto
