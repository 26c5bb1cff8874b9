#include "updater/file_buffer.h"

#include <sys/mman.h>

#include <new>

namespace {
constexpr std::size_t kMapThreshold = 1u << 20;
}

void FileBufferRelease::operator()(std::uint8_t* p) const {
  if (size >= kMapThreshold) {
    ::munmap(p, size);
  } else {
    delete[] p;
  }
}

FileBuffer allocate_file_buffer(std::size_t size) {
  if (size == 0) size = 1;
  if (size < kMapThreshold) return FileBuffer(new (std::nothrow) std::uint8_t[size], FileBufferRelease{size});
  void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return FileBuffer(nullptr, FileBufferRelease{size});
  (void)::madvise(p, size, MADV_HUGEPAGE);  // advice only: small pages work too
  return FileBuffer(static_cast<std::uint8_t*>(p), FileBufferRelease{size});
}
