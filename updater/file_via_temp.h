#pragma once
// Replacing a file whole: the new contents are written to a temporary file in the same
// directory, flushed to disk, closed, and only then renamed over the final name. A crash
// or a full disk at any moment leaves either the old file or the complete new one.
#include <cstdio>

#include "updater/path_buffer.h"

// A temporary file waiting to replace its final name. Move-only; destroying one that was
// neither committed nor discarded discards it.
struct TempFile {
  std::FILE* stream = nullptr;  // open "w+"; null when creation failed
  PathBuffer path{};            // "<directory>/temp.XXXXXX" as made by mkstemp

  TempFile() = default;
  TempFile(TempFile&& other) noexcept;
  TempFile& operator=(TempFile&& other) noexcept;
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile();
};

// Creates "temp.XXXXXX" (owner read and write only) in the directory of `path`. Fails
// (null stream, errno set) when `path` has no '/', its directory part is longer than
// 4,082 bytes, or the file cannot be made.
TempFile create_file_via_temp(const char* path);

// Which step of a commit failed.
enum class CommitFailure { none, write, close, rename };

// Flushes, fsyncs and closes the temporary file, every result checked, then renames it
// over `path`. On any failure the temporary file is removed, `path` keeps its old
// contents and errno tells the cause.
CommitFailure commit_file_via_temp(TempFile& file, const char* path);

// Closes and removes the temporary file; errno is kept.
void discard_file_via_temp(TempFile& file);
