#pragma once
// The small JSON and text functions of the torrent API. The API writes its documents itself,
// member by member in a fixed order, and reads the few members of a request body it needs by
// searching the text; there is no general JSON parser behind either.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
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
  ApiJsonWriter() = default;
  // Starts with `room` blanks, so that a head can later go in front of the document without
  // moving it.
  explicit ApiJsonWriter(std::size_t room) : out_(room, ' ') {}

  ApiJsonWriter& begin_object() { return open('{'); }
  ApiJsonWriter& end_object() { return close('}'); }
  ApiJsonWriter& begin_array() { return open('['); }
  ApiJsonWriter& end_array() { return close(']'); }
  // The key of the next value inside an object.
  ApiJsonWriter& key(std::string_view name) {
    add(name, Nothing{});
    comma_ = false;
    return *this;
  }

  // Values inside an array, or after key().
  ApiJsonWriter& escaped(std::string_view value) { return add(Escaped{value}); }
  ApiJsonWriter& raw(std::string_view value) { return add(Raw{value}); }
  ApiJsonWriter& number(std::uint64_t value) { return add(Number{value}); }
  ApiJsonWriter& boolean(bool value) { return add(Boolean{value}); }

  // Members: key followed by the value, written together.
  ApiJsonWriter& escaped(std::string_view name, std::string_view value) { return add(name, Escaped{value}); }
  ApiJsonWriter& raw(std::string_view name, std::string_view value) { return add(name, Raw{value}); }
  ApiJsonWriter& number(std::string_view name, std::uint64_t value) { return add(name, Number{value}); }
  ApiJsonWriter& boolean(std::string_view name, bool value) { return add(name, Boolean{value}); }

  const std::string& text() const { return out_; }
  std::string take() { return std::move(out_); }
  void reserve(std::size_t n) { out_.reserve(n); }

 private:
  // The values: the most bytes each can take, and how it is written at p (returning the end).
  struct Nothing {
    std::size_t max() const { return 0; }
    char* put(char* p) const { return p; }
  };
  struct Escaped {
    std::string_view text;
    // At most 3 bytes per byte, and 8 of room behind them (api_json_escape_to).
    std::size_t max() const { return 3 * text.size() + 10; }
    char* put(char* p) const {
      *p++ = '"';
      p = api_json_escape_to(p, text);
      *p++ = '"';
      return p;
    }
  };
  struct Raw {
    std::string_view text;
    std::size_t max() const { return text.size() + 2; }
    char* put(char* p) const {
      *p++ = '"';
      p = std::copy(text.begin(), text.end(), p);
      *p++ = '"';
      return p;
    }
  };
  struct Number {
    std::uint64_t value;
    std::size_t max() const { return 20; }
    char* put(char* p) const { return std::to_chars(p, p + 20, value).ptr; }
  };
  struct Boolean {
    bool value;
    std::size_t max() const { return 5; }
    char* put(char* p) const {
      // Five bytes either way (the NUL of "true" goes into the room), so that the copy has
      // one fixed size.
      std::memcpy(p, value ? "true" : "false", 5);
      return p + (value ? 4 : 5);
    }
  };
  struct Punctuation {
    char c;
    std::size_t max() const { return 1; }
    char* put(char* p) const {
      *p++ = c;
      return p;
    }
  };

  // Whether a comma goes before the next value: one does after a value or a closed
  // container, none at the start of a container or after a key.
  bool comma_due() {
    const bool due = comma_;
    comma_ = true;
    return due;
  }

  // The comma where one is due, then "name": (members only), then the value, at the end with
  // one length check. The buffer grows by doubling.
  template <typename Value>
  ApiJsonWriter& add(Value v) {
    return write(v.max(), [&](char* p) { return v.put(p); });
  }
  template <typename Value>
  ApiJsonWriter& add(std::string_view name, Value v) {
    return write(name.size() + 3 + v.max(), [&](char* p) {
      *p++ = '"';
      p = std::copy(name.begin(), name.end(), p);
      *p++ = '"';
      *p++ = ':';
      return v.put(p);
    });
  }
  template <typename Fill>
  ApiJsonWriter& write(std::size_t max, Fill&& fill) {
    const bool comma = comma_due();
    const std::size_t old = out_.size();
    // When it must grow, resize_and_overwrite (libstdc++) at least doubles the buffer.
    out_.resize_and_overwrite(old + 1 + max, [&](char* const start, std::size_t) {
      char* p = start + old;
      if (comma) *p++ = ',';
      return static_cast<std::size_t>(fill(p) - start);
    });
    return *this;
  }

  ApiJsonWriter& open(char c) {
    add(Punctuation{c});
    comma_ = false;
    return *this;
  }
  ApiJsonWriter& close(char c) {
    out_ += c;
    comma_ = true;
    return *this;
  }

  std::string out_;
  bool comma_ = false;
};

}  // namespace router
