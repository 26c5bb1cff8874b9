#pragma once
// gzip members (RFC 1952) over the raw DEFLATE coder: whole byte strings in and out.
#include <array>
#include <cstddef>
#include <cstdint>

#include "encoding/bytes.h"
#include "encoding/deflate.h"
#include "encoding/deflate_tables.h"
#include "encoding/error.h"

namespace encoding {

// The header fields of a member that the router gives meaning to.
struct GzipMember {
  std::array<std::uint8_t, 4> mtime{};  // the MTIME bytes as they stand
  std::uint8_t os = 0;
  Bytes payload;
};

// Reads the first member of data: magic 1F 8B and method 8 required; the optional extra
// field, name, comment and header CRC are skipped unchecked; the DEFLATE data is inflated
// (at most 8 MiB, or the lower max_output a caller gives); CRC-32 and ISIZE are verified.
// Bytes after the trailer are ignored.
Result<GzipMember> gzip_read_member(ByteView data, std::size_t max_output = inflate_max_output);

// One member with no optional fields, XFL 2 and the given MTIME bytes and OS byte. A
// payload under 16 bytes is stored, and so is one that deflate_may_shrink judges
// incompressible; any other is compressed unless stored blocks come out strictly shorter.
Bytes gzip_write_member(ByteView payload, std::array<std::uint8_t, 4> mtime, std::uint8_t os);
// The same member, compressed with the caller's Deflater.
Bytes gzip_write_member(ByteView payload, std::array<std::uint8_t, 4> mtime, std::uint8_t os, Deflater& deflater);

// The payload of one gzip member; the header values are dropped.
Result<Bytes> gzip_decompress(ByteView data, std::size_t max_output = inflate_max_output);

}  // namespace encoding
