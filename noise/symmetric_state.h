#pragma once
// The Noise symmetric state shared by every handshake: chaining key, handshake
// hash and cipher state.
#include <array>
#include <cstdint>
#include <span>

#include "encoding/bytes.h"
#include "encoding/error.h"
#include "noise/cipher_state.h"

namespace noise {

struct SymmetricState {
  std::array<std::uint8_t, 32> ck{};
  std::array<std::uint8_t, 32> h{};
  CipherState cipher;

  // h = the name zero-padded to 32 bytes when it has at most 32, else SHA-256(name);
  // ck = h; no key.
  static SymmetricState initialize(ByteView protocol_name);
  // Continues from saved values, with no key.
  static SymmetricState from_parts(const std::array<std::uint8_t, 32>& ck, const std::array<std::uint8_t, 32>& h);

  // h = SHA-256(h || data).
  void mix_hash(ByteView data);
  // (ck, k) = noise_hkdf2(ck, input); the cipher takes k and restarts at n = 0.
  void mix_key(ByteView input_key_material);

  // Encrypts with ad = h, then mixes the ciphertext into h. On failure h is unchanged.
  Result<Bytes> encrypt_and_hash(ByteView plaintext);
  // The same into a buffer the caller holds (see CipherState::encrypt_with_ad_into); h
  // then takes in the bytes written to out.
  Result<void> encrypt_and_hash_into(ByteView plaintext, std::span<std::uint8_t> out);
  // Decrypts with ad = h, then mixes the received ciphertext into h. On failure h and
  // the nonce are unchanged.
  Result<Bytes> decrypt_and_hash(ByteView ciphertext);
};

}  // namespace noise
