#include "encoding/inflate.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "encoding/deflate_tables.h"

namespace encoding {
namespace {

constexpr std::array<std::uint8_t, 288> fixed_lit_lengths = [] {
  std::array<std::uint8_t, 288> l{};
  for (std::size_t s = 0; s < 288; ++s) l[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
  return l;
}();
constexpr std::array<std::uint8_t, 32> fixed_dist_lengths = [] {
  std::array<std::uint8_t, 32> l{};
  l.fill(5);
  return l;
}();
// The fixed codes never change, so their tables are built by the compiler.
constexpr HuffTable fixed_lit = HuffTable::build_valid(fixed_lit_lengths);
constexpr HuffTable fixed_dist = HuffTable::build_valid(fixed_dist_lengths);

// Room kept free behind the output before each symbol: the longest match plus the few
// bytes a copy in 8-byte steps may write past its end.
constexpr std::size_t symbol_room = 258 + 8;

// Output of one stream. buf is kept larger than the len bytes produced so far so that the
// hot loop writes without size checks; it is cut to len at the end.
struct Output {
  Bytes buf;
  std::size_t len = 0;
  std::size_t max = inflate_max_output;  // refuse the stream once it would pass this

  void make_room(std::size_t n) {
    if (buf.size() - len < n) grow(n);
  }
  void grow(std::size_t n) {
    std::size_t doubled = std::min(buf.size() * 2, max + symbol_room);
    buf.resize(std::max(doubled, len + n));
  }
};

std::unexpected<Error> truncated() { return fail(EncodingError::Truncated, "DEFLATE unexpected end of input stream"); }
std::unexpected<Error> limit_exceeded() {
  return fail(EncodingError::LimitExceeded, "DEFLATE output exceeded max allowed size");
}

Result<void> decode_huffman(BitReader& r, const HuffTable& lit, const HuffTable& dist, Output& out) {
  for (;;) {
    out.make_room(symbol_room);
    // With 48 bits at hand a whole length/distance pair (at most 15 + 5 + 15 + 13 bits)
    // decodes without further checks; near the end of the input every read is checked.
    bool wide = r.bit_count >= 48;
    if (!wide && r.bytes_left() >= 8) {
      r.refill_wide();
      wide = true;
    }
    auto symbol = [&](const HuffTable& t, std::uint32_t& sym) -> Result<void> {
      if (!wide) {
        auto s = t.decode(r);
        if (!s) return std::unexpected(s.error());
        sym = *s;
        return {};
      }
      std::uint32_t entry = t.lookup(r.bit_buf);
      if (entry == 0) return fail(EncodingError::InvalidData, "invalid Huffman symbol code");
      r.consume(entry & 15);
      sym = entry >> 4;
      return {};
    };
    auto bits = [&](unsigned n, std::uint32_t& v) -> bool {
      if (!wide && !r.ensure(n)) return false;
      v = static_cast<std::uint32_t>(r.bit_buf & ((std::uint64_t{1} << n) - 1));
      r.consume(n);
      return true;
    };

    std::uint32_t sym = 0;
    if (auto ok = symbol(lit, sym); !ok) return ok;
    if (sym < 256) {
      if (out.len >= out.max) return limit_exceeded();
      out.buf[out.len++] = static_cast<std::uint8_t>(sym);
      continue;
    }
    if (sym == 256) return {};
    if (sym > 285) return fail(EncodingError::InvalidData, msg("invalid DEFLATE length symbol: ", sym));
    std::uint32_t extra = 0;
    if (!bits(len_extra[sym - 257], extra)) return truncated();
    std::size_t length = len_bases[sym - 257] + extra;

    std::uint32_t dsym = 0;
    if (auto ok = symbol(dist, dsym); !ok) return ok;
    if (dsym > 29) return fail(EncodingError::InvalidData, msg("invalid DEFLATE distance symbol: ", dsym));
    if (!bits(dist_extra[dsym], extra)) return truncated();
    std::size_t distance = dist_bases[dsym] + extra;

    if (distance > out.len) {
      return fail(EncodingError::BadLength,
                  msg("DEFLATE back-reference distance ", distance, " exceeds output ", out.len));
    }
    if (out.len + length > out.max) return limit_exceeded();

    // Byte-by-byte semantics: a distance shorter than the length repeats the pattern.
    std::uint8_t* dst = out.buf.data() + out.len;
    const std::uint8_t* src = dst - distance;
    if (distance >= 8) {
      // Each 8-byte step reads only bytes written before it; the last step may write up
      // to 7 bytes past the match, inside the room kept free.
      for (std::size_t k = 0; k < length; k += 8) std::memcpy(dst + k, src + k, 8);
    } else if (distance == 1) {
      std::memset(dst, *src, length);
    } else {
      for (std::size_t k = 0; k < length; ++k) dst[k] = src[k];
    }
    out.len += length;
  }
}

Result<void> inflate_stored(BitReader& r, Output& out) {
  r.align_to_byte();
  if (r.bytes_left() < 4) return fail(EncodingError::Truncated, "DEFLATE stored block header truncated");
  const std::uint8_t* p = r.data.data() + r.pos;
  std::uint32_t len = p[0] | static_cast<std::uint32_t>(p[1]) << 8;
  std::uint32_t nlen = p[2] | static_cast<std::uint32_t>(p[3]) << 8;
  if ((len ^ 0xFFFFu) != nlen) return fail(EncodingError::InvalidData, "DEFLATE stored block len/nlen mismatch");
  r.pos += 4;
  if (r.bytes_left() < len) return fail(EncodingError::Truncated, "DEFLATE stored block payload truncated");
  if (out.len + len > out.max) return limit_exceeded();
  out.make_room(len + symbol_room);
  std::memcpy(out.buf.data() + out.len, r.data.data() + r.pos, len);
  out.len += len;
  r.pos += len;
  return {};
}

Result<void> inflate_dynamic(BitReader& r, Output& out) {
  auto hlit = r.read_bits(5);
  if (!hlit) return std::unexpected(hlit.error());
  auto hdist = r.read_bits(5);
  if (!hdist) return std::unexpected(hdist.error());
  auto hclen = r.read_bits(4);
  if (!hclen) return std::unexpected(hclen.error());
  std::size_t nlit = *hlit + 257, ndist = *hdist + 1, ncl = *hclen + 4;

  std::array<std::uint8_t, 19> cl_lengths{};
  for (std::size_t i = 0; i < ncl; ++i) {
    auto v = r.read_bits(3);
    if (!v) return std::unexpected(v.error());
    cl_lengths[cl_order[i]] = static_cast<std::uint8_t>(*v);
  }
  auto cl = HuffTable::build(cl_lengths);
  if (!cl) return std::unexpected(cl.error());

  std::array<std::uint8_t, 288 + 32> lengths{};
  std::size_t total = nlit + ndist, count = 0;
  while (count < total) {
    auto sym = cl->decode(r);
    if (!sym) return std::unexpected(sym.error());
    if (*sym < 16) {
      lengths[count++] = static_cast<std::uint8_t>(*sym);
      continue;
    }
    // 16: the previous length 3-6 times; 17: 3-10 zeros; 18: 11-138 zeros.
    if (*sym == 16 && count == 0) {
      return fail(EncodingError::InvalidData, "DEFLATE repeat code 16 at start of lengths");
    }
    std::uint8_t value = *sym == 16 ? lengths[count - 1] : 0;
    unsigned extra_bits = *sym == 16 ? 2 : *sym == 17 ? 3 : 7;
    std::size_t base = *sym == 18 ? 11 : 3;
    auto extra = r.read_bits(extra_bits);
    if (!extra) return std::unexpected(extra.error());
    std::size_t rep = base + *extra;
    if (count + rep > total) return fail(EncodingError::BadLength, "DEFLATE dynamic code lengths exceeded hlit+hdist");
    std::fill_n(lengths.begin() + static_cast<std::ptrdiff_t>(count), rep, value);
    count += rep;
  }

  auto lit = HuffTable::build(std::span<const std::uint8_t>(lengths.data(), nlit));
  if (!lit) return std::unexpected(lit.error());
  auto dist = HuffTable::build(std::span<const std::uint8_t>(lengths.data() + nlit, ndist));
  if (!dist) return std::unexpected(dist.error());
  return decode_huffman(r, *lit, *dist, out);
}

}  // namespace

Result<void> inflate_huffman_block(BitReader& reader, const HuffTable& lit, const HuffTable& dist, Bytes& out) {
  std::size_t produced = out.size();
  Output o{std::move(out), produced};
  auto ok = decode_huffman(reader, lit, dist, o);
  o.buf.resize(o.len);
  out = std::move(o.buf);
  return ok;
}

Result<Inflated> inflate_raw_from(ByteView data, std::size_t start, std::size_t max_output) {
  BitReader r(data, start);
  Output out;
  out.max = std::min(max_output, inflate_max_output);
  // A first guess at the output size; it doubles as needed.
  std::size_t input = r.bytes_left();
  out.buf.resize(std::min(std::max<std::size_t>(input * 4, 1024), out.max) + symbol_room);
  for (;;) {
    auto header = r.read_bits(3);
    if (!header) return std::unexpected(header.error());
    bool final = (*header & 1) != 0;
    Result<void> ok;
    switch (*header >> 1) {
      case 0: ok = inflate_stored(r, out); break;
      case 1: ok = decode_huffman(r, fixed_lit, fixed_dist, out); break;
      case 2: ok = inflate_dynamic(r, out); break;
      default: return fail(EncodingError::InvalidData, "invalid DEFLATE block type: 3");
    }
    if (!ok) return std::unexpected(ok.error());
    if (final) break;
  }
  out.buf.resize(out.len);
  return Inflated{std::move(out.buf), r.end_offset()};
}

}  // namespace encoding
