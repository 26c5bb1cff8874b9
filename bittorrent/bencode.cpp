#include "bittorrent/bencode.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <memory>

#include "encoding/text.h"

namespace bittorrent {

bool operator==(const BVal& a, const BVal& b) { return a.value == b.value; }

namespace {

std::unexpected<Error> bad(std::string message) { return fail(BittorrentError::Bencode, std::move(message)); }

// The element counts of the containers of one value, in the order their opening bytes
// appear (a dictionary counts its keys and values both). A cheap structural pass over the
// input gives them, so the decoder can size every list and dictionary once instead of
// growing it entry by entry. They are only a hint: the pass gives up on anything unusual
// and leaves the decoder, which owns every check and every message, to meet it. Being lax
// (it reads no signs, no leading zeros, no digits inside integers), it may count values
// behind a fault the decoder stops at, but never more values than the input holds.
class ContainerCounts {
 public:
  // Counts the containers of the value at offset; false (and no counts) when the pass gave up.
  bool scan(ByteView in, std::size_t pos);

  std::size_t size() const { return size_; }
  std::uint32_t operator[](std::size_t i) const { return i < inline_.size() ? inline_[i] : spill_[i - inline_.size()]; }

 private:
  // Reserves the next slot and gives its index.
  std::size_t add() {
    if (size_ >= inline_.size()) spill_.push_back(0);
    return size_++;
  }
  void set(std::size_t i, std::uint32_t v) {
    if (i < inline_.size()) {
      inline_[i] = v;
    } else {
      spill_[i - inline_.size()] = v;
    }
  }

  // Most messages hold few containers; a .torrent file holds one per file and spills.
  std::array<std::uint32_t, 32> inline_{};
  std::vector<std::uint32_t> spill_;
  std::size_t size_ = 0;
};

// The first 'e' in [p, end), or end.
const std::uint8_t* find_e(const std::uint8_t* p, const std::uint8_t* end) {
  // Eight bytes at a time: a byte equal to 'e' becomes zero after the xor, and the lowest
  // flagged byte of the classic zero-byte test is always a true zero.
  constexpr std::uint64_t ones = 0x0101010101010101, highs = 0x8080808080808080, es = ones * 'e';
  while (end - p >= 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    if constexpr (std::endian::native == std::endian::big) w = std::byteswap(w);
    const std::uint64_t x = w ^ es;
    const std::uint64_t hit = (x - ones) & ~x & highs;
    if (hit != 0) return p + std::countr_zero(hit) / 8;
    p += 8;
  }
  while (p < end && *p != 'e') ++p;
  return p;
}

bool ContainerCounts::scan(ByteView in, std::size_t pos) {
  const std::uint8_t* p = in.data() + std::min(pos, in.size());
  const std::uint8_t* const end = in.data() + in.size();
  // The open containers: their slots and the elements seen so far.
  std::array<std::size_t, max_bencode_depth + 1> slot{};
  std::array<std::uint32_t, max_bencode_depth + 1> seen{};
  std::size_t depth = 0;
  while (p < end) {
    const std::uint8_t c = *p;
    if (depth > 0) {
      if (c == 'e') {
        ++p;
        --depth;
        set(slot[depth], seen[depth]);
        if (depth == 0) return true;
        continue;
      }
      ++seen[depth - 1];
    }
    if (static_cast<unsigned>(c - '0') < 10) {
      std::size_t len = static_cast<std::size_t>(c - '0');
      const std::uint8_t* d = p + 1;
      const std::uint8_t* const digits_end = p + std::min<std::ptrdiff_t>(end - p, 9);
      while (d < digits_end && static_cast<unsigned>(*d - '0') < 10)
        len = len * 10 + static_cast<std::size_t>(*d++ - '0');
      if (d == end || *d != ':' || len > static_cast<std::size_t>(end - d - 1)) break;
      p = d + 1 + len;
    } else if (c == 'i') {
      p = find_e(p + 1, end);
      if (p == end) break;
      ++p;
    } else if (c == 'l' || c == 'd') {
      if (depth >= slot.size()) break;
      slot[depth] = add();
      seen[depth] = 0;
      ++depth;
      ++p;
      continue;
    } else {
      break;
    }
    if (depth == 0) return true;
  }
  size_ = 0;
  spill_.clear();
  return false;
}

// Gives out the alternative I. The decoder fills default-constructed values, which hold an
// integer; an integer's destruction does nothing, so the new alternative is built straight
// over it (replacing the variant object in place), which spares the variant's generic reset.
template <std::size_t I, typename... A>
[[gnu::always_inline]] inline auto& become(BVal& out, A&&... args) {
  if (out.value.index() != 0) [[unlikely]]
    return out.value.template emplace<I>(std::forward<A>(args)...);
  std::construct_at(&out.value, std::in_place_index<I>, std::forward<A>(args)...);
  return *std::get_if<I>(&out.value);
}

bool is_digit(std::uint8_t c) { return static_cast<unsigned>(c - '0') < 10; }

// The number of ASCII digits (0 to 8) at the start of the eight bytes at p, and in value the
// number they spell when fewer than eight. Eight bytes at a time: a byte is a digit when its
// high nibble is 3 and adding 6 keeps it so; a carry out of a non-digit byte can only spoil
// bytes behind it. The digits are then moved to the top and summed pairwise, in three steps.
std::size_t leading_digits(const std::uint8_t* p, std::int64_t& value) {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  if constexpr (std::endian::native == std::endian::big) w = std::byteswap(w);
  constexpr std::uint64_t highs = 0xF0F0F0F0F0F0F0F0, threes = 0x3030303030303030, sixes = 0x0606060606060606;
  const std::uint64_t bad_bytes = ((w & highs) ^ threes) | (((w + sixes) & highs) ^ threes);
  // A high bit in each byte that is not zero.
  constexpr std::uint64_t lows = 0x7F7F7F7F7F7F7F7F;
  const std::uint64_t flagged = (bad_bytes | ((bad_bytes & lows) + lows)) & ~lows;
  const auto digits = static_cast<std::size_t>(std::countr_zero(flagged) / 8);
  if (digits == 0 || digits == 8) return digits;
  std::uint64_t v = (w << (8 * (8 - digits))) & 0x0F0F0F0F0F0F0F0F;
  v = (v * (10 * 256 + 1)) >> 8 & 0x00FF00FF00FF00FF;
  v = (v * (100 * 65536 + 1)) >> 16 & 0x0000FFFF0000FFFF;
  v = (v * (10000 * 4294967296ULL + 1)) >> 32;
  value = static_cast<std::int64_t>(v);
  return digits;
}

// One decoding pass over the input. The leaves (integers and byte strings, most of any
// input) take short inline paths; each error takes the one general path that names it.
struct Decoder {
  ByteView in;
  const ContainerCounts& counts;
  std::size_t next_container = 0;

