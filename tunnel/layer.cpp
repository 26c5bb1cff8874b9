#include "tunnel/layer.h"

namespace tunnel {

namespace {

constexpr std::size_t kIv = 16;

}  // namespace

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
