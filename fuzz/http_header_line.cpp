// The header-line grammar shared by the HTTP proxy and the torrent API on arbitrary bytes: no
// crash; a line that is read gives a name and a value that are the trimmed texts on either
// side of its first ":", the name not empty; a line that is refused has no such name.
#include "services/http_header.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "encoding/text.h"
#include "fuzz/support/check.h"

namespace {

using fuzz_support::check;

bool is_trim_char(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool trimmed(std::string_view s) { return s.empty() || (!is_trim_char(s.front()) && !is_trim_char(s.back())); }

// Whether view lies inside text.
bool inside(std::string_view view, std::string_view text) {
  return view.empty() || (view.data() >= text.data() && view.data() + view.size() <= text.data() + text.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  const auto colon = line.find(':');
  const auto field = router::parse_http_header_line(line);
  if (!field) {
    check(colon == std::string_view::npos || encoding::trim(line.substr(0, colon)).empty());
  } else {
    check(colon != std::string_view::npos);
    check(!field->name.empty() && trimmed(field->name) && trimmed(field->value));
    check(field->name.find(':') == std::string_view::npos);
    check(inside(field->name, line) && inside(field->value, line));
    check(field->name == encoding::trim(line.substr(0, colon)));
    check(field->value == encoding::trim(line.substr(colon + 1)));
  }
  const std::string upper = encoding::ascii_upper(line);
  check(upper.size() == line.size() && encoding::ascii_lower(upper) == encoding::ascii_lower(line));
  for (const char c : upper) check(!(c >= 'a' && c <= 'z'));
  return 0;
}
