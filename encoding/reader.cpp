#include "encoding/reader.h"

#include "encoding/text.h"

namespace encoding {

namespace {

template <typename T>
Result<T> read_be(Reader& r, std::size_t width, const char* op) {
  if (r.remaining() < width) return fail(EncodingError::Truncated, msg(op, ": unexpected EOF at ", r.pos));
  T v = 0;
  for (std::size_t i = 0; i < width; ++i) v = static_cast<T>((v << 8) | r.buf[r.pos + i]);
  r.pos += width;
  return v;
}

}  // namespace

Result<std::uint8_t> Reader::read_u8() { return read_be<std::uint8_t>(*this, 1, "read_u8"); }
Result<std::uint16_t> Reader::read_u16_be() { return read_be<std::uint16_t>(*this, 2, "read_u16_be"); }
Result<std::uint32_t> Reader::read_u32_be() { return read_be<std::uint32_t>(*this, 4, "read_u32_be"); }
Result<std::uint64_t> Reader::read_u64_be() { return read_be<std::uint64_t>(*this, 8, "read_u64_be"); }

Result<ByteView> Reader::read_view(std::int64_t n) {
  if (n < 0 || static_cast<std::uint64_t>(n) > remaining()) {
    return fail(EncodingError::Truncated, msg("read_bytes: need ", n, " bytes, have ", remaining()));
  }
  ByteView v = buf.subspan(pos, static_cast<std::size_t>(n));
  pos += static_cast<std::size_t>(n);
  return v;
}

Result<Bytes> Reader::read_bytes(std::int64_t n) {
  auto v = read_view(n);
  if (!v) return std::unexpected(std::move(v.error()));
  return Bytes(v->begin(), v->end());
}

Result<void> Reader::skip(std::int64_t n) {
  if (n < 0 || static_cast<std::uint64_t>(n) > remaining()) {
    return fail(EncodingError::Truncated, msg("skip: need ", n, " bytes, have ", remaining()));
  }
  pos += static_cast<std::size_t>(n);
  return {};
}

Bytes Reader::read_remaining() {
  Bytes out(buf.begin() + static_cast<std::ptrdiff_t>(pos), buf.end());
  pos = buf.size();
  return out;
}

Result<std::string> Reader::read_i2p_string() {
  auto len = read_u8();
  if (!len) return std::unexpected(std::move(len.error()));
  auto bytes = read_view(*len);
  if (!bytes) return std::unexpected(std::move(bytes.error()));
  return utf8_bytes_to_string(*bytes);
}

}  // namespace encoding
