#pragma once
// DEFLATE compressors (RFC 1951). Neither can fail.
#include <cstdint>

#include "encoding/bytes.h"

namespace encoding {

// One final block of fixed Huffman codes from a greedy LZ77 pass: hash chains over
// 3-byte prefixes (4,096 heads), a 32,768-byte window, at most 32 candidates per position.
Bytes deflate_raw(ByteView input);

// Stored blocks of at most 65,535 bytes each; an empty input gives one empty final block.
Bytes deflate_stored(ByteView input);

// Size of deflate_stored(input) without building it.
std::size_t deflate_stored_size(std::size_t input_size);

namespace deflate_raw_detail {
// The 12-bit hash of the three bytes at a position.
constexpr std::uint32_t hash3(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2) {
  return ((static_cast<std::uint32_t>(b0) << 8 | b2) ^ static_cast<std::uint32_t>(b1) << 4) & 0xFFF;
}
}  // namespace deflate_raw_detail

}  // namespace encoding
