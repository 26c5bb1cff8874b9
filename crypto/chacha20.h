#pragma once
// The ChaCha20 stream cipher (RFC 8439).
#include <array>
#include <cstddef>
#include <cstdint>

#include "crypto/cpu_features.h"
#include "crypto/poly1305_scalar.h"
#include "encoding/bytes.h"
#include "encoding/error.h"

namespace crypto {

using ChaChaState = std::array<std::uint32_t, 16>;

// One quarter round on four word indices of the working state.
void quarter_round(ChaChaState& s, int a, int b, int c, int d);

// The 64-byte keystream block for a 32-byte key, a block counter and a 12-byte nonce.
Result<std::array<std::uint8_t, 64>> chacha20_block(ByteView key, std::uint32_t counter, ByteView nonce);

// data XOR the keystream, starting at block counter 1 (block 0 is left for the
// Poly1305 key of the AEAD). The output has the length of data.
Result<Bytes> chacha20_xor(ByteView key, ByteView nonce, ByteView data, Engine engine = Engine::Best);
// The same at a chosen vector level, so that tests and benchmarks reach every one.
Result<Bytes> chacha20_xor(ByteView key, ByteView nonce, ByteView data, VectorIsa isa);

namespace detail {

// Checks the key and nonce lengths; the messages name the offending length.
Result<void> check_chacha20_params(ByteView key, ByteView nonce);

// Keystream XOR from `counter` on, without length checks (key 32, nonce 12 bytes).
// in and out may be the same buffer.
void chacha20_xor_unchecked(const std::uint8_t* key, const std::uint8_t* nonce, std::uint32_t counter,
                            const std::uint8_t* in, std::uint8_t* out, std::size_t len, Engine engine = Engine::Best);
void chacha20_xor_unchecked(const std::uint8_t* key, const std::uint8_t* nonce, std::uint32_t counter,
                            const std::uint8_t* in, std::uint8_t* out, std::size_t len, VectorIsa isa);

// As chacha20_xor_unchecked, while the ciphertext already written to out is fed to
// the 64-bit Poly1305 state `mac` in full blocks from out[0] on: at the SSSE3 and AVX2
// levels ChaCha20 keeps the vector units busy and leaves the integer multiplier free,
// so the two overlap. Returns how many bytes of out, from the start, were fed (a
// multiple of 16; 0 at the other levels); the caller feeds the rest.
std::size_t chacha20_xor_authenticating(const std::uint8_t* key, const std::uint8_t* nonce, std::uint32_t counter,
                                        const std::uint8_t* in, std::uint8_t* out, std::size_t len, VectorIsa isa,
                                        Poly1305Scalar& mac);

// The keystream block without length checks.
void chacha20_block_unchecked(const std::uint8_t* key, std::uint32_t counter, const std::uint8_t* nonce,
                              std::uint8_t out[64]);

}  // namespace detail

}  // namespace crypto
