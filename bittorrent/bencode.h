#pragma once
// Bencode: the value format of .torrent files, KRPC messages, tracker replies and the
// extension protocol.
//
// The decoder is strict about the textual form (no leading zeros, no negative zero, no
// trailing bytes, integers inside the signed 64-bit range, bounded nesting and string
// length) but keeps dictionaries exactly as read: in input order, unsorted, repeated keys
// included. The encoder is canonical and always writes dictionary entries sorted by key
// (entries that share a key in their own order), so decoding and encoding again gives the
// canonical form, not necessarily the input bytes.
// Callers that need the exact bytes of a sub-value (the info dictionary) cut them out of
// the input by offset with decode_bval_at.
//
// Every failure is BittorrentError::Bencode with a message.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "encoding/bytes.h"
#include "encoding/error.h"
#include "encoding/writer.h"

namespace bittorrent {

struct BDictEntry;

// One bencoded value. A Dict is an ordered list of entries, not a map: it may hold a key
// twice, and lookups take the first entry with the key. Byte strings are copied out of the
// input, so a decoded value never refers to the input buffer.
//
// A byte string is held in a std::string: raw bytes, not text, but its short-string buffer
// spares an allocation for the many short keys, names and ids a .torrent or a KRPC message
// carries. bytes_view() gives its bytes.
struct BVal {
  using Int = std::int64_t;
  using Bytes = std::string;
  using List = std::vector<BVal>;
  using Dict = std::vector<BDictEntry>;

  std::variant<Int, Bytes, List, Dict> value;

  BVal() = default;  // the integer 0

  static BVal integer(Int i) { return BVal{std::in_place_index<0>, i}; }
  static BVal bytes(ByteView b) {
    return BVal{std::in_place_index<1>, Bytes(reinterpret_cast<const char*>(b.data()), b.size())};
  }
  static BVal string(std::string_view s) { return BVal{std::in_place_index<1>, Bytes(s)}; }
  static BVal list(List l = {}) { return BVal{std::in_place_index<2>, std::move(l)}; }
  static BVal dict(Dict d = {}) { return BVal{std::in_place_index<3>, std::move(d)}; }

  const Int* as_int() const { return std::get_if<Int>(&value); }
  const Bytes* as_bytes() const { return std::get_if<Bytes>(&value); }
  const List* as_list() const { return std::get_if<List>(&value); }
  const Dict* as_dict() const { return std::get_if<Dict>(&value); }

  friend bool operator==(const BVal&, const BVal&);

 private:
  template <std::size_t I, typename T>
  BVal(std::in_place_index_t<I> tag, T&& payload) : value(tag, std::forward<T>(payload)) {}
};

inline ByteView bytes_view(const BVal::Bytes& b) { return ::as_bytes(b); }
inline ::Bytes to_byte_vector(const BVal::Bytes& b) { return ::Bytes(b.begin(), b.end()); }

struct BDictEntry {
  BVal::Bytes key;
  BVal value;
  friend bool operator==(const BDictEntry&, const BDictEntry&) = default;
};

// A value at depth max_bencode_depth is refused; the root is at depth 0 and each list
// element, dictionary key and dictionary value lies one level below its container.
inline constexpr int max_bencode_depth = 65;
// A declared byte-string length above this is refused; exactly this length is accepted.
inline constexpr std::size_t max_bencode_string = 33'554'432;

// The value and the offset just behind it.
struct Decoded {
  BVal value;
  std::size_t end = 0;
};

// The one value that spans the whole input.
Result<BVal> bencode_decode(ByteView input);
// The value that starts at offset, nested at the given depth (0 for a root).
Result<Decoded> decode_bval_at(ByteView input, std::size_t offset, int depth);
// The value of the decimal digits in [start, end). A minus sign is accepted only when
// allow_minus is set; a value outside the signed 64-bit range fails "integer out of range".
Result<std::int64_t> decode_int_slice(ByteView input, std::size_t start, std::size_t end, bool allow_minus);

// The canonical encoding (dictionary keys sorted bytewise, shorter prefix first).
Bytes bencode_encode(const BVal& value);
void encode_bval_into(encoding::Writer& out, const BVal& value);

// The value of the first entry whose key equals the UTF-8 bytes of key; none when there
// is no such entry or value is not a dictionary.
const BVal* bdict_get(const BVal& value, std::string_view key);
// The typed getters test only the type of what bdict_get found.
std::optional<std::int64_t> bdict_get_int(const BVal& value, std::string_view key);
const BVal::Bytes* bdict_get_bytes(const BVal& value, std::string_view key);
// The byte string read as UTF-8; none when absent, not a byte string or not UTF-8.
std::optional<std::string> bdict_get_string(const BVal& value, std::string_view key);

}  // namespace bittorrent
