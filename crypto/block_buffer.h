#pragma once
// The block buffering shared by the incremental Merkle-Damgard hashers (SHA-256, SHA-512):
// input is compressed in whole blocks straight from the caller's bytes, and only a tail
// shorter than one block waits in the hasher's buffer.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "encoding/bytes.h"

namespace crypto::detail {

// Absorbs data; compress(pointer, block_count) runs the compression function.
template <std::size_t BlockSize, typename Compress>
void absorb_blocks(std::array<std::uint8_t, BlockSize>& buf, std::size_t& pos, ByteView data, Compress&& compress) {
  if (data.empty()) return;
  const std::uint8_t* p = data.data();
  std::size_t n = data.size();
  if (pos > 0) {
    const std::size_t take = std::min(n, BlockSize - pos);
    std::memcpy(buf.data() + pos, p, take);
    pos += take;
    p += take;
    n -= take;
    if (pos < BlockSize) return;
    compress(buf.data(), 1);
    pos = 0;
  }
  if (n >= BlockSize) {
    const std::size_t blocks = n / BlockSize;
    compress(p, blocks);
    p += blocks * BlockSize;
    n -= blocks * BlockSize;
  }
  if (n > 0) {
    std::memcpy(buf.data(), p, n);
    pos = n;
  }
}

// Appends the 0x80 byte and zeros up to the length field of LengthBytes at the end of the
// block, compressing a full block first when the length no longer fits. The caller writes
// the length into the last LengthBytes bytes and compresses the final block.
template <std::size_t BlockSize, std::size_t LengthBytes, typename Compress>
void pad_to_length_field(std::array<std::uint8_t, BlockSize>& buf, std::size_t& pos, Compress&& compress) {
  buf[pos++] = 0x80;
  if (pos > BlockSize - LengthBytes) {
    std::memset(buf.data() + pos, 0, BlockSize - pos);
    compress(buf.data(), 1);
    pos = 0;
  }
  std::memset(buf.data() + pos, 0, BlockSize - LengthBytes - pos);
}

}  // namespace crypto::detail
