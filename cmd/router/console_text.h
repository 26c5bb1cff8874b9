#pragma once
// UTF-8 at the program's edges: command-line arguments in, console lines out.
//
// Arguments are decoded with U+FFFD in place of every invalid sequence and never rejected;
// console lines are written as UTF-8 the same way. Validation goes through simdutf when the
// build found it, otherwise through the project's own UTF-8 layer.
#include <string>
#include <string_view>
#include <vector>

namespace cmd_router {

// The text of one argument.
std::string decode_argument(std::string_view raw);

// The arguments after the program path.
std::vector<std::string> decode_arguments(int argc, char** argv);

// Writes one line (a line feed is added) to standard output.
void print_line(std::string_view line);

// Flushes standard output.
void flush_output();

// Name of the UTF-8 layer in use ("simdutf" or "builtin").
std::string_view utf8_layer_name();

}  // namespace cmd_router
