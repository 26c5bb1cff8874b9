#pragma once
// The CRC-32 of gzip and ZIP: reflected polynomial 0xEDB88320, initial value 0xFFFFFFFF,
// final complement.
#include <cstdint>

#include "encoding/bytes.h"

namespace encoding {

std::uint32_t crc32(ByteView bytes);

namespace detail {

// The ways the CRC can be computed, slowest first. All give the same value; crc32 above
// takes the fastest this CPU has, chosen once. Tests and benchmarks name each path so
// that all stay checked.
//
// The environment variable ONDREL_CPU_CAP, read once, holds this CPU to a lesser one as
// it does for the ciphers: "avx512" drops the 512-bit path, "ssse3" both vector paths.
enum class Crc32Path : std::uint8_t {
  Table,   // slicing-by-16 tables, on every CPU
  Clmul,   // 128-bit carry-less multiplication (PCLMULQDQ with SSE4.1) from 16 bytes
  Avx512,  // 512-bit carry-less multiplication (VPCLMULQDQ with AVX-512) from 64 bytes
};

Crc32Path best_crc32_path();
bool crc32_path_supported(Crc32Path path);
const char* to_string(Crc32Path path);

// crc32 on `path`; a path this CPU lacks runs the best one it has instead.
std::uint32_t crc32(ByteView bytes, Crc32Path path);

}  // namespace detail
}  // namespace encoding
