#pragma once
// Output bits of a DEFLATE stream, least significant bit first.
#include <cstdint>

#include "encoding/bytes.h"

namespace encoding {

struct BitWriter {
  Bytes out;                  // completed bytes
  std::uint64_t bit_buf = 0;  // pending bits, the first one lowest
  unsigned bit_count = 0;     // 0..7 between calls

  // Appends the low n (0..32) bits of value, lowest first.
  void write_bits(std::uint32_t value, unsigned n) {
    bit_buf |= (static_cast<std::uint64_t>(value) & ((std::uint64_t{1} << n) - 1)) << bit_count;
    bit_count += n;
    while (bit_count >= 8) {
      out.push_back(static_cast<std::uint8_t>(bit_buf));
      bit_buf >>= 8;
      bit_count -= 8;
    }
  }

  // Writes a partial last byte, its unused high bits zero.
  void flush() {
    if (bit_count > 0) out.push_back(static_cast<std::uint8_t>(bit_buf));
    bit_buf = 0;
    bit_count = 0;
  }
};

}  // namespace encoding
