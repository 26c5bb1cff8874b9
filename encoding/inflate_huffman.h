#pragma once
// Canonical Huffman decoding tables of the inflater.
//
// counts and symbols describe the code completely (symbols in order of code length,
// then of symbol value). fast maps the next huff_fast_bits input bits to the symbol and
// code length of every code that short; a longer code is found by walking the
// canonical code bit by bit.
#include <array>
#include <cstdint>
#include <span>

#include "encoding/error.h"
#include "encoding/inflate_bit_reader.h"

namespace encoding {

inline constexpr unsigned huff_max_bits = 15;
inline constexpr unsigned huff_fast_bits = 10;
inline constexpr std::size_t huff_max_symbols = 288;

struct HuffTable {
  std::array<std::uint16_t, 16> counts{};  // entry L: symbols of code length L; entry 0: unused
  std::array<std::uint16_t, huff_max_symbols> symbols{};
  // (symbol << 4) | code length, or 0 where no code of huff_fast_bits bits or less matches.
  std::array<std::uint16_t, 1u << huff_fast_bits> fast{};

  // lengths[s] is the code length of symbol s (0 = unused), at most 288 symbols. Fails on
  // a length above 15 and on an oversubscribed set; incomplete sets are accepted.
  static Result<HuffTable> build(std::span<const std::uint8_t> lengths);

  // Same as build for lengths known to be valid; usable at compile time.
  static constexpr HuffTable build_valid(std::span<const std::uint8_t> lengths);

  // The next symbol from the reader. "invalid Huffman symbol code" when 15 bits match no
  // code; a shortfall of input is the reader's Truncated error.
  Result<std::uint16_t> decode(BitReader& reader) const;

  // (symbol << 4) | code length of the code at the start of bits (first bit lowest), or 0
  // when no code of 15 bits or less matches.
  constexpr std::uint32_t lookup(std::uint64_t bits) const {
    std::uint32_t entry = fast[bits & ((1u << huff_fast_bits) - 1)];
    return entry != 0 ? entry : walk(bits);
  }

 private:
  constexpr std::uint32_t walk(std::uint64_t bits) const {
    int code = 0, first = 0, index = 0;
    for (unsigned len = 1; len <= huff_max_bits; ++len) {
      code |= static_cast<int>(bits & 1);
      bits >>= 1;
      int count = counts[len];
      if (code - first < count) return static_cast<std::uint32_t>(symbols[index + code - first]) << 4 | len;
      index += count;
      first = (first + count) << 1;
      code <<= 1;
    }
    return 0;
  }
};

constexpr HuffTable HuffTable::build_valid(std::span<const std::uint8_t> lengths) {
  HuffTable t;
  for (std::uint8_t len : lengths) ++t.counts[len];
  std::array<std::uint16_t, 16> offsets{};
  for (unsigned len = 1; len < 15; ++len) offsets[len + 1] = offsets[len] + t.counts[len];
  std::array<std::uint32_t, 16> next_code{};
  std::uint32_t code = 0;
  for (unsigned len = 1; len <= huff_max_bits; ++len) {
    std::uint32_t shorter = len > 1 ? t.counts[len - 1] : 0;  // entry 0 counts unused symbols
    code = (code + shorter) << 1;
    next_code[len] = code;
  }
  for (std::size_t sym = 0; sym < lengths.size(); ++sym) {
    unsigned len = lengths[sym];
    if (len == 0) continue;
    t.symbols[offsets[len]++] = static_cast<std::uint16_t>(sym);
    std::uint32_t c = next_code[len]++;
    if (len > huff_fast_bits) continue;
    std::uint32_t reversed = 0;
    for (unsigned b = 0; b < len; ++b) reversed |= ((c >> b) & 1u) << (len - 1 - b);
    for (std::uint32_t i = reversed; i < (1u << huff_fast_bits); i += 1u << len) {
      t.fast[i] = static_cast<std::uint16_t>(sym << 4 | len);
    }
  }
  return t;
}

}  // namespace encoding