  // Decodes the value at pos into out, a default-constructed value, and moves pos behind it.
  [[gnu::always_inline]] Result<void> value(std::size_t& pos, int depth, BVal& out) {
    if (depth >= max_bencode_depth) return bad("bencode nesting depth exceeded");
    if (pos >= in.size()) return bad("unexpected EOF");
    const std::uint8_t tag = in[pos];
    if (is_digit(tag)) {
      auto bytes = byte_string(pos);
      if (!bytes) return std::unexpected(std::move(bytes.error()));
      become<1>(out, *bytes);
      return {};
    }
    if (tag == 'i') {
      // The common case first: up to 18 digits, no sign, no leading zero, then "e".
      const std::size_t start = pos + 1;
      std::size_t d = start;
      std::int64_t quick = 0;
      if (in.size() - start >= 8) {
        // Up to seven digits and the "e" behind them sit in the next eight bytes.
        const std::size_t digits = leading_digits(in.data() + start, quick);
        d = start + digits;
        if (digits < 8 && in[d] == 'e' && (digits == 1 || (digits > 1 && in[start] != '0'))) {
          become<0>(out, quick);
          pos = d + 1;
          return {};
        }
        d = start;
        quick = 0;
      }
      const std::size_t stop = std::min(in.size(), start + 18);
      while (d < stop && is_digit(in[d])) quick = quick * 10 + (in[d++] - '0');
      if (d > start && d < in.size() && in[d] == 'e' && (in[start] != '0' || d - start == 1)) {
        become<0>(out, quick);
        pos = d + 1;
        return {};
      }
      return integer(pos, out);
    }
    if (tag == 'l') return list(pos, depth, become<2>(out));
    if (tag == 'd') return dict(pos, depth, become<3>(out));
    return bad(msg("unexpected bencode tag byte: ", static_cast<unsigned>(tag)));
  }

  // Reads the header of the byte string at pos (its first byte a digit), moves pos behind
  // the whole string and gives its bytes.
  [[gnu::always_inline]] Result<std::string_view> byte_string(std::size_t& pos) {
    // The common case first: a length of at most 8 digits without a leading zero, read
    // while looking for the colon.
    const std::size_t stop = std::min(in.size(), pos + 8);
    std::size_t c = pos;
    std::size_t n = 0;
    while (c < stop && is_digit(in[c])) n = n * 10 + static_cast<std::size_t>(in[c++] - '0');
    if (c == in.size() || in[c] != ':' || (in[pos] == '0' && c - pos > 1) || n > max_bencode_string ||
        in.size() - (c + 1) < n) {
      return byte_string_slow(pos);
    }
    pos = c + 1 + n;
    return std::string_view(reinterpret_cast<const char*>(in.data() + c + 1), n);
  }

