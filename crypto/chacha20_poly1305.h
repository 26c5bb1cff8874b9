#pragma once
// The ChaCha20-Poly1305 AEAD construction (RFC 8439 section 2.8).
#include <cstdint>
#include <span>

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

// Seals into a buffer the caller already holds: out must be exactly plaintext.size() + 16
// bytes and receives the ciphertext followed by the tag. plaintext may be the first bytes
// of out itself, so a message can be encoded in the buffer it is sent from and sealed
// there. A wrong out size fails with CryptoError::InvalidLength and writes nothing.
Result<void> aead_chacha20_poly1305_encrypt_into(ByteView key, ByteView nonce, ByteView ad, ByteView plaintext,
                                                 std::span<std::uint8_t> out, Engine engine = Engine::Best);

// The plaintext, or CryptoError::AuthFailed when the input is shorter than a tag or
// the tag does not match. The tag is checked in constant time before any plaintext
// is produced.
Result<Bytes> aead_chacha20_poly1305_decrypt(ByteView key, ByteView nonce, ByteView ad, ByteView ciphertext_and_tag,
                                             Engine engine = Engine::Best);

// Opens into a buffer the caller already holds: out must be exactly
// ciphertext_and_tag.size() - 16 bytes. The ciphertext may be the first bytes of out
// itself, so a frame can be opened where it was received. Nothing is written unless the
// tag checks out; a wrong out size fails with CryptoError::InvalidLength.
Result<void> aead_chacha20_poly1305_decrypt_into(ByteView key, ByteView nonce, ByteView ad, ByteView ciphertext_and_tag,
                                                 std::span<std::uint8_t> out, Engine engine = Engine::Best);

// The three operations above at a chosen vector level for ChaCha20 and Poly1305, so
// that tests and benchmarks reach every one (the Engine forms take the best level).
Result<Bytes> aead_chacha20_poly1305_encrypt(ByteView key, ByteView nonce, ByteView ad, ByteView plaintext,
                                             VectorIsa isa);
Result<void> aead_chacha20_poly1305_encrypt_into(ByteView key, ByteView nonce, ByteView ad, ByteView plaintext,
                                                 std::span<std::uint8_t> out, VectorIsa isa);
Result<Bytes> aead_chacha20_poly1305_decrypt(ByteView key, ByteView nonce, ByteView ad, ByteView ciphertext_and_tag,
                                             VectorIsa isa);
Result<void> aead_chacha20_poly1305_decrypt_into(ByteView key, ByteView nonce, ByteView ad, ByteView ciphertext_and_tag,
                                                 std::span<std::uint8_t> out, VectorIsa isa);

}  // namespace crypto
