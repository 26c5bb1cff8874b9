#include "cmd/router/console_text.h"

#include <cstdio>

#include "encoding/bytes.h"
#include "encoding/text.h"

#if defined(ONDREL_HAVE_SIMDUTF)
#include <simdutf.h>
#endif

namespace cmd_router {

namespace {

bool is_valid_utf8(std::string_view text) {
#if defined(ONDREL_HAVE_SIMDUTF)
  return simdutf::validate_utf8(text.data(), text.size());
#else
  return encoding::utf8_bytes_to_string(as_bytes(text)).has_value();
#endif
}

// Valid text is taken as it is (the common case, checked in one pass); anything else is
// rebuilt with U+FFFD for each invalid sequence.
std::string to_valid_utf8(std::string_view raw) {
  if (is_valid_utf8(raw)) return std::string(raw);
  return encoding::utf8_sanitize(as_bytes(raw));
}

}  // namespace

std::string decode_argument(std::string_view raw) { return to_valid_utf8(raw); }

std::vector<std::string> decode_arguments(int argc, char** argv) {
  std::vector<std::string> out;
  for (int i = 1; i < argc; ++i) out.push_back(decode_argument(argv[i]));
  return out;
}

void print_line(std::string_view line) {
  std::string text = to_valid_utf8(line);
  text.push_back('\n');
  std::fwrite(text.data(), 1, text.size(), stdout);
}

void flush_output() { std::fflush(stdout); }

std::string_view utf8_layer_name() {
#if defined(ONDREL_HAVE_SIMDUTF)
  return "simdutf";
#else
  return "builtin";
#endif
}

}  // namespace cmd_router