  // The general paths, with every check and message.
  Result<std::string_view> byte_string_slow(std::size_t& pos);
  Result<void> integer(std::size_t& pos, BVal& out);
  Result<void> list(std::size_t& pos, int depth, BVal::List& list);
  Result<void> dict(std::size_t& pos, int depth, BVal::Dict& dict);

  // The number of entries the next container to open will hold, 0 when unknown.
  std::size_t expected_entries() {
    const std::size_t i = next_container++;
    return i < counts.size() ? counts[i] : 0;
  }
};

Result<std::string_view> Decoder::byte_string_slow(std::size_t& pos) {
  const std::uint8_t* base = in.data();
  const void* colon = std::memchr(base + pos, ':', in.size() - pos);
  if (colon == nullptr) return bad("missing ':' in byte string");
  const std::size_t c = static_cast<std::size_t>(static_cast<const std::uint8_t*>(colon) - base);
  auto len = decode_int_slice(in, pos, c, false);
  if (!len) return std::unexpected(std::move(len.error()));
  const auto n = static_cast<std::uint64_t>(*len);
  if (n > max_bencode_string) return bad(msg("invalid byte string length: ", n));
  if (in.size() - (c + 1) < n) return bad("truncated byte string");
  pos = c + 1 + static_cast<std::size_t>(n);
  return std::string_view(reinterpret_cast<const char*>(base + c + 1), static_cast<std::size_t>(n));
}

Result<void> Decoder::integer(std::size_t& pos, BVal& out) {
  const std::uint8_t* base = in.data();
  const std::size_t start = pos + 1;
  const void* e = std::memchr(base + start, 'e', in.size() - start);
  if (e == nullptr) return bad("unterminated integer");
  const std::size_t end = static_cast<std::size_t>(static_cast<const std::uint8_t*>(e) - base);
  auto v = decode_int_slice(in, start, end, true);
  if (!v) return std::unexpected(std::move(v.error()));
  become<0>(out, *v);
  pos = end + 1;
  return {};
}

Result<void> Decoder::list(std::size_t& pos, int depth, BVal::List& list) {
  list.reserve(expected_entries());
  ++pos;
  for (;;) {
    if (pos >= in.size()) return bad("unterminated list");
    if (in[pos] == 'e') break;
    if (auto r = value(pos, depth + 1, list.emplace_back()); !r) return r;
  }
  ++pos;
  return {};
}

Result<void> Decoder::dict(std::size_t& pos, int depth, BVal::Dict& dict) {
  dict.reserve((expected_entries() + 1) / 2);
  ++pos;
  for (;;) {
    if (pos >= in.size()) return bad("unterminated dictionary");
    if (in[pos] == 'e') break;
    BDictEntry& entry = dict.emplace_back();
    if (is_digit(in[pos])) {
      // A key lies one level below the dictionary like its value, so the depth test the
      // value path would make comes first here too.
      if (depth + 1 >= max_bencode_depth) return bad("bencode nesting depth exceeded");
      auto key = byte_string(pos);
      if (!key) return std::unexpected(std::move(key.error()));
      entry.key.assign(*key);
    } else {
      // Any other key is decoded as a value first, so its own errors come before the type test.
      if (auto r = value(pos, depth + 1, entry.value); !r) return r;
      return bad("dictionary key must be byte string");
    }
    if (auto r = value(pos, depth + 1, entry.value); !r) return r;
  }
  ++pos;
  return {};
}

// Bytewise as unsigned values; a key that is a prefix of the other comes first.
bool key_less(const BVal::Bytes& x, const BVal::Bytes& y) {
  const std::size_t n = std::min(x.size(), y.size());
  const int c = n == 0 ? 0 : std::memcmp(x.data(), y.data(), n);
  return c < 0 || (c == 0 && x.size() < y.size());
}

void append_decimal(encoding::Writer& out, std::int64_t v) {
  char text[24];
  auto r = std::to_chars(text, text + sizeof text, v);
  out.buf.insert(out.buf.end(), text, r.ptr);
}

void append_string(encoding::Writer& out, ByteView bytes) {
  append_decimal(out, static_cast<std::int64_t>(bytes.size()));
  out.buf.push_back(':');
  out.write_bytes(bytes);
}

}  // namespace

Result<std::int64_t> decode_int_slice(ByteView input, std::size_t start, std::size_t end, bool allow_minus) {
  if (start >= end || end > input.size()) return bad("empty integer field");
  bool negative = false;
  if (input[start] == '-' && allow_minus) {
    if (end - start == 1) return bad("dangling minus sign");
    if (input[start + 1] == '0') return bad("negative zero or leading zero after minus");
    negative = true;
    ++start;
  } else if (input[start] == '0' && end - start >= 2) {
    return bad("leading zero in integer");
  }
  // The magnitude may reach 2^63 for a negative value, one more than the largest positive.
  const std::uint64_t limit = negative ? (std::uint64_t{1} << 63) : (std::uint64_t{1} << 63) - 1;
  std::uint64_t magnitude = 0;
  bool out_of_range = false;
  for (std::size_t i = start; i < end; ++i) {
    const std::uint8_t c = input[i];
    if (c < '0' || c > '9') return bad(msg("non-digit byte in integer: ", static_cast<unsigned>(c)));
    const std::uint64_t digit = c - '0';
    if (magnitude > (limit - digit) / 10) {
      out_of_range = true;
    } else {
      magnitude = magnitude * 10 + digit;
    }
  }
  // Every byte is tested first, so a stray byte is reported as such even in a long number.
  if (out_of_range) return bad("integer out of range");
  if (!negative) return static_cast<std::int64_t>(magnitude);
  return magnitude == (std::uint64_t{1} << 63) ? INT64_MIN : -static_cast<std::int64_t>(magnitude);
}

Result<Decoded> decode_bval_at(ByteView input, std::size_t offset, int depth) {
  Decoded d;
  std::size_t pos = offset;
  ContainerCounts counts;
  counts.scan(input, offset);
  Decoder decoder{input, counts};
  if (auto r = decoder.value(pos, depth, d.value); !r) return std::unexpected(std::move(r.error()));
  d.end = pos;
  return d;
}

Result<BVal> bencode_decode(ByteView input) {
  BVal value;
  std::size_t pos = 0;
  ContainerCounts counts;
  counts.scan(input, 0);
  Decoder decoder{input, counts};
  if (auto r = decoder.value(pos, 0, value); !r) return std::unexpected(std::move(r.error()));
  if (pos != input.size()) return bad(msg("trailing bytes after bencode root: ", input.size() - pos));
  return value;
}

void encode_bval_into(encoding::Writer& out, const BVal& value) {
  if (const auto* i = value.as_int()) {
    out.buf.push_back('i');
    append_decimal(out, *i);
    out.buf.push_back('e');
  } else if (const auto* b = value.as_bytes()) {
    append_string(out, bytes_view(*b));
  } else if (const auto* l = value.as_list()) {
    out.buf.push_back('l');
    for (const BVal& element : *l) encode_bval_into(out, element);
    out.buf.push_back('e');
  } else if (const auto* d = value.as_dict()) {
    // Sorted through a list of pointers, so the value being encoded stays as it is.
    std::vector<const BDictEntry*> sorted;
    sorted.reserve(d->size());
    for (const BDictEntry& e : *d) sorted.push_back(&e);
    // Stable, so entries that share a key keep their order and encoding the decoded
    // canonical form gives the same bytes again.
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const BDictEntry* x, const BDictEntry* y) { return key_less(x->key, y->key); });
    out.buf.push_back('d');
    for (const BDictEntry* e : sorted) {
      append_string(out, bytes_view(e->key));
      encode_bval_into(out, e->value);
    }
    out.buf.push_back('e');
  }
}

Bytes bencode_encode(const BVal& value) {
  encoding::Writer out(64);
  encode_bval_into(out, value);
  return std::move(out.buf);
}

const BVal* bdict_get(const BVal& value, std::string_view key) {
  const auto* d = value.as_dict();
  if (d == nullptr) return nullptr;
  for (const BDictEntry& e : *d) {
    if (e.key == key) return &e.value;
  }
  return nullptr;
}

std::optional<std::int64_t> bdict_get_int(const BVal& value, std::string_view key) {
  const BVal* v = bdict_get(value, key);
  if (v == nullptr || v->as_int() == nullptr) return std::nullopt;
  return *v->as_int();
}

const BVal::Bytes* bdict_get_bytes(const BVal& value, std::string_view key) {
  const BVal* v = bdict_get(value, key);
  return v == nullptr ? nullptr : v->as_bytes();
}

std::optional<std::string> bdict_get_string(const BVal& value, std::string_view key) {
  const BVal::Bytes* b = bdict_get_bytes(value, key);
  if (b == nullptr) return std::nullopt;
  auto text = encoding::utf8_bytes_to_string(bytes_view(*b));
  if (!text) return std::nullopt;
  return std::move(*text);
}

}  // namespace bittorrent
