#pragma once
// A growable output buffer with big-endian appends.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "encoding/bytes.h"
#include "encoding/error.h"

namespace encoding {

struct Writer {
  Bytes buf;

  Writer() = default;
  explicit Writer(std::size_t capacity) { buf.reserve(capacity); }

  void write_u8(std::uint32_t v) { buf.push_back(static_cast<std::uint8_t>(v)); }
  void write_u16_be(std::uint32_t v) {
    buf.push_back(static_cast<std::uint8_t>(v >> 8));
    buf.push_back(static_cast<std::uint8_t>(v));
  }
  void write_u32_be(std::uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) buf.push_back(static_cast<std::uint8_t>(v >> s));
  }
  void write_u64_be(std::uint64_t v) {
    for (int s = 56; s >= 0; s -= 8) buf.push_back(static_cast<std::uint8_t>(v >> s));
  }
  void write_bytes(ByteView bytes) { buf.insert(buf.end(), bytes.begin(), bytes.end()); }
  // Fails with LimitExceeded, appending nothing, when the text has 256 or more UTF-8 bytes.
  Result<void> write_i2p_string(std::string_view text);
  Bytes to_bytes() const { return buf; }
};

// The 4 bytes at offset as a little-endian integer; fails when they are not all there.
inline Result<std::uint32_t> read_u32_le_bytes(ByteView bytes, std::size_t offset) {
  if (offset > bytes.size() || bytes.size() - offset < 4) {
    return fail(EncodingError::Truncated, msg("read_u32_le_bytes: need 4 bytes at ", offset, ", have ", bytes.size()));
  }
  return static_cast<std::uint32_t>(bytes[offset]) | static_cast<std::uint32_t>(bytes[offset + 1]) << 8 |
         static_cast<std::uint32_t>(bytes[offset + 2]) << 16 | static_cast<std::uint32_t>(bytes[offset + 3]) << 24;
}

inline void push_u32_le(Bytes& out, std::uint32_t v) {
  for (int s = 0; s < 32; s += 8) out.push_back(static_cast<std::uint8_t>(v >> s));
}

}  // namespace encoding
