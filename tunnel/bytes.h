#pragma once
// Byte-string helpers of the tunnel code, also used by streaming.
#include <cstdint>

#include "encoding/bytes.h"
#include "noise/concat.h"

namespace tunnel {

// a || b: the very same function as noise::concat_bytes, not a copy.
inline constexpr auto& t_concat = noise::concat_bytes;

// A copy of `length` bytes from offset `start`; empty when length <= 0. Callers keep the
// range inside the input; a range that strays outside is cut to the input rather than
// read past its end.
Bytes t_slice(ByteView bytes, std::int64_t start, std::int64_t length);

}  // namespace tunnel
