#pragma once
// A cursor over a borrowed byte string. Big-endian reads; a failed read leaves the
// position where it was (read_i2p_string excepted, see there).
#include <cstddef>
#include <cstdint>
#include <string>

#include "encoding/bytes.h"
#include "encoding/error.h"

namespace encoding {

struct Reader {
  ByteView buf;         // the bytes being read; the caller keeps them alive
  std::size_t pos = 0;  // index of the next unread byte

  Reader() = default;
  explicit Reader(ByteView bytes) : buf(bytes) {}

  std::size_t remaining() const { return buf.size() - pos; }

  Result<std::uint8_t> read_u8();
  Result<std::uint16_t> read_u16_be();
  Result<std::uint32_t> read_u32_be();
  Result<std::uint64_t> read_u64_be();
  // A copy of the next n bytes. Negative n is refused like a shortfall.
  Result<Bytes> read_bytes(std::int64_t n);
  // A view of the next n bytes (no copy), same rules as read_bytes.
  Result<ByteView> read_view(std::int64_t n);
  Result<void> skip(std::int64_t n);
  Bytes read_remaining();
  // Length byte, then that many UTF-8 bytes. The length byte stays consumed on any
  // failure after it, and the string bytes too when only their decoding fails.
  Result<std::string> read_i2p_string();
};

}  // namespace encoding
