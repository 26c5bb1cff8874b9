#pragma once
// One hop's layer over a tunnel cell, and its removal.
//
// A hop adds its layer as: iv1 = AES(iv_key, IV); bytes 16..1023 = AES-CBC(layer_key,
// iv1, bytes 16..1023); IV = AES(iv_key, iv1). The tunnel's own router removes layers
// with the inverse steps. Both work in place on one cell with keys expanded beforehand:
// a hop record expands its two keys once (LayerKeyCache), not on each of the three AES
// calls of every cell.
#include <cstdint>
#include <optional>
#include <span>

#include "crypto/aes.h"
#include "crypto/cpu_features.h"
#include "crypto/ct_eq.h"
#include "tunnel/hop_keys.h"

namespace tunnel {

using CellSpan = std::span<std::uint8_t, 1024>;

struct LayerEncryptKeys {
  crypto::Aes256EncryptKey layer;
  crypto::Aes256EncryptKey iv;

  static LayerEncryptKeys expand(const Key32& layer_key, const Key32& iv_key,
                                 crypto::Engine engine = crypto::Engine::Best) {
    return {crypto::aes256_encrypt_key(layer_key, engine), crypto::aes256_encrypt_key(iv_key, engine)};
  }
};

struct LayerDecryptKeys {
  crypto::Aes256DecryptKey layer;
  crypto::Aes256DecryptKey iv;

  static LayerDecryptKeys expand(const Key32& layer_key, const Key32& iv_key,
                                 crypto::Engine engine = crypto::Engine::Best) {
    return {crypto::aes256_decrypt_key(layer_key, engine), crypto::aes256_decrypt_key(iv_key, engine)};
  }
};

// The hop's own step, as a participant applies it to a cell it relays.
void add_layer(const LayerEncryptKeys& keys, CellSpan cell);
// Its inverse: remove_layer(keys of k, add_layer(k, c)) == c.
void remove_layer(const LayerDecryptKeys& keys, CellSpan cell);

// add_layer(*keys[i], CellSpan(cells[i], 1024)) for every i (the spans have the same size;
// the cells do not overlap), with the cells' AES chains run side by side where the AES
// instructions are used. A relay that has several cells at hand passes them together.
void add_layers(std::span<const LayerEncryptKeys* const> keys, std::span<std::uint8_t* const> cells);
// remove_layer the same way: the IV steps of the cells side by side (each cell's body is
// decrypted with its blocks side by side already).
void remove_layers(std::span<const LayerDecryptKeys* const> keys, std::span<std::uint8_t* const> cells);

// A hop record's expanded keys (LayerEncryptKeys or LayerDecryptKeys), made on first use
// and made again only when the record's keys are no longer those they came from, so a
// record stays a plain value however it is built or changed. The cache is not part of
// the record's value: any two compare equal, and copies carry it along.
template <typename Keys>
class LayerKeyCache {
 public:
  const Keys& get(const Key32& layer_key, const Key32& iv_key) const {
    if (!entry_ || !crypto::ct_eq(entry_->layer_key, layer_key) || !crypto::ct_eq(entry_->iv_key, iv_key)) {
      entry_.emplace(Entry{layer_key, iv_key, Keys::expand(layer_key, iv_key)});
    }
    return entry_->keys;
  }

  friend bool operator==(const LayerKeyCache&, const LayerKeyCache&) { return true; }

 private:
  struct Entry {
    Key32 layer_key;
    Key32 iv_key;
    Keys keys;
  };
  // Filled by a const reader: the router's records are touched from its one thread only.
  mutable std::optional<Entry> entry_;
};

}  // namespace tunnel
