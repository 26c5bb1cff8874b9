#pragma once
// printf-style formatting into a std::string.
#include <string>

namespace base {

// The formatted text. Texts up to 1,023 characters are formatted once on the stack; longer
// ones into a heap buffer of the reported length. A text that would need more than 32 MiB,
// or a format the C library cannot process, gives the empty string. errno is unchanged.
std::string FormatString(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace base
