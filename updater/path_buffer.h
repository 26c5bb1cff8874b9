#pragma once
// Every path the updater derives (backup and draft names, children in a tree walk, the
// status and log files) is formed in one fixed buffer of this size.
#include <array>
#include <cstddef>

inline constexpr std::size_t kPathBufferSize = 4096;
using PathBuffer = std::array<char, kPathBufferSize>;

// printf-style formatting into `buffer`, truncating; the last byte is always NUL.
// Returns true when the whole text fitted. Callers that turn the text into a file
// operation must refuse a truncated path; log text may stay truncated.
bool format_path(PathBuffer& buffer, const char* format, ...) __attribute__((format(printf, 2, 3)));
