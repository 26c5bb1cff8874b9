#include "base/files/memory_mapped_file.h"

#include <unistd.h>

#include <cstdint>
#include <utility>

#include "base/check.h"

namespace base {
namespace {

template <typename Dst, typename Src>
constexpr bool IsValueInRangeForNumericType(Src value) {
  return std::in_range<Dst>(value);
}

}  // namespace

MemoryMappedFile::~MemoryMappedFile() { CloseHandles(); }

bool MemoryMappedFile::Initialize(File file, const Region& region, Access access) {
  if (IsValid()) return false;
  file_ = std::move(file);
  if (!MapFileRegionToMemory(region, access)) {
    CloseHandles();
    return false;
  }
  return true;
}

void MemoryMappedFile::CalculateVMAlignedBoundaries(std::int64_t start, std::int64_t size, std::int64_t* aligned_start,
                                                    std::int64_t* aligned_size, std::int32_t* offset) {
  const long page_size = getpagesize();
  const long mask = page_size - 1;
  CHECK(IsValueInRangeForNumericType<int32_t>(mask));
  *offset = static_cast<std::int32_t>(start & mask);
  *aligned_start = start & ~static_cast<std::int64_t>(mask);
  *aligned_size = (size + *offset + mask) & ~static_cast<std::int64_t>(mask);
}

}  // namespace base
