#pragma once
// The key schedules' byte-string concatenation under this package's name; the very same
// function as noise::concat_bytes, not a copy.
#include "noise/concat.h"

namespace ntcp2 {

inline constexpr auto& concat_b = noise::concat_bytes;

}  // namespace ntcp2
