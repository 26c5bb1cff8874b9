#pragma once
// Input bits of a DEFLATE stream, least significant bit of each byte first.
//
// Bytes are loaded into a 64-bit buffer ahead of use (eight at a time while at least
// eight remain, else one at a time), so one refill serves a whole length/distance pair.
// Above the bit_count valid bits, the buffer holds either the bits of the bytes that
// follow (from a wide load) or zeros, never anything else; a look-ahead past the end of
// the input therefore sees zero bits. end_offset() gives the first byte that no consumed
// bit came from, which is exactly where a byte-at-a-time reader would stand.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "encoding/bytes.h"
#include "encoding/error.h"

namespace encoding {

struct BitReader {
  ByteView data;              // the whole input
  std::size_t pos = 0;        // index of the next byte to load
  std::uint64_t bit_buf = 0;  // loaded bits not yet consumed, the next bit lowest
  unsigned bit_count = 0;     // number of valid bits in bit_buf

  BitReader(ByteView bytes, std::size_t start) : data(bytes), pos(std::min(start, bytes.size())) {}

  std::size_t bytes_left() const { return data.size() - pos; }

  // Loads bytes until at least 56 bits are valid or the input is used up.
  void refill() {
    if (data.size() - pos >= 8) {
      refill_wide();
      return;
    }
    while (bit_count <= 56 && pos < data.size()) {
      bit_buf |= static_cast<std::uint64_t>(data[pos++]) << bit_count;
      bit_count += 8;
    }
  }

  // Needs bytes_left() >= 8 and bit_count < 56; afterwards bit_count >= 56.
  void refill_wide() {
    std::uint64_t word;
    std::memcpy(&word, data.data() + pos, 8);
    if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
    bit_buf |= word << bit_count;
    unsigned whole = (63 - bit_count) >> 3;
    pos += whole;
    bit_count += whole * 8;
  }

  // True when at least n (at most 56) bits are valid, loading more if needed.
  bool ensure(unsigned n) {
    if (bit_count >= n) return true;
    refill();
    return bit_count >= n;
  }

  void consume(unsigned n) {
    bit_buf >>= n;
    bit_count -= n;
  }

  // The next n (0..32) bits, first bit lowest; 0 for n = 0.
  Result<std::uint32_t> read_bits(unsigned n) {
    if (!ensure(n)) return fail(EncodingError::Truncated, "DEFLATE unexpected end of input stream");
    std::uint32_t v = static_cast<std::uint32_t>(bit_buf & ((std::uint64_t{1} << n) - 1));
    consume(n);
    return v;
  }

  // Drops the rest of the partly consumed byte and hands the whole bytes still in the
  // buffer back to the input, so that pos is the next byte boundary.
  void align_to_byte() {
    consume(bit_count % 8);
    pos -= bit_count / 8;
    bit_buf = 0;
    bit_count = 0;
  }

  // The first byte none of whose bits were consumed.
  std::size_t end_offset() const { return pos - bit_count / 8; }
};

}  // namespace encoding
