#pragma once
// The Noise cipher state: an optional ChaCha20-Poly1305 key and a 64-bit nonce counter.
#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>

#include "encoding/bytes.h"
#include "encoding/error.h"

namespace noise {

// 4 zero bytes, then n as u64 little-endian.
std::array<std::uint8_t, 12> make_noise_nonce(std::uint64_t n);

struct CipherState {
  // While absent, encryption and decryption pass data through unchanged.
  std::optional<std::array<std::uint8_t, 32>> k;
  // The next nonce. 2^64 - 1 is never used as a nonce: it means exhausted.
  std::uint64_t n = 0;

  static constexpr std::uint64_t exhausted = std::numeric_limits<std::uint64_t>::max();

  // Ciphertext with tag. n advances before the AEAD runs, so even a failed
  // encryption never lets a nonce be used twice.
  Result<Bytes> encrypt_with_ad(ByteView ad, ByteView plaintext);
  // The same into a buffer the caller holds: out is plaintext.size() + 16 bytes with a
  // key, plaintext.size() without, and plaintext may be the first bytes of out (in place).
  Result<void> encrypt_with_ad_into(ByteView ad, ByteView plaintext, std::span<std::uint8_t> out);
  // Bytes that encrypting a plaintext of this length adds: the tag, or nothing without a key.
  std::size_t overhead() const { return k ? 16 : 0; }
  // Plaintext. n advances only when the tag checks out; after a failure the same
  // nonce is tried again by the next call.
  Result<Bytes> decrypt_with_ad(ByteView ad, ByteView ciphertext);
  // The same into a buffer the caller holds: out is ciphertext.size() - overhead() bytes,
  // and ciphertext may be the first bytes of out (in place). Nothing is written unless
  // the tag checks out.
  Result<void> decrypt_with_ad_into(ByteView ad, ByteView ciphertext, std::span<std::uint8_t> out);
};

}  // namespace noise
