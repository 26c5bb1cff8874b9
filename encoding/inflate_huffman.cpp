#include "encoding/inflate_huffman.h"

namespace encoding {

Result<HuffTable> HuffTable::build(std::span<const std::uint8_t> lengths) {
  if (lengths.size() > huff_max_symbols) {
    return fail(EncodingError::InvalidData, msg("too many Huffman code lengths: ", lengths.size()));
  }
  const auto count = count_lengths(lengths);
  if (count[16] != 0) {
    for (std::uint8_t len : lengths) {
      if (len > huff_max_bits) return fail(EncodingError::InvalidData, msg("invalid Huffman code length: ", len));
    }
  }
  int left = 1;
  for (unsigned len = 1; len <= huff_max_bits; ++len) {
    left = left * 2 - count[len];
    if (left < 0) return fail(EncodingError::InvalidData, "oversubscribed Huffman tree");
  }
  return build_counted(lengths, count);
}

Result<std::uint16_t> HuffTable::decode(BitReader& reader) const {
  if (reader.bit_count < huff_max_bits) reader.refill();
  // Bits past the end of the input read as zero here; a code that needs them, or a
  // pattern that matches nothing before the input ends, is a shortfall of input.
  std::uint32_t entry = lookup(reader.bit_buf);
  unsigned len = entry & 15;
  if (entry == 0 ? reader.bit_count < huff_max_bits : len > reader.bit_count) {
    return fail(EncodingError::Truncated, "DEFLATE unexpected end of input stream");
  }
  if (entry == 0) return fail(EncodingError::InvalidData, "invalid Huffman symbol code");
  reader.consume(len);
  return static_cast<std::uint16_t>(entry >> 4);
}

}  // namespace encoding
