#pragma once
// The CRC-32 of gzip and ZIP: reflected polynomial 0xEDB88320, initial value 0xFFFFFFFF,
// final complement.
#include <cstdint>

#include "encoding/bytes.h"

namespace encoding {

std::uint32_t crc32(ByteView bytes);

}  // namespace encoding
