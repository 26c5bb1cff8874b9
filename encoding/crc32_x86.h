#pragma once
// CRC-32 by carry-less multiplication on x86; encoding/crc32.cpp picks these when the CPU
// has the instructions. Both take the CRC register as it stands before p (no pre- or
// post-conditioning) and return it after the n bytes.
#include <cstddef>
#include <cstdint>

namespace encoding::detail {

#if defined(__x86_64__) || defined(__i386__)

// 128-bit lanes (PCLMULQDQ, SSE4.1); n at least 16.
std::uint32_t crc32_update_clmul(std::uint32_t crc, const std::uint8_t* p, std::size_t n);

// 512-bit lanes (VPCLMULQDQ, AVX-512 F, BW and VL); n at least 64.
std::uint32_t crc32_update_vpclmul(std::uint32_t crc, const std::uint8_t* p, std::size_t n);

#endif

}  // namespace encoding::detail
