#include "encoding/deflate.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <memory>
#include <type_traits>

#include "encoding/deflate_bit_writer.h"
#include "encoding/deflate_tables.h"

namespace encoding {
namespace {

constexpr std::size_t window = 32768;
constexpr std::size_t max_match = 258;
constexpr std::size_t min_match = 3;
constexpr int max_candidates = 32;
constexpr std::size_t hash_size = 4096;

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

std::uint64_t load64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// Number of equal bytes at a and b, at most max.
std::size_t match_length(const std::uint8_t* a, const std::uint8_t* b, std::size_t max) {
  std::size_t k = 0;
  while (k + 8 <= max) {
    std::uint64_t x, y;
    std::memcpy(&x, a + k, 8);
    std::memcpy(&y, b + k, 8);
    if (std::uint64_t diff = x ^ y) {
      if constexpr (std::endian::native == std::endian::little)
        return k + (std::countr_zero(diff) >> 3);
      else
        return k + (std::countl_zero(diff) >> 3);
    }
    k += 8;
  }
  while (k < max && a[k] == b[k]) ++k;
  return k;
}

// Where to look for matches. Both indexes give, for position i, the earlier positions
// with the same hash, newest first: exactly the hash chain of i, cut where a candidate lies
// more than a window back or after max_candidates. They differ only in memory layout.

// Per position, the distance back to the previous position with the same hash, in a ring
// of one window (16 bits an entry). A link longer than the window is stored as 0, the end
// of the chain: the search stops at such a candidate anyway. Only the candidate exactly
// one window back can find its slot reused by the current position, and any link from it
// leads out of the window, where the search stops. Its tables live in a Deflater, so a
// call sets nothing up, but each step of a walk waits for the previous load.
class ChainIndex {
 public:
  // heads and links as a Deflater keeps them; links holds min(input size, window) entries.
  ChainIndex(std::uint32_t* heads, std::uint32_t base, std::uint16_t* links)
      : heads_(heads), base_(base), links_(links) {}

  void insert(std::size_t i, std::uint32_t h) {
    const std::uint32_t stamp = heads_[h];
    std::size_t back = stamp < base_ ? 0 : i - (stamp - base_);
    links_[i % window] = static_cast<std::uint16_t>(back <= window ? back : 0);
    heads_[h] = base_ + static_cast<std::uint32_t>(i);
  }

  // Calls visit(candidate) for the chain of i (inserted already) until visit returns false.
  template <typename Visit>
  void walk(std::size_t i, Visit visit) const {
    std::size_t c = i;
    for (int tries = 0; tries < max_candidates; ++tries) {
      std::uint16_t back = links_[c % window];
      if (back == 0) return;
      c -= back;
      if (i - c > window || !visit(c)) return;
    }
  }

 private:
  std::uint32_t* heads_;
  std::uint32_t base_;
  std::uint16_t* links_;
};

// Per hash, the links of its last max_candidates positions in one 64-byte ring: a walk
// reads one cache line instead of chasing links across the window. Its 256 KiB pay off
// on long inputs only.
class BucketIndex {
 public:
  BucketIndex() : links_(std::make_unique_for_overwrite<std::uint16_t[]>(hash_size * ring)) {
    head_.fill(-1);
    next_.fill(0);
  }

  void insert(std::size_t i, std::uint32_t h) {
    std::int64_t prev = head_[h];
    std::size_t back = prev < 0 ? 0 : i - static_cast<std::size_t>(prev);
    // The first link of a hash is 0, so a walk ends before reaching unwritten slots.
    links_[h * ring + (next_[h]++ % ring)] = static_cast<std::uint16_t>(back <= window ? back : 0);
    head_[h] = static_cast<std::int64_t>(i);
  }

  template <typename Visit>
  void walk(std::size_t i, std::uint32_t h, Visit visit) const {
    const std::uint16_t* bucket = links_.get() + h * ring;
    std::uint8_t newest = static_cast<std::uint8_t>(next_[h] - 1);
    std::size_t c = i;
    for (unsigned t = 0; t < ring; ++t) {
      std::uint16_t back = bucket[(newest - t) % ring];
      if (back == 0) return;
      c -= back;
      if (i - c > window || !visit(c)) return;
    }
  }

