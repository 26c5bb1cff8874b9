#include "i2np/message.h"

#include "crypto/sha256.h"
#include "encoding/writer.h"

namespace i2np {

namespace {

std::uint8_t checksum_of(ByteView body) { return crypto::sha256(body)[0]; }

}  // namespace

// Header and body are written into one buffer: the size and checksum fields are filled in
// once the body is there.
Result<Bytes> encode_standard_message(std::uint32_t msg_id, std::uint64_t expiration_ms, const I2npPayload& payload) {
  encoding::Writer w(I2npHeader::kSize + payload.body_size_hint());
  w.write_u8(payload.msg_type().byte());
  w.write_u32_be(msg_id);
  w.write_u64_be(expiration_ms);
  w.write_u16_be(0);
  w.write_u8(0);
  if (auto ok = payload.encode_body_to(w); !ok) return std::unexpected(std::move(ok.error()));
  const ByteView body = ByteView(w.buf).subspan(I2npHeader::kSize);
  if (body.size() > 65535) return fail(I2npError::Invalid, "I2NP message body exceeds 65535 bytes");
  w.buf[13] = static_cast<std::uint8_t>(body.size() >> 8);
  w.buf[14] = static_cast<std::uint8_t>(body.size());
  w.buf[15] = checksum_of(body);
  return std::move(w.buf);
}

Result<std::pair<I2npHeader, I2npPayload>> decode_standard_message(encoding::Reader& r) {
  I2npHeader h;
  auto type = r.read_u8();
  if (!type) return wrap(I2npError::Encoding, std::move(type.error()));
  h.msg_type = I2npMessageType::from_byte(*type);
  auto msg_id = r.read_u32_be();
  if (!msg_id) return wrap(I2npError::Encoding, std::move(msg_id.error()));
  h.msg_id = *msg_id;
  auto expiration = r.read_u64_be();
  if (!expiration) return wrap(I2npError::Encoding, std::move(expiration.error()));
  h.expiration = *expiration;
  auto size = r.read_u16_be();
  if (!size) return wrap(I2npError::Encoding, std::move(size.error()));
  h.size = *size;
  auto checksum = r.read_u8();
  if (!checksum) return wrap(I2npError::Encoding, std::move(checksum.error()));
  h.checksum = *checksum;

  auto body = r.read_view(h.size);
  if (!body) return wrap(I2npError::Encoding, std::move(body.error()));
  std::uint8_t computed = checksum_of(*body);
  if (computed != h.checksum) return fail(I2npError::ChecksumMismatch, h.checksum, computed);

  auto payload = I2npPayload::decode_body(h.msg_type, *body);
  if (!payload) return std::unexpected(std::move(payload.error()));
  return std::pair{h, std::move(*payload)};
}

Result<void> encode_short_message_to(encoding::Writer& w, std::uint32_t msg_id, std::uint32_t expiration_s,
                                     const I2npPayload& payload) {
  w.write_u8(payload.msg_type().byte());
  w.write_u32_be(msg_id);
  w.write_u32_be(expiration_s);
  return payload.encode_body_to(w);
}

Result<Bytes> encode_short_message(std::uint32_t msg_id, std::uint32_t expiration_s, const I2npPayload& payload) {
  encoding::Writer w(I2npShortHeader::kSize + payload.body_size_hint());
  if (auto ok = encode_short_message_to(w, msg_id, expiration_s, payload); !ok)
    return std::unexpected(std::move(ok.error()));
  return std::move(w.buf);
}

Result<std::pair<I2npShortHeader, I2npPayload>> decode_short_message(encoding::Reader& r) {
  I2npShortHeader h;
  auto type = r.read_u8();
  if (!type) return wrap(I2npError::Encoding, std::move(type.error()));
  h.msg_type = I2npMessageType::from_byte(*type);
  auto msg_id = r.read_u32_be();
  if (!msg_id) return wrap(I2npError::Encoding, std::move(msg_id.error()));
  h.msg_id = *msg_id;
  auto expiration = r.read_u32_be();
  if (!expiration) return wrap(I2npError::Encoding, std::move(expiration.error()));
  h.expiration = *expiration;

  ByteView body = r.buf.subspan(r.pos);
  r.pos = r.buf.size();
  auto payload = I2npPayload::decode_body(h.msg_type, body);
  if (!payload) return std::unexpected(std::move(payload.error()));
  return std::pair{h, std::move(*payload)};
}

}  // namespace i2np
