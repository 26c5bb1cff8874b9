#include "encoding/gzip.h"

#include <algorithm>
#include <optional>

#include "encoding/crc32.h"
#include "encoding/deflate.h"
#include "encoding/inflate.h"
#include "encoding/writer.h"

namespace encoding {
namespace {

constexpr std::size_t header_size = 10;
constexpr std::size_t trailer_size = 8;
constexpr std::uint8_t flag_hcrc = 0x02;
constexpr std::uint8_t flag_extra = 0x04;
constexpr std::uint8_t flag_name = 0x08;
constexpr std::uint8_t flag_comment = 0x10;

// Index just past the zero that ends the string at start, or the end of the input when
// no zero follows.
std::size_t skip_zero_terminated(ByteView data, std::size_t start) {
  std::size_t p = start;
  while (p < data.size() && data[p] != 0) ++p;
  return p < data.size() ? p + 1 : p;
}

}  // namespace

Result<GzipMember> gzip_read_member(ByteView data, std::size_t max_output) {
  const std::size_t size = data.size();
  if (size < header_size + trailer_size) {
    return fail(EncodingError::Truncated, msg("gzip payload shorter than 18 bytes: ", size));
  }
  if (data[0] != 0x1F || data[1] != 0x8B || data[2] != 0x08) {
    return fail(EncodingError::InvalidData, "invalid gzip magic/method header");
  }
  const std::uint8_t flags = data[3];
  GzipMember member;
  member.mtime = {data[4], data[5], data[6], data[7]};
  member.os = data[9];

  std::size_t start = header_size;
  if (flags & flag_extra) {
    std::size_t xlen = data[10] | static_cast<std::size_t>(data[11]) << 8;
    start += 2 + xlen;
  }
  if (flags & flag_name) start = skip_zero_terminated(data, start);
  if (flags & flag_comment) start = skip_zero_terminated(data, start);
  if (flags & flag_hcrc) start += 2;
  if (start >= size - trailer_size) return fail(EncodingError::Truncated, "gzip header exceeds total length");

  auto inflated = inflate_raw_from(data, start, max_output);
  if (!inflated) return std::unexpected(inflated.error());
  const std::size_t end = inflated->end;  // the trailer reads below are bounds-checked here
  if (size - end < trailer_size) return fail(EncodingError::Truncated, "gzip 8-byte trailer truncated");
  if (*read_u32_le_bytes(data, end) != crc32(inflated->data)) {
    return fail(EncodingError::InvalidData, "gzip CRC-32 mismatch");
  }
  if (*read_u32_le_bytes(data, end + 4) != static_cast<std::uint32_t>(inflated->data.size())) {
    return fail(EncodingError::BadLength, "gzip ISIZE mismatch");
  }
  member.payload = std::move(inflated->data);
  return member;
}

namespace {

// The member of payload; kept is the caller's compressor, or null for one of its own made
// only when the payload is compressed.
Bytes write_member(ByteView payload, std::array<std::uint8_t, 4> mtime, std::uint8_t os, Deflater* kept) {
  // ID1 ID2 CM FLG, MTIME, XFL OS
  Bytes out = {0x1F, 0x8B, 0x08, 0x00, mtime[0], mtime[1], mtime[2], mtime[3], 2, os};
  const std::size_t stored_size = deflate_stored_size(payload.size());
  out.reserve(header_size + stored_size + trailer_size);
  // Most payloads (files, encrypted or already compressed data) do not shrink: they are
  // stored without running the compressor at all.
  if (payload.size() >= 16 && deflate_may_shrink(payload)) {
    std::optional<Deflater> own;
    Deflater& deflater = kept != nullptr ? *kept : own.emplace();
    deflater.compress(payload, out);
    if (stored_size < out.size() - header_size) {
      out.resize(header_size);
      deflate_stored_into(payload, out);
    }
  } else {
    deflate_stored_into(payload, out);
  }
  push_u32_le(out, crc32(payload));
  push_u32_le(out, static_cast<std::uint32_t>(payload.size()));
  return out;
}

}  // namespace

Bytes gzip_write_member(ByteView payload, std::array<std::uint8_t, 4> mtime, std::uint8_t os) {
  return write_member(payload, mtime, os, nullptr);
}

Bytes gzip_write_member(ByteView payload, std::array<std::uint8_t, 4> mtime, std::uint8_t os, Deflater& deflater) {
  return write_member(payload, mtime, os, &deflater);
}

Result<Bytes> gzip_decompress(ByteView data, std::size_t max_output) {
  auto member = gzip_read_member(data, max_output);
  if (!member) return std::unexpected(member.error());
  return std::move(member->payload);
}

}  // namespace encoding
