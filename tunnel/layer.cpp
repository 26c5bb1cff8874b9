#include "tunnel/layer.h"

namespace tunnel {

namespace {

constexpr std::size_t kIv = 16;

}  // namespace

Result<LayerEncryptKeys> layer_encrypt_keys(ByteView layer_key, ByteView iv_key, crypto::Engine engine) {
  auto layer = crypto::aes256_encrypt_key(layer_key, engine);
  if (!layer) return wrap(TunnelError::Crypto, std::move(layer.error()));
  auto iv = crypto::aes256_encrypt_key(iv_key, engine);
  if (!iv) return wrap(TunnelError::Crypto, std::move(iv.error()));
  return LayerEncryptKeys{*layer, *iv};
}

Result<LayerDecryptKeys> layer_decrypt_keys(ByteView layer_key, ByteView iv_key, crypto::Engine engine) {
  auto layer = crypto::aes256_decrypt_key(layer_key, engine);
  if (!layer) return wrap(TunnelError::Crypto, std::move(layer.error()));
  auto iv = crypto::aes256_decrypt_key(iv_key, engine);
  if (!iv) return wrap(TunnelError::Crypto, std::move(iv.error()));
  return LayerDecryptKeys{*layer, *iv};
}

// The CBC calls cannot fail: 1008 bytes in and out are whole blocks of equal size.
void add_layer(const LayerEncryptKeys& keys, CellSpan cell) {
  const auto iv = cell.first<kIv>();
  crypto::aes256_encrypt_block(keys.iv, iv, iv);
  const auto data = cell.subspan<kIv>();
  (void)crypto::aes256_cbc_encrypt(keys.layer, iv, data, data);
  crypto::aes256_encrypt_block(keys.iv, iv, iv);
}

void remove_layer(const LayerDecryptKeys& keys, CellSpan cell) {
  const auto iv = cell.first<kIv>();
  crypto::aes256_decrypt_block(keys.iv, iv, iv);
  const auto data = cell.subspan<kIv>();
  (void)crypto::aes256_cbc_decrypt(keys.layer, iv, data, data);
  crypto::aes256_decrypt_block(keys.iv, iv, iv);
}

}  // namespace tunnel
