#pragma once
// The framing of an HTTP/1.x request head shared by the HTTP proxy and the torrent API:
// where the head ends in a buffer, and the grammar of one header line. Pure text handling
// over untrusted bytes, no I/O; what a server does with a line it cannot read (refuse the
// request, or pass over the line) is its own choice.
//
// Header line grammar:  line  = name ":" value
//                       name  = the text before the first ":", trimmed, not empty
//                       value = the text after it, trimmed
// where trimming removes tab, LF, CR and space at both ends. Names keep the case they came
// in; callers that compare them fold ASCII letters only (header names are ASCII).
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "encoding/bytes.h"

namespace router {

// Where a request head ends in a buffer: the head is the first head_length bytes, the body
// starts separator_length bytes later.
struct HttpHeaderEnd {
  std::size_t head_length = 0;
  std::size_t separator_length = 0;  // 4 for CR LF CR LF, 2 for LF LF

  friend bool operator==(const HttpHeaderEnd&, const HttpHeaderEnd&) = default;
};

// The first CR LF CR LF or LF LF within the first n bytes (n is clamped to the buffer),
// whichever begins first; none when neither is there yet.
std::optional<HttpHeaderEnd> find_http_header_end(ByteView bytes, std::size_t n);

// One header line split by the grammar above; the views point into the line.
struct HttpHeaderField {
  std::string_view name;
  std::string_view value;

  friend bool operator==(const HttpHeaderField&, const HttpHeaderField&) = default;
};

// None for a line without ":", with ":" first, or whose name is blanks only.
std::optional<HttpHeaderField> parse_http_header_line(std::string_view line);

}  // namespace router
