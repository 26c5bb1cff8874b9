#include "encoding/i2cp_gzip.h"

#include "encoding/gzip.h"

namespace encoding {

namespace {

// The ports as MTIME bytes: big-endian, unlike every other gzip field.
std::array<std::uint8_t, 4> ports_mtime(std::uint16_t src_port, std::uint16_t dst_port) {
  return {static_cast<std::uint8_t>(src_port >> 8), static_cast<std::uint8_t>(src_port),
          static_cast<std::uint8_t>(dst_port >> 8), static_cast<std::uint8_t>(dst_port)};
}

}  // namespace

Bytes i2cp_gzip_wrap(ByteView payload, std::uint16_t src_port, std::uint16_t dst_port, std::uint8_t protocol) {
  return gzip_write_member(payload, ports_mtime(src_port, dst_port), protocol);
}

Bytes i2cp_gzip_wrap(ByteView payload, std::uint16_t src_port, std::uint16_t dst_port, std::uint8_t protocol,
                     Deflater& deflater) {
  return gzip_write_member(payload, ports_mtime(src_port, dst_port), protocol, deflater);
}

Result<I2cpGzipPayload> i2cp_gzip_unwrap(ByteView member) {
  auto m = gzip_read_member(member);
  if (!m) return std::unexpected(m.error());
  I2cpGzipHeader header{static_cast<std::uint16_t>(m->mtime[0] << 8 | m->mtime[1]),
                        static_cast<std::uint16_t>(m->mtime[2] << 8 | m->mtime[3]), m->os};
  return I2cpGzipPayload{header, std::move(m->payload)};
}

}  // namespace encoding
