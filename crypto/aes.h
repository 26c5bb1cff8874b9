#pragma once
// AES-256 (FIPS 197): single blocks and CBC chaining without padding.
//
// The calls that take a key as bytes expand it afresh every time; nothing is cached
// between calls. A caller that uses one key on many blocks (a tunnel hop: two keys,
// three operations per cell) expands it once into an Aes256EncryptKey or
// Aes256DecryptKey and passes that instead; the results are the same.

#include <array>
#include <cstdint>
#include <span>

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

// A key expanded for one direction. rk holds round keys 0..14 as the engine uses them:
// for encryption (and for the portable engine in both directions) the FIPS 197
// schedule in byte order; for the hardware decryption the equivalent inverse cipher's
// keys, last round first. Plain values: copy them, keep them in records.
struct Aes256EncryptKey {
  alignas(16) std::array<std::uint8_t, 240> rk{};
  bool hardware = false;
};
struct Aes256DecryptKey {
  alignas(16) std::array<std::uint8_t, 240> rk{};
  bool hardware = false;
};

// Fail with CryptoError::InvalidKey unless the key has 32 bytes.
Result<Aes256EncryptKey> aes256_encrypt_key(ByteView key, Engine engine = Engine::Best);
Result<Aes256DecryptKey> aes256_decrypt_key(ByteView key, Engine engine = Engine::Best);
// The same for a key whose length its type fixes: nothing can fail.
Aes256EncryptKey aes256_encrypt_key(const std::array<std::uint8_t, 32>& key, Engine engine = Engine::Best);
Aes256DecryptKey aes256_decrypt_key(const std::array<std::uint8_t, 32>& key, Engine engine = Engine::Best);

// One block; in and out may be the same bytes.
void aes256_encrypt_block(const Aes256EncryptKey& key, std::span<const std::uint8_t, 16> in,
                          std::span<std::uint8_t, 16> out);
void aes256_decrypt_block(const Aes256DecryptKey& key, std::span<const std::uint8_t, 16> in,
                          std::span<std::uint8_t, 16> out);

// CBC without padding from in to out, which must have the same size, a whole number of
// blocks (else CryptoError::InvalidLength, out untouched); they may be the same bytes.
Result<void> aes256_cbc_encrypt(const Aes256EncryptKey& key, std::span<const std::uint8_t, 16> iv, ByteView in,
                                std::span<std::uint8_t> out);
Result<void> aes256_cbc_decrypt(const Aes256DecryptKey& key, std::span<const std::uint8_t, 16> iv, ByteView in,
                                std::span<std::uint8_t> out);

// One of several independent CBC encryptions done together: data (a whole number of
// blocks) is encrypted in place under key from the chaining value in iv, and iv is left
// holding the last ciphertext block (unchanged when data is empty), so a later call
// continues the chain.
struct CbcEncryptJob {
  const Aes256EncryptKey* key = nullptr;
  std::span<std::uint8_t> iv;  // 16 bytes
  std::span<std::uint8_t> data;
};

// The same bytes as one aes256_cbc_encrypt per job, but on the AES instructions up to
// eight jobs' blocks go through the cipher side by side: CBC encryption is serial within
// one chain, not across chains. Jobs may differ in length and key; their bytes must not
// overlap. Nothing is written when a job is bad: CryptoError::InvalidLength (data not whole
// blocks), CryptoError::InvalidNonce (iv not 16 bytes), CryptoError::InvalidKey (no key).
Result<void> aes256_cbc_encrypt_many(std::span<const CbcEncryptJob> jobs);

// aes256_decrypt_block(*keys[i], block, block) for the 16 bytes at each blocks[i] (the
// spans have the same size; the blocks do not overlap), up to eight at a time side by side
// on the AES instructions.
void aes256_decrypt_blocks(std::span<const Aes256DecryptKey* const> keys, std::span<std::uint8_t* const> blocks);

}  // namespace crypto
