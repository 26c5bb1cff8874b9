#pragma once
// The small JSON and text functions of the torrent API. The API writes its documents itself,
// member by member in a fixed order, and reads the few members of a request body it needs by
// searching the text; there is no general JSON parser behind either.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "encoding/bytes.h"
#include "encoding/error.h"

namespace router {

// The text made safe inside a JSON string literal: a double quote and a backslash get a
// backslash in front, LF, CR and TAB become \n, \r and \t, every other character below
// U+0020 becomes a blank, well-formed UTF-8 is copied unchanged, and every byte that is not
// part of well-formed UTF-8 (surrogates included) becomes U+FFFD.
std::string api_json_escape(std::string_view text);
// The same, appended to out.
void api_json_escape_into(std::string& out, std::string_view text);
// The same, written at out, which has room for 3 * text.size() + 8 bytes: the escape of a
// text takes at most 3 bytes per byte (U+FFFD for each), and the copying loop may store up
// to 8 bytes past what it keeps. Returns the end of what was written.
char* api_json_escape_to(char* out, std::string_view text);

// {"ok":false,"error":"<text escaped>"}
std::string api_json_err(std::string_view text);

// A decimal number of a header value or a JSON member: trimmed of blanks, tabs, CR and LF;
// empty is 0; any character that is not a digit makes it 0. Reading stops once the value
// passes 10,000,000, so results lie between 0 and 100,000,009 and nothing overflows.
std::int64_t api_parse_decimal(std::string_view text);

// The members named key in a JSON text, found by searching the text from the left (a key
// inside a nested object or inside another string matches too): each occurrence of the key
// in double quotes, followed by blanks, a colon and blanks, where blanks are the characters
// of `blanks`. next() gives the position of the next such member's value, and none when no
// occurrence is left; an occurrence without the colon is passed over.
class ApiJsonMembers {
 public:
  ApiJsonMembers(std::string_view json, std::string_view key, std::string_view blanks);
  std::optional<std::size_t> next();

 private:
  std::string_view json_;
  std::string quoted_;
  std::string_view blanks_;
  std::size_t from_ = 0;
};

// The blanks of JSON, which may come around a member's colon.
inline constexpr std::string_view kApiJsonBlanks = " \t\r\n";

// The string value of the first member named key whose value is a string (ApiJsonMembers,
// JSON blanks). \" \/ \\ \n \r \t are unescaped, and \u with four hex digits is the UTF-8
// of that code unit, a high surrogate taking the \u low surrogate that must follow it; a
// backslash before any other character stands for that character. None when no occurrence
// has a string value; none as well when the first string value that starts has no closing
// quote, or a \u escape that is not four hex digits or is a lone surrogate: such a member is
// unusable, and no later one takes its place.
std::optional<std::string> api_json_get_string(std::string_view json, std::string_view key);

// Standard, URL-safe and I2P Base64 alike, padded or not: "+" becomes "-", "/" and "_"
// become "~", blanks, tabs, CR and LF are dropped, and the missing padding is added.
Result<Bytes> api_decode_base64_flexible(std::string_view text);

// The text shown to API clients for an error of the engine's add operations.
std::string api_router_err_msg(const Error& error);

// Writes compact JSON (no blank between tokens) in the order of the calls. Keys are written
// as given; string values are escaped (api_json_escape) or raw (known to hold only safe
// characters such as hex digits and base32 letters). The documents are written on every
// request and can hold thousands of members, so each member goes into the buffer in place
// with one length check; the small functions are inline.
class ApiJsonWriter {
 public:
  ApiJsonWriter& begin_object() { return open('{'); }
  ApiJsonWriter& end_object() { return close('}'); }
  ApiJsonWriter& begin_array() { return open('['); }
  ApiJsonWriter& end_array() { return close(']'); }
  // The key of the next value inside an object.
  ApiJsonWriter& key(std::string_view name) {
    const bool comma = comma_due();
    write(name.size() + 4, [&](char* p) { return put_key(p, comma, name); });
    after_key_ = true;
    return *this;
  }
  ApiJsonWriter& escaped(std::string_view value);
  ApiJsonWriter& raw(std::string_view value) {
    const bool comma = comma_due();
    write(value.size() + 3, [&](char* p) {
      if (comma) *p++ = ',';
      *p++ = '"';
      p = std::copy(value.begin(), value.end(), p);
      *p++ = '"';
      return p;
    });
    return *this;
  }
  ApiJsonWriter& number(std::uint64_t value) {
    const bool comma = comma_due();
    write(21, [&](char* p) {
      if (comma) *p++ = ',';
      return std::to_chars(p, p + 20, value).ptr;
    });
    return *this;
  }
  ApiJsonWriter& boolean(bool value) {
    const bool comma = comma_due();
    write(6, [&](char* p) {
      if (comma) *p++ = ',';
      const std::string_view v = value ? "true" : "false";
      return std::copy(v.begin(), v.end(), p);
    });
    return *this;
  }

  // Members: key followed by the value.
  ApiJsonWriter& escaped(std::string_view name, std::string_view value) { return key(name).escaped(value); }
  ApiJsonWriter& raw(std::string_view name, std::string_view value) { return key(name).raw(value); }
  ApiJsonWriter& number(std::string_view name, std::uint64_t value) {
    const bool comma = comma_due();
    write(name.size() + 24,
          [&](char* p) { return std::to_chars(put_key(p, comma, name), p + name.size() + 24, value).ptr; });
    return *this;
  }
  ApiJsonWriter& boolean(std::string_view name, bool value) { return key(name).boolean(value); }

  const std::string& text() const { return out_; }
  std::string take() { return std::move(out_); }
  void reserve(std::size_t n) { out_.reserve(n); }

 private:
  // Whether a comma goes before the next value: before every value of a container but its
  // first, never before a value that follows its key.
  bool comma_due() {
    if (after_key_) {
      after_key_ = false;
      return false;
    }
    if (depth_ == 0) return false;
    const std::uint64_t bit = std::uint64_t{1} << std::min(depth_ - 1, 63);
    const bool due = (has_items_ & bit) != 0;
    has_items_ |= bit;
    return due;
  }

  // Writes at most max bytes at the end: fill gets where to write and returns the end of
  // what it wrote. The buffer grows by doubling.
  template <typename Fill>
  void write(std::size_t max, Fill&& fill) {
    const std::size_t old = out_.size();
    if (out_.capacity() - old < max) out_.reserve(std::max(out_.capacity() * 2, old + max));
    out_.resize_and_overwrite(old + max,
                              [&](char* p, std::size_t) { return static_cast<std::size_t>(fill(p + old) - p); });
  }

  // [,]"name": at p; returns the end.
  static char* put_key(char* p, bool comma, std::string_view name) {
    if (comma) *p++ = ',';
    *p++ = '"';
    p = std::copy(name.begin(), name.end(), p);
    *p++ = '"';
    *p++ = ':';
    return p;
  }

  ApiJsonWriter& open(char c) {
    const bool comma = comma_due();
    write(2, [&](char* p) {
      if (comma) *p++ = ',';
      *p++ = c;
      return p;
    });
    ++depth_;
    if (depth_ <= 64) has_items_ &= ~(std::uint64_t{1} << (depth_ - 1));
    return *this;
  }
  ApiJsonWriter& close(char c) {
    out_ += c;
    if (depth_ > 0) --depth_;
    return *this;
  }

  std::string out_;
  // Bit d is set once the open container at depth d has a value. Documents nest a few
  // levels only; deeper containers than 64 share the last bit.
  std::uint64_t has_items_ = 0;
  int depth_ = 0;
  bool after_key_ = false;
};

}  // namespace router
