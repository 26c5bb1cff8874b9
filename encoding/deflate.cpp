#include "encoding/deflate.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>

#include "encoding/deflate_bit_writer.h"
#include "encoding/deflate_tables.h"

namespace encoding {
namespace {

constexpr std::size_t window = 32768;
constexpr std::size_t max_match = 258;
constexpr std::size_t min_match = 3;
constexpr int max_candidates = 32;
constexpr std::size_t hash_size = 4096;
// Chain links are only followed from candidates inside the window, so a ring of twice the
// window keeps every link that is ever read.
constexpr std::size_t chain_ring = 2 * window;

// A fixed-Huffman code ready for the LSB-first bit writer: Huffman codes go out most
// significant bit first, so their bits are stored reversed, with any extra bits above.
struct Code {
  std::uint32_t bits = 0;
  std::uint8_t len = 0;
};

constexpr std::uint32_t reverse(std::uint32_t code, unsigned len) {
  std::uint32_t r = 0;
  for (unsigned i = 0; i < len; ++i) r |= ((code >> i) & 1u) << (len - 1 - i);
  return r;
}

// The fixed literal/length code of RFC 1951, section 3.2.6.
constexpr Code fixed_lit_code(unsigned sym) {
  if (sym < 144) return {reverse(0x30 + sym, 8), 8};
  if (sym < 256) return {reverse(0x190 + sym - 144, 9), 9};
  if (sym < 280) return {reverse(sym - 256, 7), 7};
  return {reverse(0xC0 + sym - 280, 8), 8};
}

constexpr std::array<Code, 256> literal_codes = [] {
  std::array<Code, 256> t{};
  for (unsigned b = 0; b < 256; ++b) t[b] = fixed_lit_code(b);
  return t;
}();

// Length code with its extra bits, for every match length 3..258 (the code whose range
// holds the length; 258 is code 285 without extra bits).
constexpr std::array<Code, max_match + 1> length_codes = [] {
  std::array<Code, max_match + 1> t{};
  for (unsigned len = min_match; len <= max_match; ++len) {
    unsigned i = 28;
    while (len_bases[i] > len) --i;
    Code c = fixed_lit_code(257 + i);
    t[len] = {c.bits | (len - len_bases[i]) << c.len, static_cast<std::uint8_t>(c.len + len_extra[i])};
  }
  return t;
}();

constexpr unsigned distance_code_slow(unsigned d) {
  unsigned i = 29;
  while (dist_bases[i] > d) --i;
  return i;
}
// Distance code of d - 1 below 256, and of (d - 1) >> 7 for longer distances.
constexpr std::array<std::uint8_t, 256> dist_code_near = [] {
  std::array<std::uint8_t, 256> t{};
  for (unsigned d = 1; d <= 256; ++d) t[d - 1] = static_cast<std::uint8_t>(distance_code_slow(d));
  return t;
}();
constexpr std::array<std::uint8_t, 256> dist_code_far = [] {
  std::array<std::uint8_t, 256> t{};
  for (unsigned q = 2; q < 256; ++q) t[q] = static_cast<std::uint8_t>(distance_code_slow((q << 7) + 1));
  return t;
}();

Code distance_code(std::size_t d) {
  unsigned i = d <= 256 ? dist_code_near[d - 1] : dist_code_far[(d - 1) >> 7];
  auto bits = reverse(i, 5) | static_cast<std::uint32_t>(d - dist_bases[i]) << 5;
  return {bits, static_cast<std::uint8_t>(5 + dist_extra[i])};
}

// Number of equal bytes at a and b, at most max.
std::size_t match_length(const std::uint8_t* a, const std::uint8_t* b, std::size_t max) {
  std::size_t k = 0;
  while (k + 8 <= max) {
    std::uint64_t x, y;
    std::memcpy(&x, a + k, 8);
    std::memcpy(&y, b + k, 8);
    if (std::uint64_t diff = x ^ y) {
      if constexpr (std::endian::native == std::endian::little) return k + (std::countr_zero(diff) >> 3);
      else return k + (std::countl_zero(diff) >> 3);
    }
    k += 8;
  }
  while (k < max && a[k] == b[k]) ++k;
  return k;
}

}  // namespace

Bytes deflate_raw(ByteView input) {
  using deflate_raw_detail::hash3;
  const std::uint8_t* in = input.data();
  const std::size_t n = input.size();

  BitWriter w;
  w.out.reserve(n + n / 8 + 16);  // literals of 9 bits at worst
  w.write_bits(0b011, 3);         // BFINAL = 1, BTYPE = 01

  std::array<std::int64_t, hash_size> head;
  head.fill(-1);
  // chain[i % chain_ring] is the previous position with the hash of i; written when i is
  // inserted, before it can be read.
  const std::size_t ring = std::min(n, chain_ring);
  auto chain = std::make_unique_for_overwrite<std::int64_t[]>(ring == 0 ? 1 : ring);
  auto insert = [&](std::size_t i) {
    std::uint32_t h = hash3(in[i], in[i + 1], in[i + 2]);
    std::int64_t prev = head[h];
    chain[i % chain_ring] = prev;
    head[h] = static_cast<std::int64_t>(i);
    return prev;
  };

  std::size_t i = 0;
  while (i < n) {
    std::size_t best_len = 0, best_dist = 0;
    if (n - i >= min_match) {
      std::int64_t cand = insert(i);
      const std::size_t max_len = std::min(n - i, max_match);
      // A candidate must beat both the best so far and 2, so at equal lengths the nearest wins.
      std::size_t need = min_match - 1;
      for (int tries = 0; cand >= 0 && tries < max_candidates; ++tries) {
        std::size_t c = static_cast<std::size_t>(cand);
        if (i - c > window) break;
        // A longer match must also agree at index need: a cheap first test.
        if (in[c + need] == in[i + need]) {
          std::size_t len = match_length(in + c, in + i, max_len);
          if (len > need) {
            best_len = len;
            best_dist = i - c;
            need = len;
            if (len == max_len) break;  // nothing later can be longer
          }
        }
        cand = chain[c % chain_ring];
      }
    }
    if (best_len >= min_match) {
      Code lc = length_codes[best_len];
      Code dc = distance_code(best_dist);
      w.write_bits(lc.bits, lc.len);
      w.write_bits(dc.bits, dc.len);
      std::size_t end = i + best_len;
      std::size_t last_hashed = n >= min_match ? n - min_match : 0;
      for (std::size_t j = i + 1; j < end && j <= last_hashed; ++j) insert(j);
      i = end;
    } else {
      Code c = literal_codes[in[i]];
      w.write_bits(c.bits, c.len);
      ++i;
    }
  }
  w.write_bits(0, 7);  // end of block
  w.flush();
  return std::move(w.out);
}

std::size_t deflate_stored_size(std::size_t input_size) {
  std::size_t blocks = input_size == 0 ? 1 : (input_size + 65534) / 65535;
  return input_size + 5 * blocks;
}

Bytes deflate_stored(ByteView input) {
  Bytes out;
  out.reserve(deflate_stored_size(input.size()));
  std::size_t offset = 0;
  do {
    std::size_t len = std::min<std::size_t>(input.size() - offset, 65535);
    bool final = offset + len == input.size();
    out.push_back(final ? 1 : 0);
    out.push_back(static_cast<std::uint8_t>(len));
    out.push_back(static_cast<std::uint8_t>(len >> 8));
    out.push_back(static_cast<std::uint8_t>(~len));
    out.push_back(static_cast<std::uint8_t>(~len >> 8));
    out.insert(out.end(), input.begin() + static_cast<std::ptrdiff_t>(offset),
               input.begin() + static_cast<std::ptrdiff_t>(offset + len));
    offset += len;
  } while (offset < input.size());
  return out;
}

}  // namespace encoding
