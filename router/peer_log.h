#pragma once
// The router's "[debug] " lines: one line to standard output, printed only with --debug.
#include <string_view>

namespace router {

// Writes the line and a line feed to standard output when debug is set.
void print_debug_line(bool debug, std::string_view line);

}  // namespace router
