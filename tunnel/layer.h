#pragma once
// One hop's layer over a tunnel cell, and its removal.
//
// A hop adds its layer as: iv1 = AES(iv_key, IV); bytes 16..1023 = AES-CBC(layer_key,
// iv1, bytes 16..1023); IV = AES(iv_key, iv1). The tunnel's own router removes layers
// with the inverse steps. Both work in place on one cell with keys expanded once, so a
// hop costs two key expansions however many AES calls it makes.
#include <cstdint>
#include <span>

#include "crypto/aes.h"
#include "crypto/cpu_features.h"
#include "encoding/bytes.h"
#include "encoding/error.h"

namespace tunnel {

using CellSpan = std::span<std::uint8_t, 1024>;

struct LayerEncryptKeys {
  crypto::Aes256EncryptKey layer;
  crypto::Aes256EncryptKey iv;
};

struct LayerDecryptKeys {
  crypto::Aes256DecryptKey layer;
  crypto::Aes256DecryptKey iv;
};

// Fail with TunnelError::Crypto (wrapping the AES error) on a key that is not 32 bytes.
Result<LayerEncryptKeys> layer_encrypt_keys(ByteView layer_key, ByteView iv_key,
                                            crypto::Engine engine = crypto::Engine::Best);
Result<LayerDecryptKeys> layer_decrypt_keys(ByteView layer_key, ByteView iv_key,
                                            crypto::Engine engine = crypto::Engine::Best);

// The hop's own step, as a participant applies it to a cell it relays.
void add_layer(const LayerEncryptKeys& keys, CellSpan cell);
// Its inverse: remove_layer(keys of k, add_layer(k, c)) == c.
void remove_layer(const LayerDecryptKeys& keys, CellSpan cell);

}  // namespace tunnel
