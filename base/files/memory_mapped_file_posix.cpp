#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "base/files/memory_mapped_file.h"

namespace base {
namespace internal {

FallocateFunction g_fallocate_for_testing = nullptr;
PwriteFunction g_pwrite_for_testing = nullptr;

}  // namespace internal

namespace {

int CallFallocate(int fd, off_t offset, off_t len) {
  if (internal::g_fallocate_for_testing != nullptr) return internal::g_fallocate_for_testing(fd, 0, offset, len);
  return fallocate(fd, 0, offset, len);
}

ssize_t CallPwrite(int fd, const void* buf, std::size_t count, off_t offset) {
  if (internal::g_pwrite_for_testing != nullptr) return internal::g_pwrite_for_testing(fd, buf, count, offset);
  return pwrite(fd, buf, count, offset);
}

}  // namespace

bool MemoryMappedFile::ExtendFile(std::int64_t offset, std::int64_t size) {
  const int fd = file_.GetPlatformFile();
  struct stat st;
  if (File::Fstat(fd, &st) != 0) return false;
  const std::int64_t original_length = st.st_size;
  if (size < 0) return false;
  const std::int64_t end = offset + size;
  if (!file_.SetLength(std::max(original_length, end))) return false;

  int ret;
  do {
    ret = CallFallocate(fd, static_cast<off_t>(offset), static_cast<off_t>(size));
  } while (ret != 0 && errno == EINTR);
  if (ret == 0) return true;

  // No fallocate here (some file systems lack it): touch one byte per block so every block
  // of the grown range is backed, leaving any byte that already holds data alone.
  std::int64_t block_size = 512;
  if (File::Fstat(fd, &st) == 0 && st.st_blksize > 0 && (st.st_blksize & (st.st_blksize - 1)) == 0) {
    block_size = st.st_blksize;
  }
  for (std::int64_t b = (original_length + block_size - 1) / block_size * block_size; b < end; b += block_size) {
    char byte;
    ssize_t n;
    do {
      n = pread(fd, &byte, 1, static_cast<off_t>(b));
    } while (n < 0 && errno == EINTR);
    if (n != 1) return false;
    if (byte != 0) continue;
    do {
      n = CallPwrite(fd, &byte, 1, static_cast<off_t>(b));
    } while (n < 0 && errno == EINTR);
    if (n != 1) return false;
  }
  return true;
}

bool MemoryMappedFile::MapFileRegionToMemory(const Region& region, Access access) {
  std::int64_t map_start = 0;
  std::int64_t map_size = 0;
  std::int32_t data_offset = 0;

  if (region == kWholeFile) {
    struct stat st;
    if (File::Fstat(file_.GetPlatformFile(), &st) != 0 || st.st_size < 0) return false;
    map_size = st.st_size;
    length_ = static_cast<std::size_t>(st.st_size);
  } else {
    if (region.size < 0) return false;
    CalculateVMAlignedBoundaries(region.offset, region.size, &map_start, &map_size, &data_offset);
    if (map_start < 0) return false;
    length_ = static_cast<std::size_t>(region.size);
  }

  int prot = PROT_READ;
  switch (access) {
    case kReadOnly: break;
    case kReadWrite: prot |= PROT_WRITE; break;
    case kReadWriteExtend:
      prot |= PROT_WRITE;
      if (!ExtendFile(region.offset, region.size)) return false;
      break;
  }

  void* mapping = mmap(nullptr, static_cast<std::size_t>(map_size), prot, MAP_SHARED, file_.GetPlatformFile(),
                       static_cast<off_t>(map_start));
  if (mapping == MAP_FAILED) {
    out_of_memory_ = errno == ENOMEM;
    return false;
  }
  mapping_start_ = mapping;
  mapping_size_ = static_cast<std::size_t>(map_size);
  data_ = static_cast<std::uint8_t*>(mapping) + data_offset;
  return true;
}

void MemoryMappedFile::CloseHandles() {
  if (data_ != nullptr) {
    munmap(mapping_start_, mapping_size_);
    data_ = nullptr;
    mapping_start_ = nullptr;
    mapping_size_ = 0;
  }
  file_.Close();
  length_ = 0;
}

}  // namespace base
