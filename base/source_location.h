#pragma once
// Where a check was made: the function, the source path relative to the repository root, the
// line, and the address of the code that made the record.
#include <cstdint>

#ifndef BASE_SOURCE_ROOT
#define BASE_SOURCE_ROOT ""
#endif

namespace base {

// The path with the build's source-root prefix removed ("base/files/file_posix.cpp"); a path
// outside the root stays whole.
constexpr const char* StripSourceRoot(const char* path) {
  const char* root = BASE_SOURCE_ROOT;
  int i = 0;
  while (root[i] != '\0' && path[i] == root[i]) ++i;
  return root[i] == '\0' ? path + i : path;
}

class SourceLocation {
 public:
  constexpr SourceLocation() = default;

  // Records the caller's return address, so it must stay out of line.
  [[gnu::noinline]] static SourceLocation Current(const char* function_name, const char* file_name, int line_number) {
    return SourceLocation(function_name, file_name, line_number, __builtin_return_address(0));
  }

  const char* function_name() const { return function_name_; }
  const char* file_name() const { return file_name_; }
  int line_number() const { return line_number_; }
  const void* program_counter() const { return program_counter_; }

 private:
  constexpr SourceLocation(const char* function_name, const char* file_name, int line_number,
                           const void* program_counter)
      : function_name_(function_name),
        file_name_(file_name),
        line_number_(line_number),
        program_counter_(program_counter) {}

  const char* function_name_ = nullptr;
  const char* file_name_ = nullptr;
  int line_number_ = -1;
  const void* program_counter_ = nullptr;
};

}  // namespace base

#define BASE_HERE ::base::SourceLocation::Current(__func__, ::base::StripSourceRoot(__FILE__), __LINE__)
