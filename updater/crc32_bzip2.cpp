#include "updater/crc32_bzip2.h"

#include <array>
#include <cstring>

namespace {

// Sixteen tables for slicing by 16 bytes: table k holds the CRC contribution of a byte
// that still has k more bytes behind it in the current slice. Built at compile time, so
// no first-use guard is needed on the worker thread.
constexpr int kSlices = 16;
using Tables = std::array<std::array<std::uint32_t, 256>, kSlices>;

constexpr Tables make_tables() {
  Tables t{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i << 24;
    for (int b = 0; b < 8; ++b) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : (c << 1);
    t[0][i] = c;
  }
  for (int k = 1; k < kSlices; ++k) {
    for (std::uint32_t i = 0; i < 256; ++i) {
      const std::uint32_t prev = t[static_cast<std::size_t>(k - 1)][i];
      t[static_cast<std::size_t>(k)][i] = (prev << 8) ^ t[0][prev >> 24];
    }
  }
  return t;
}

constexpr Tables kTables = make_tables();

inline std::uint32_t load_be32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return __builtin_bswap32(v);
}

inline std::uint32_t slice4(std::uint32_t w, int top) {
  // Bytes of a big-endian word, first byte furthest from the end of the slice.
  return kTables[static_cast<std::size_t>(top)][w >> 24] ^
         kTables[static_cast<std::size_t>(top - 1)][(w >> 16) & 0xFF] ^
         kTables[static_cast<std::size_t>(top - 2)][(w >> 8) & 0xFF] ^
         kTables[static_cast<std::size_t>(top - 3)][w & 0xFF];
}

}  // namespace

std::uint32_t crc32_bzip2(const std::uint8_t* data, std::size_t length) {
  if (length == 0) return 0;
  std::uint32_t c = 0xFFFFFFFFu;
  while (length >= kSlices) {
    const std::uint32_t w0 = load_be32(data) ^ c;
    c = slice4(w0, 15) ^ slice4(load_be32(data + 4), 11) ^ slice4(load_be32(data + 8), 7) ^
        slice4(load_be32(data + 12), 3);
    data += kSlices;
    length -= kSlices;
  }
  while (length-- > 0) c = (c << 8) ^ kTables[0][(c >> 24) ^ *data++];
  return ~c;
}
