#pragma once
// The I2CP envelope: one gzip member whose MTIME field carries the source and destination
// ports (big-endian, unlike every other gzip field) and whose OS byte carries the protocol.
#include <cstdint>

#include "encoding/bytes.h"
#include "encoding/deflate.h"
#include "encoding/error.h"

namespace encoding {

struct I2cpGzipHeader {
  std::uint16_t src_port = 0;
  std::uint16_t dst_port = 0;
  std::uint8_t protocol = 0;  // 6 streaming, 17 repliable datagram, 18 raw datagram, 0 RouterInfo

  friend bool operator==(const I2cpGzipHeader&, const I2cpGzipHeader&) = default;
};

struct I2cpGzipPayload {
  I2cpGzipHeader header;
  Bytes payload;
};

Bytes i2cp_gzip_wrap(ByteView payload, std::uint16_t src_port, std::uint16_t dst_port, std::uint8_t protocol);
// The same envelope, compressed with the caller's Deflater (one kept per stream saves
// setting up the compressor's tables for each packet).
Bytes i2cp_gzip_wrap(ByteView payload, std::uint16_t src_port, std::uint16_t dst_port, std::uint8_t protocol,
                     Deflater& deflater);

// Fails with the errors of gzip_read_member.
Result<I2cpGzipPayload> i2cp_gzip_unwrap(ByteView member);

}  // namespace encoding
