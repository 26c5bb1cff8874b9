#pragma once
// Reading a manifest (or the precomplete list) whole.
#include <cstdlib>
#include <memory>

struct FreeDeleter {
  void operator()(char* text) const { std::free(text); }
};
// A NUL-terminated text from malloc; the manifest parser cuts paths out of it in place.
using MallocText = std::unique_ptr<char[], FreeDeleter>;

// The whole file at `path` followed by a NUL byte, or null after a log line (no line
// when memory is short).
MallocText GetManifestContents(const char* path);
