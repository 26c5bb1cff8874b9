#pragma once
// Whole I2NP messages: the 16-byte standard header (tunnels, TunnelGateway data) and
// the 9-byte short header (NTCP2 blocks, garlic cloves), each followed by the body.
#include <cstdint>
#include <utility>

#include "encoding/bytes.h"
#include "encoding/error.h"
#include "encoding/reader.h"
#include "i2np/message_type.h"
#include "i2np/payload.h"

namespace i2np {

struct I2npHeader {
  static constexpr std::size_t kSize = 16;

  I2npMessageType msg_type = I2npMessageType::from_byte(0);
  std::uint32_t msg_id = 0;
  std::uint64_t expiration = 0;  // ms since 1970
  std::uint16_t size = 0;        // body length
  std::uint8_t checksum = 0;     // first byte of SHA-256 of the body

  friend bool operator==(const I2npHeader&, const I2npHeader&) = default;
};

struct I2npShortHeader {
  static constexpr std::size_t kSize = 9;

  I2npMessageType msg_type = I2npMessageType::from_byte(0);
  std::uint32_t msg_id = 0;
  std::uint32_t expiration = 0;  // seconds since 1970

  friend bool operator==(const I2npShortHeader&, const I2npShortHeader&) = default;
};

// The standard header followed by the body; bodies over 65535 bytes are refused.
Result<Bytes> encode_standard_message(std::uint32_t msg_id, std::uint64_t expiration_ms, const I2npPayload& payload);
// Reads one standard-header message and checks its checksum; bytes after the body are
// left unread. The expiration is not checked here.
Result<std::pair<I2npHeader, I2npPayload>> decode_standard_message(encoding::Reader& r);

// The short header followed by the body.
Result<Bytes> encode_short_message(std::uint32_t msg_id, std::uint32_t expiration_s, const I2npPayload& payload);
// The same appended to w, so that a message can be written where it is sent from. On
// failure w may hold part of the message.
Result<void> encode_short_message_to(encoding::Writer& w, std::uint32_t msg_id, std::uint32_t expiration_s,
                                     const I2npPayload& payload);
// The body is every byte left in the reader.
Result<std::pair<I2npShortHeader, I2npPayload>> decode_short_message(encoding::Reader& r);

}  // namespace i2np
