#pragma once
// Random bytes from the operating system.
#include <cstddef>
#include <cstdint>
#include <span>

#include "encoding/bytes.h"
#include "encoding/error.h"

namespace ntcp2_net {

// n bytes from the kernel's random source. Any shortfall fails with NetError::Io
// "failed to read random bytes: " and the OS text; partial bytes are never returned.
Result<Bytes> random_bytes(std::size_t n);
// The same into the caller's buffer; on failure its contents are unspecified.
Result<void> fill_random(std::span<std::uint8_t> out);

}  // namespace ntcp2_net
