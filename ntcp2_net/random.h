#pragma once
// Random bytes from the operating system.
#include <cstddef>

#include "encoding/bytes.h"
#include "encoding/error.h"

namespace ntcp2_net {

// n bytes from the kernel's random source. Any shortfall fails with NetError::Io
// "failed to read random bytes: " and the OS text; partial bytes are never returned.
Result<Bytes> random_bytes(std::size_t n);

}  // namespace ntcp2_net
