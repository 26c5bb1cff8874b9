#pragma once
// DEFLATE compressors (RFC 1951). Neither can fail.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "encoding/bytes.h"

namespace encoding {

// One final block of fixed Huffman codes from a greedy LZ77 pass: hash chains over
// 3-byte prefixes (4,096 heads), a 32,768-byte window, at most 32 candidates per position.
Bytes deflate_raw(ByteView input);

// The compressor of deflate_raw with its tables kept from one call to the next, for a
// caller that compresses many small inputs (an envelope per streaming packet): a call
// neither clears nor allocates them. Same output as deflate_raw.
class Deflater {
 public:
  Deflater() { heads_.fill(0); }
  // Appends deflate_raw(input) to out.
  void compress(ByteView input, Bytes& out);

  // Tests only: the stamps start at `base`, to reach their wrap-around without compressing
  // gigabytes first.
  static Deflater with_base(std::uint32_t base) {
    Deflater d;
    d.base_ = base;
    return d;
  }

 private:
  // Per 12-bit hash, base_ + the newest position of this call with that hash; a stamp below
  // base_ was left by an earlier call and counts as none. Each call moves base_ past the
  // stamps it wrote, so no call clears the table (only a wrap of the stamps does).
  std::array<std::uint32_t, 4096> heads_;
  std::uint32_t base_ = 1;
  std::unique_ptr<std::uint16_t[]> links_;  // per position, the distance to the previous one
  std::size_t links_size_ = 0;
};

// Whether compressing may pay: a cheap estimate of the fixed-code size from 128 bytes at
// each end (greedy matches on one candidate per hash), scaled to the input. False for data
// that does not shrink, as encrypted, random or already compressed bytes; true for text
// and markup. It can miss a gain that only the middle of a long input holds.
bool deflate_may_shrink(ByteView input);

// Stored blocks of at most 65,535 bytes each; an empty input gives one empty final block.
Bytes deflate_stored(ByteView input);
// deflate_stored(input), appended to out.
void deflate_stored_into(ByteView input, Bytes& out);

// Size of deflate_stored(input) without building it.
std::size_t deflate_stored_size(std::size_t input_size);

namespace deflate_raw_detail {
// The 12-bit hash of the three bytes at a position.
constexpr std::uint32_t hash3(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2) {
  return ((static_cast<std::uint32_t>(b0) << 8 | b2) ^ static_cast<std::uint32_t>(b1) << 4) & 0xFFF;
}
}  // namespace deflate_raw_detail

}  // namespace encoding
