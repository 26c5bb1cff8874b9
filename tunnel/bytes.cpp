#include "tunnel/bytes.h"

#include <algorithm>

namespace tunnel {

// The copied range is [start, start + length) cut to [0, size), computed without
// overflow for any start and length.
Bytes t_slice(ByteView bytes, std::int64_t start, std::int64_t length) {
  const auto size = static_cast<std::int64_t>(bytes.size());
  if (length <= 0 || start >= size) return {};
  if (start < 0) {
    if (length <= -start) return {};
    length += start;
    start = 0;
  }
  length = std::min(length, size - start);
  return Bytes(bytes.begin() + start, bytes.begin() + start + length);
}

}  // namespace tunnel
