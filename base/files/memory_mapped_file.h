#pragma once
// A shared memory mapping of a whole file or of a region of it.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "base/files/file.h"

namespace base {

class MemoryMappedFile {
 public:
  enum Access : std::int32_t {
    kReadOnly = 0,
    kReadWrite = 1,
    // Read-write after growing the file to cover the region, with its blocks reserved, so that
    // writing through the mapping cannot fail for lack of disk space.
    kReadWriteExtend = 2,
  };

  // {offset, size}; {0, 0} is the whole file.
  struct Region {
    std::int64_t offset;
    std::int64_t size;
    bool operator==(const Region&) const = default;
  };
  static constexpr Region kWholeFile = {0, 0};

  MemoryMappedFile() = default;
  MemoryMappedFile(const MemoryMappedFile&) = delete;
  MemoryMappedFile& operator=(const MemoryMappedFile&) = delete;
  ~MemoryMappedFile();

  // Takes the file over and maps the region. False when a mapping is already held, or when
  // the mapping fails (the object is then empty again).
  bool Initialize(File file, const Region& region, Access access);

  const std::uint8_t* data() const { return data_; }
  std::uint8_t* data() { return data_; }
  std::size_t length() const { return length_; }
  bool IsValid() const { return data_ != nullptr; }
  // The last mmap failed with ENOMEM.
  bool out_of_memory() const { return out_of_memory_; }

 private:
  bool MapFileRegionToMemory(const Region& region, Access access);
  // Page-aligned start and size covering [start, start + size), and start's distance from
  // the aligned start.
  static void CalculateVMAlignedBoundaries(std::int64_t start, std::int64_t size, std::int64_t* aligned_start,
                                           std::int64_t* aligned_size, std::int32_t* offset);
  // Grows the file to cover [offset, offset + size) and reserves the blocks.
  bool ExtendFile(std::int64_t offset, std::int64_t size);
  void CloseHandles();

  File file_;
  std::uint8_t* data_ = nullptr;
  std::size_t length_ = 0;
  void* mapping_start_ = nullptr;
  std::size_t mapping_size_ = 0;
  bool out_of_memory_ = false;
};

namespace internal {

// Test seam of the file growth in kReadWriteExtend. Null in the program; a test sets them to
// make fallocate fail (as on file systems without it) and to watch the writes of the
// block-by-block fallback. Same contracts as the system calls.
using FallocateFunction = int (*)(int fd, int mode, off_t offset, off_t len);
using PwriteFunction = ssize_t (*)(int fd, const void* buf, std::size_t count, off_t offset);
extern FallocateFunction g_fallocate_for_testing;
extern PwriteFunction g_pwrite_for_testing;

}  // namespace internal
}  // namespace base
