#include "tunnel/layer.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace tunnel {

namespace {

constexpr std::size_t kIv = 16;
constexpr std::size_t kCellBytes = 1024;

}  // namespace

// The CBC calls cannot fail: 1008 bytes in and out are whole blocks of equal size.
void add_layer(const LayerEncryptKeys& keys, CellSpan cell) {
  const auto iv = cell.first<kIv>();
  crypto::aes256_encrypt_block(keys.iv, iv, iv);
  const auto data = cell.subspan<kIv>();
  (void)crypto::aes256_cbc_encrypt(keys.layer, iv, data, data);
  crypto::aes256_encrypt_block(keys.iv, iv, iv);
}

void add_layers(std::span<const LayerEncryptKeys* const> keys, std::span<std::uint8_t* const> cells) {
  // The three steps of every cell in a group of eight: the IV through the IV key (a
  // one-block chain from zero), the body chained from it under the layer key, and the IV
  // through the IV key once more.
  constexpr std::size_t kGroup = 8;
  const std::size_t count = std::min(keys.size(), cells.size());
  for (std::size_t at = 0; at < count; at += kGroup) {
    const std::size_t n = std::min(kGroup, count - at);
    std::array<crypto::CbcEncryptJob, kGroup> iv_jobs, body_jobs;
    std::array<std::array<std::uint8_t, kIv>, kGroup> zero{}, chain{};
    for (std::size_t i = 0; i < n; ++i) {
      const CellSpan cell(cells[at + i], kCellBytes);
      iv_jobs[i] = {&keys[at + i]->iv, zero[i], cell.first<kIv>()};
      body_jobs[i] = {&keys[at + i]->layer, chain[i], cell.subspan<kIv>()};
    }
    // Whole blocks and keys present: the calls cannot fail.
    (void)crypto::aes256_cbc_encrypt_many(std::span(iv_jobs).first(n));
    for (std::size_t i = 0; i < n; ++i) {
      std::memcpy(chain[i].data(), cells[at + i], kIv);
      zero[i] = {};
    }
    (void)crypto::aes256_cbc_encrypt_many(std::span(body_jobs).first(n));
    (void)crypto::aes256_cbc_encrypt_many(std::span(iv_jobs).first(n));
  }
}

void remove_layers(std::span<const LayerDecryptKeys* const> keys, std::span<std::uint8_t* const> cells) {
  constexpr std::size_t kGroup = 8;
  const std::size_t count = std::min(keys.size(), cells.size());
  for (std::size_t at = 0; at < count; at += kGroup) {
    const std::size_t n = std::min(kGroup, count - at);
    std::array<const crypto::Aes256DecryptKey*, kGroup> iv_keys{};
    for (std::size_t i = 0; i < n; ++i) iv_keys[i] = &keys[at + i]->iv;
    const auto ivs = cells.subspan(at, n);
    crypto::aes256_decrypt_blocks(std::span(iv_keys).first(n), ivs);
    for (std::size_t i = 0; i < n; ++i) {
      const CellSpan cell(cells[at + i], kCellBytes);
      const auto data = cell.subspan<kIv>();
      (void)crypto::aes256_cbc_decrypt(keys[at + i]->layer, cell.first<kIv>(), data, data);
    }
    crypto::aes256_decrypt_blocks(std::span(iv_keys).first(n), ivs);
  }
}

void remove_layer(const LayerDecryptKeys& keys, CellSpan cell) {
  const auto iv = cell.first<kIv>();
  crypto::aes256_decrypt_block(keys.iv, iv, iv);
  const auto data = cell.subspan<kIv>();
  (void)crypto::aes256_cbc_decrypt(keys.layer, iv, data, data);
  crypto::aes256_decrypt_block(keys.iv, iv, iv);
}

}  // namespace tunnel
