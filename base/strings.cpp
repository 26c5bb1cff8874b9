#include "base/strings.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <vector>

namespace base {
namespace {

constexpr std::size_t kMaxFormattedSize = 32 * 1024 * 1024;

}  // namespace

std::string FormatString(const char* format, ...) {
  const int saved_errno = errno;
  std::string result;

  va_list args;
  va_start(args, format);
  char stack_buf[1024];
  va_list copy;
  va_copy(copy, args);
  errno = 0;
  int n = std::vsnprintf(stack_buf, sizeof(stack_buf), format, copy);
  va_end(copy);

  if (n >= 0 && static_cast<std::size_t>(n) < sizeof(stack_buf)) {
    result.assign(stack_buf, static_cast<std::size_t>(n));
  } else {
    std::size_t size = sizeof(stack_buf);
    for (;;) {
      if (n < 0) {
        if (errno != 0 && errno != EOVERFLOW) break;
        size *= 2;
      } else {
        size = static_cast<std::size_t>(n) + 1;
      }
      if (size > kMaxFormattedSize) break;
      std::vector<char> heap_buf(size, '\0');
      va_copy(copy, args);
      errno = 0;
      n = std::vsnprintf(heap_buf.data(), size, format, copy);
      va_end(copy);
      if (n >= 0 && static_cast<std::size_t>(n) < size) {
        result.assign(heap_buf.data(), static_cast<std::size_t>(n));
        break;
      }
    }
  }
  va_end(args);
  errno = saved_errno;
  return result;
}

}  // namespace base