 private:
  static constexpr unsigned ring = max_candidates;
  std::array<std::int64_t, hash_size> head_;
  std::array<std::uint8_t, hash_size> next_;
  std::unique_ptr<std::uint16_t[]> links_;
};

// Inputs above this size use BucketIndex.
constexpr std::size_t bucket_index_from = 65536;

template <typename Index>
void compress(ByteView input, Index& index, Bytes& out) {
  using deflate_raw_detail::hash3;
  const std::uint8_t* in = input.data();
  const std::size_t n = input.size();

  BitWriter w;
  w.out = std::move(out);
  w.out.reserve(w.out.size() + n + n / 8 + 16);  // literals of 9 bits at worst
  w.write_bits(0b011, 3);                        // BFINAL = 1, BTYPE = 01

  auto hash_at = [&](std::size_t i) { return hash3(in[i], in[i + 1], in[i + 2]); };
  const std::size_t last_hashed = n >= min_match ? n - min_match : 0;

  std::size_t i = 0;
  while (i < n) {
    std::size_t best_len = 0, best_dist = 0;
    if (n - i >= min_match) {
      std::uint32_t h = hash_at(i);
      index.insert(i, h);
      const std::size_t max_len = std::min(n - i, max_match);
      // A candidate must beat both the best so far and 2, so at equal lengths the nearest wins.
      std::size_t need = min_match - 1;
      // Away from the end of the input, 8-byte loads up to a match length past i are safe.
      const bool wide = n - i >= max_match + 8;
      auto visit = [&](std::size_t c) {
        // A longer match must agree on bytes 0..need: a cheap first test on the last (up
        // to) eight of them.
        if (wide) {
          if (need >= 7) {
            if (load64(in + c + need - 7) != load64(in + i + need - 7)) return true;
          } else if ((load64(in + c) ^ load64(in + i)) & ((std::uint64_t{1} << (8 * (need + 1))) - 1)) {
            return true;
          }
        } else if (in[c + need] != in[i + need]) {
          return true;
        }
        std::size_t len = match_length(in + c, in + i, max_len);
        if (len > need) {
          best_len = len;
          best_dist = i - c;
          need = len;
          if (len == max_len) return false;  // nothing later can be longer
        }
        return true;
      };
      if constexpr (std::is_same_v<Index, BucketIndex>) {
        index.walk(i, h, visit);
      } else {
        index.walk(i, visit);
      }
    }
    if (best_len >= min_match) {
      Code lc = length_codes[best_len];
      Code dc = distance_code(best_dist);
      w.write_bits(lc.bits, lc.len);
      w.write_bits(dc.bits, dc.len);
      std::size_t end = i + best_len;
      for (std::size_t j = i + 1; j < end && j <= last_hashed; ++j) index.insert(j, hash_at(j));
      i = end;
    } else {
      Code c = literal_codes[in[i]];
      w.write_bits(c.bits, c.len);
      ++i;
    }
  }
  w.write_bits(0, 7);  // end of block
  w.flush();
  out = std::move(w.out);
}

}  // namespace

void Deflater::compress(ByteView input, Bytes& out) {
  const std::size_t n = input.size();
  if (n > bucket_index_from) {
    auto index = std::make_unique<BucketIndex>();
    encoding::compress(input, *index, out);
    return;
  }
  // The stamps of this call run from base_ to base_ + n; the table is cleared only when
  // they would wrap.
  if (std::uint64_t{base_} + n + 1 > std::numeric_limits<std::uint32_t>::max()) {
    heads_.fill(0);
    base_ = 1;
  }
  const std::size_t links = std::max<std::size_t>(std::min(n, window), 1);
  if (links_size_ < links) {
    links_ = std::make_unique_for_overwrite<std::uint16_t[]>(links);
    links_size_ = links;
  }
  ChainIndex index(heads_.data(), base_, links_.get());
  encoding::compress(input, index, out);
  base_ += static_cast<std::uint32_t>(n + 1);
}

Bytes deflate_raw(ByteView input) {
  Bytes out;
  Deflater().compress(input, out);
  return out;
}

namespace {

// Bits of a greedy fixed-code parse of the window, matches found on one candidate per hash
// and only within the window.
std::size_t probe_bits(const std::uint8_t* in, std::size_t s) {
  using deflate_raw_detail::hash3;
  constexpr unsigned hash_bits = 8;
  std::array<std::uint16_t, std::size_t{1} << hash_bits> last{};  // position + 1
  std::size_t bits = 0;
  std::size_t i = 0;
  while (i < s) {
    if (s - i >= min_match) {
      const std::uint32_t h = hash3(in[i], in[i + 1], in[i + 2]) & ((1u << hash_bits) - 1);
      const std::size_t c = last[h];
      last[h] = static_cast<std::uint16_t>(i + 1);
      if (c != 0) {
        const std::size_t len = match_length(in + c - 1, in + i, std::min(s - i, max_match));
        if (len >= min_match) {
          // Windows are at most 256 bytes: the near table covers every distance.
          const std::size_t dist = i - (c - 1);
          bits += length_codes[len].len + 5u + dist_extra[dist_code_near[(dist - 1) & 0xFF]];
          i += len;
          continue;
        }
      }
    }
    bits += literal_codes[in[i]].len;
    ++i;
  }
  return bits;
}

}  // namespace

bool deflate_may_shrink(ByteView input) {
  // Two windows, at the start and at the end: enough to tell random from compressible data
  // at a fraction of the cost of compressing a streaming packet, and a packet whose text
  // follows binary fields (keys and signatures before a request) is still seen.
  constexpr std::size_t probe_window = 128;
  const std::size_t n = input.size();
  std::size_t bits = 0, s = 0;
  if (n <= 2 * probe_window) {
    bits = probe_bits(input.data(), n);
    s = n;
  } else {
    bits = probe_bits(input.data(), probe_window) + probe_bits(input.data() + n - probe_window, probe_window);
    s = 2 * probe_window;
  }
  // Scaled to the whole input, the fixed block (its 10 bits of framing included) must come
  // out no longer than the stored one (5 bytes of framing).
  return bits * n + 10 * s <= 8 * (n + 5) * s;
}

std::size_t deflate_stored_size(std::size_t input_size) {
  std::size_t blocks = input_size == 0 ? 1 : (input_size + 65534) / 65535;
  return input_size + 5 * blocks;
}

Bytes deflate_stored(ByteView input) {
  Bytes out;
  deflate_stored_into(input, out);
  return out;
}

void deflate_stored_into(ByteView input, Bytes& out) {
  out.reserve(out.size() + deflate_stored_size(input.size()));
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
}

}  // namespace encoding
