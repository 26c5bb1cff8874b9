#pragma once
// The ChaCha20-Poly1305 AEAD construction (RFC 8439 section 2.8).
#include "crypto/cpu_features.h"
#include "encoding/bytes.h"
#include "encoding/error.h"

namespace crypto {

// The Poly1305 input for ad and ciphertext: each padded with zeros to a multiple of
// 16 bytes, then both lengths as u64 little-endian. The AEAD feeds the same bytes
// to Poly1305 piece by piece; this joined form exists for inspection and tests.
Bytes build_aead_mac_data(ByteView ad, ByteView ciphertext);

// Ciphertext followed by the 16-byte tag.
Result<Bytes> aead_chacha20_poly1305_encrypt(ByteView key, ByteView nonce, ByteView ad, ByteView plaintext,
                                             Engine engine = Engine::Best);

// The plaintext, or CryptoError::AuthFailed when the input is shorter than a tag or
// the tag does not match. The tag is checked in constant time before any plaintext
// is produced.
Result<Bytes> aead_chacha20_poly1305_decrypt(ByteView key, ByteView nonce, ByteView ad, ByteView ciphertext_and_tag,
                                             Engine engine = Engine::Best);

}  // namespace crypto
