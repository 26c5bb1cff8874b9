#include "updater/path_buffer.h"

#include <cstdarg>
#include <cstdio>

bool format_path(PathBuffer& buffer, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buffer.data(), buffer.size(), format, args);
  va_end(args);
  buffer.back() = '\0';
  return n >= 0 && static_cast<std::size_t>(n) < buffer.size();
}
