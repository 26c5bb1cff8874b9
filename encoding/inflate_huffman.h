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
  // (symbol << 4) | code length, or 0 where no code of fast_bits bits or less matches;
  // indexed by the next fast_bits input bits. fast_bits is the longest code length, at
  // most huff_fast_bits, so short codes fill small tables.
  std::array<std::uint16_t, 1u << huff_fast_bits> fast{};
  unsigned fast_bits = 1;

  // lengths[s] is the code length of symbol s (0 = unused), at most 288 symbols. Fails on
  // a length above 15 and on an oversubscribed set; incomplete sets are accepted.
  static Result<HuffTable> build(std::span<const std::uint8_t> lengths);

  // Same as build for lengths known to be valid; usable at compile time.
  static constexpr HuffTable build_valid(std::span<const std::uint8_t> lengths);
  // Number of symbols per code length (entry 0: unused symbols), lengths of 16 and more
  // counted in entry 16.
  static constexpr std::array<std::uint16_t, 17> count_lengths(std::span<const std::uint8_t> lengths);
  // build_valid with the counts of count_lengths at hand.
  static constexpr HuffTable build_counted(std::span<const std::uint8_t> lengths,
                                           const std::array<std::uint16_t, 17>& counted);

  // The next symbol from the reader. "invalid Huffman symbol code" when 15 bits match no
  // code; a shortfall of input is the reader's Truncated error.
  Result<std::uint16_t> decode(BitReader& reader) const;

  // (symbol << 4) | code length of the code at the start of bits (first bit lowest), or 0
  // when no code of 15 bits or less matches.
  constexpr std::uint32_t lookup(std::uint64_t bits) const {
    std::uint32_t entry = fast[bits & ((1u << fast_bits) - 1)];
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

namespace huffman_detail {
constexpr std::array<std::uint8_t, 256> reversed_bytes = [] {
  std::array<std::uint8_t, 256> t{};
  for (unsigned b = 0; b < 256; ++b) {
    unsigned r = 0;
    for (unsigned i = 0; i < 8; ++i) r |= ((b >> i) & 1u) << (7 - i);
    t[b] = static_cast<std::uint8_t>(r);
  }
  return t;
}();
// The low len bits of code in reverse order.
constexpr std::uint32_t reverse(std::uint32_t code, unsigned len) {
  std::uint32_t r16 = static_cast<std::uint32_t>(reversed_bytes[code & 0xFF]) << 8 | reversed_bytes[(code >> 8) & 0xFF];
  return r16 >> (16 - len);
}
}  // namespace huffman_detail

constexpr std::array<std::uint16_t, 17> HuffTable::count_lengths(std::span<const std::uint8_t> lengths) {
  // Four interleaved tallies: runs of equal lengths are common, and one tally would make
  // every increment wait for the previous one.
  std::array<std::array<std::uint16_t, 17>, 4> part{};
  std::size_t i = 0;
  for (; i + 4 <= lengths.size(); i += 4) {
    for (std::size_t k = 0; k < 4; ++k) ++part[k][lengths[i + k] < 16 ? lengths[i + k] : 16];
  }
  for (; i < lengths.size(); ++i) ++part[0][lengths[i] < 16 ? lengths[i] : 16];
  std::array<std::uint16_t, 17> total{};
  for (std::size_t len = 0; len < 17; ++len) {
    total[len] = static_cast<std::uint16_t>(part[0][len] + part[1][len] + part[2][len] + part[3][len]);
  }
  return total;
}

constexpr HuffTable HuffTable::build_valid(std::span<const std::uint8_t> lengths) {
  return build_counted(lengths, count_lengths(lengths));
}

constexpr HuffTable HuffTable::build_counted(std::span<const std::uint8_t> lengths,
                                             const std::array<std::uint16_t, 17>& counted) {
  HuffTable t;
  for (std::size_t len = 0; len < 16; ++len) t.counts[len] = counted[len];
  std::array<std::uint16_t, 16> offsets{};
  for (unsigned len = 1; len < 15; ++len) offsets[len + 1] = offsets[len] + t.counts[len];
  std::array<std::uint32_t, 16> next_code{};
  std::uint32_t code = 0;
  unsigned longest = 1;
  for (unsigned len = 1; len <= huff_max_bits; ++len) {
    std::uint32_t shorter = len > 1 ? t.counts[len - 1] : 0;  // entry 0 counts unused symbols
    code = (code + shorter) << 1;
    next_code[len] = code;
    if (t.counts[len] != 0) longest = len;
  }
  t.fast_bits = longest < huff_fast_bits ? longest : huff_fast_bits;
  const std::uint32_t size = 1u << t.fast_bits;
  for (std::size_t sym = 0; sym < lengths.size(); ++sym) {
    unsigned len = lengths[sym];
    if (len == 0) continue;
    t.symbols[offsets[len]++] = static_cast<std::uint16_t>(sym);
    std::uint32_t c = next_code[len]++;
    if (len > t.fast_bits) continue;
    const auto entry = static_cast<std::uint16_t>(sym << 4 | len);
    for (std::uint32_t i = huffman_detail::reverse(c, len); i < size; i += 1u << len) t.fast[i] = entry;
  }
  return t;
}

}  // namespace encoding
