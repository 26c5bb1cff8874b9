#pragma once
// The 16-byte option records carried encrypted in SessionRequest and SessionCreated.
// All fields big-endian; reserved fields are written as 0 and not checked on receipt.
#include <cstdint>

#include "encoding/bytes.h"
#include "encoding/error.h"

namespace ntcp2 {

inline constexpr std::uint8_t kNetworkId = 2;
inline constexpr std::uint8_t kVersion = 2;

struct SessionRequestOptions {
  std::uint8_t network_id = kNetworkId;
  std::uint8_t version = kVersion;
  std::uint16_t pad_len = 0;
  std::uint16_t m3p2_len = 0;
  std::uint32_t timestamp = 0;  // unix seconds

  // network id, version, pad_len, m3p2_len, reserved u16, timestamp, reserved u32.
  Bytes encode() const;
  // Reads the 16-byte record; a shortfall is Ntcp2Error::Encoding.
  static Result<SessionRequestOptions> decode(ByteView bytes);

  bool operator==(const SessionRequestOptions&) const = default;
};

struct SessionCreatedOptions {
  std::uint16_t pad_len = 0;
  std::uint32_t timestamp = 0;  // unix seconds

  // reserved u16, pad_len, reserved u32, timestamp, reserved u32.
  Bytes encode() const;
  static Result<SessionCreatedOptions> decode(ByteView bytes);

  bool operator==(const SessionCreatedOptions&) const = default;
};

}  // namespace ntcp2
