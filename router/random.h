#pragma once
// Random values of the router, always from the operating system's random device. A failed
// read is an error for the caller; fixed bytes never stand in for random ones.
#include <array>
#include <cstddef>
#include <cstdint>

#include "encoding/bytes.h"
#include "encoding/error.h"

namespace router {

// n random bytes; a failed read is a RouterError::Net around the platform's error.
Result<Bytes> random_bytes(std::size_t n);

// 32 random bytes (also the random source handed to the ratchet).
Result<std::array<std::uint8_t, 32>> next_rand_32();

// 1024 random bytes, each 0 replaced by 0x01.
Result<Bytes> non_zero_random_bytes();

}  // namespace router
