#pragma once
// The 32-byte SHA-256 value that names routers, destinations, tunnel gateways and
// NetDB keys.
#include <array>
#include <compare>
#include <cstdint>
#include <string>

#include "encoding/bytes.h"
#include "encoding/error.h"
#include "encoding/reader.h"

namespace common {

struct Hash {
  std::array<std::uint8_t, 32> bytes{};

  // Fails with CommonError::Invalid unless exactly 32 bytes are given.
  static Result<Hash> from_bytes(ByteView bytes);
  // The next 32 bytes of the reader.
  static Result<Hash> decode(encoding::Reader& r);

  // 52 lower-case Base32 characters followed by ".b32.i2p".
  std::string to_b32_address() const;

  ByteView view() const { return ByteView(bytes); }

  friend bool operator==(const Hash&, const Hash&) = default;
  friend auto operator<=>(const Hash&, const Hash&) = default;
};

}  // namespace common
