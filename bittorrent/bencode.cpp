#include "bittorrent/bencode.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "encoding/text.h"

namespace bittorrent {

bool operator==(const BVal& a, const BVal& b) { return a.value == b.value; }

namespace {

std::unexpected<Error> bad(std::string message) { return fail(BittorrentError::Bencode, std::move(message)); }

// One decoding pass over the input.
struct Decoder {
  ByteView in;

  // Decodes the value at pos into out and moves pos behind it.
  Result<void> value(std::size_t& pos, int depth, BVal& out);
};

Result<void> Decoder::value(std::size_t& pos, int depth, BVal& out) {
  if (depth >= max_bencode_depth) return bad("bencode nesting depth exceeded");
  if (pos >= in.size()) return bad("unexpected EOF");
  const std::uint8_t tag = in[pos];
  const std::uint8_t* base = in.data();
  if (tag == 'i') {
    const std::size_t start = pos + 1;
    // The common case first: up to 18 digits, no sign, no leading zero, then "e".
    std::size_t d = start;
    std::int64_t quick = 0;
    while (d < in.size() && d - start < 18 && in[d] >= '0' && in[d] <= '9') quick = quick * 10 + (in[d++] - '0');
    if (d > start && d < in.size() && in[d] == 'e' && (in[start] != '0' || d - start == 1)) {
      out.value.emplace<BVal::Int>(quick);
      pos = d + 1;
      return {};
    }
    const void* e = std::memchr(base + start, 'e', in.size() - start);
    if (e == nullptr) return bad("unterminated integer");
    const std::size_t end = static_cast<std::size_t>(static_cast<const std::uint8_t*>(e) - base);
    auto v = decode_int_slice(in, start, end, true);
    if (!v) return std::unexpected(std::move(v.error()));
    out.value.emplace<BVal::Int>(*v);
    pos = end + 1;
    return {};
  }
  if (tag == 'l') {
    auto& list = out.value.emplace<BVal::List>();
    ++pos;
    for (;;) {
      if (pos >= in.size()) return bad("unterminated list");
      if (in[pos] == 'e') break;
      if (auto r = value(pos, depth + 1, list.emplace_back()); !r) return r;
    }
    ++pos;
    return {};
  }
  if (tag == 'd') {
    auto& dict = out.value.emplace<BVal::Dict>();
    ++pos;
    for (;;) {
      if (pos >= in.size()) return bad("unterminated dictionary");
      if (in[pos] == 'e') break;
      // The key is decoded as any value first, so its own errors come before the type test.
      BDictEntry& entry = dict.emplace_back();
      if (auto r = value(pos, depth + 1, entry.value); !r) return r;
      auto* key_bytes = std::get_if<BVal::Bytes>(&entry.value.value);
      if (key_bytes == nullptr) return bad("dictionary key must be byte string");
      entry.key = std::move(*key_bytes);
      if (auto r = value(pos, depth + 1, entry.value); !r) return r;
    }
    ++pos;
    return {};
  }
  if (tag >= '0' && tag <= '9') {
    // The common case first: a length of at most 8 digits without a leading zero, read
    // while looking for the colon. Anything else takes the full path with its messages.
    std::size_t c = pos;
    std::uint64_t n = 0;
    while (c < in.size() && c - pos < 8 && in[c] >= '0' && in[c] <= '9') n = n * 10 + (in[c++] - '0');
    if (c == in.size() || in[c] != ':' || (tag == '0' && c - pos > 1)) {
      const void* colon = std::memchr(base + pos, ':', in.size() - pos);
      if (colon == nullptr) return bad("missing ':' in byte string");
      c = static_cast<std::size_t>(static_cast<const std::uint8_t*>(colon) - base);
      auto len = decode_int_slice(in, pos, c, false);
      if (!len) return std::unexpected(std::move(len.error()));
      n = static_cast<std::uint64_t>(*len);
    }
    if (n > max_bencode_string) return bad(msg("invalid byte string length: ", n));
    if (in.size() - (c + 1) < n) return bad("truncated byte string");
    out.value.emplace<BVal::Bytes>(reinterpret_cast<const char*>(base + c + 1), static_cast<std::size_t>(n));
    pos = c + 1 + static_cast<std::size_t>(n);
    return {};
  }
  return bad(msg("unexpected bencode tag byte: ", static_cast<unsigned>(tag)));
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
  Decoder decoder{input};
  if (auto r = decoder.value(pos, depth, d.value); !r) return std::unexpected(std::move(r.error()));
  d.end = pos;
  return d;
}

Result<BVal> bencode_decode(ByteView input) {
  BVal value;
  std::size_t pos = 0;
  Decoder decoder{input};
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
    std::sort(sorted.begin(), sorted.end(), [](const BDictEntry* x, const BDictEntry* y) { return key_less(x->key, y->key); });
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
