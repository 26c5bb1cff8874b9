#pragma once
// Memory for a whole file (the file to patch, the blocks of a patch).
#include <cstddef>
#include <cstdint>
#include <memory>

struct FileBufferRelease {
  std::size_t size;
  void operator()(std::uint8_t* p) const;
};
using FileBuffer = std::unique_ptr<std::uint8_t[], FileBufferRelease>;

// `size` bytes (at least one), or null when the memory cannot be had. Large buffers are
// mapped anonymously and asked for huge pages: a fresh 32 MiB buffer of small pages costs
// thousands of page faults, more than reading the file into it.
FileBuffer allocate_file_buffer(std::size_t size);
