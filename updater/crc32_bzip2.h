#pragma once
// CRC-32/BZIP2: polynomial 0x04C11DB7 processed most significant bit first, initial value
// 0xFFFFFFFF, final complement. QBDIFF10 patches name the CRC of the file they apply to in
// this variant. The CRC of zero bytes is 0.
#include <cstddef>
#include <cstdint>

std::uint32_t crc32_bzip2(const std::uint8_t* data, std::size_t length);
