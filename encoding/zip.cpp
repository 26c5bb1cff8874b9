#include "encoding/zip.h"

#include <algorithm>
#include <cstdint>
#include <unordered_set>

#include "encoding/crc32.h"
#include "encoding/inflate.h"
#include "encoding/text.h"

namespace encoding {

namespace {

constexpr std::size_t kEndRecordSize = 22;
constexpr std::size_t kMaxCommentSize = 65535;
constexpr std::size_t kCentralEntrySize = 46;
constexpr std::size_t kLocalHeaderSize = 30;
constexpr std::uint64_t kMaxOffset = std::uint64_t{1} << 31;

std::uint16_t u16_at(ByteView b, std::size_t at) { return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8); }
std::uint32_t u32_at(ByteView b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
         static_cast<std::uint32_t>(b[at + 2]) << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}
bool signature_at(ByteView b, std::size_t at, std::uint8_t third, std::uint8_t fourth) {
  return b[at] == 0x50 && b[at + 1] == 0x4B && b[at + 2] == third && b[at + 3] == fourth;
}

}  // namespace

Result<std::vector<ZipEntry>> zip_extract_entries(ByteView archive, const ZipLimits& limits) {
  const std::size_t len = archive.size();
  if (len < kEndRecordSize) return fail(EncodingError::BadLength, "ZIP archive shorter than 22 bytes");

  // The end record sits before a comment of at most 65,535 bytes; take the last one found.
  const std::size_t lowest = len > kEndRecordSize + kMaxCommentSize ? len - kEndRecordSize - kMaxCommentSize : 0;
  std::size_t end_record = len;
  for (std::size_t p = len - kEndRecordSize + 1; p-- > lowest;) {
    if (signature_at(archive, p, 0x05, 0x06)) {
      end_record = p;
      break;
    }
  }
  if (end_record == len) return fail(EncodingError::InvalidData, "ZIP End-of-Central-Directory signature not found");

  const std::size_t count = u16_at(archive, end_record + 10);
  const std::uint64_t directory = u32_at(archive, end_record + 16);
  if (directory > end_record || directory >= kMaxOffset) {
    return fail(EncodingError::BadLength, "ZIP Central Directory offset out of range");
  }

  std::vector<ZipEntry> entries;
  std::unordered_set<std::uint32_t> local_headers;
  std::size_t total = 0;
  std::size_t p = static_cast<std::size_t>(directory);
  for (std::size_t i = 0; i < count; ++i) {
    if (len - p < kCentralEntrySize || !signature_at(archive, p, 0x01, 0x02)) {
      return fail(EncodingError::InvalidData, "invalid ZIP Central Directory entry signature");
    }
    const std::uint16_t method = u16_at(archive, p + 10);
    const std::uint32_t crc = u32_at(archive, p + 16);
    const std::uint32_t compressed_size = u32_at(archive, p + 20);
    const std::uint32_t uncompressed_size = u32_at(archive, p + 24);
    const std::size_t name_len = u16_at(archive, p + 28);
    const std::size_t next = p + kCentralEntrySize + name_len + u16_at(archive, p + 30) + u16_at(archive, p + 32);
    const std::uint64_t local = u32_at(archive, p + 42);
    if (next > len) return fail(EncodingError::Truncated, "ZIP Central Directory entry truncated");
    auto name = utf8_bytes_to_string(archive.subspan(p + kCentralEntrySize, name_len));
    if (!name) return std::unexpected(std::move(name.error()));
    p = next;

    if (name->ends_with('/')) continue;  // a folder
    if (!name->ends_with(limits.name_suffix)) continue;

    if (uncompressed_size > limits.max_entry_size) {
      return fail(EncodingError::LimitExceeded, msg("ZIP entry uncompressed size too large for ", *name));
    }
    if (!local_headers.insert(static_cast<std::uint32_t>(local)).second) {
      return fail(EncodingError::InvalidData, msg("ZIP entries share a Local File Header: ", *name));
    }
    if (local >= kMaxOffset || local + kLocalHeaderSize > len || !signature_at(archive, local, 0x03, 0x04)) {
      return fail(EncodingError::InvalidData, "invalid ZIP Local File Header");
    }
    const std::uint64_t data_start =
        local + kLocalHeaderSize + u16_at(archive, local + 26) + u16_at(archive, local + 28);
    if (data_start + compressed_size > len) return fail(EncodingError::Truncated, "ZIP entry data truncated");
    ByteView data = archive.subspan(static_cast<std::size_t>(data_start), compressed_size);

    Bytes out;
    if (method == 0) {
      out.assign(data.begin(), data.end());
    } else if (method == 8) {
      // A stream that inflates past its declared size is stopped there instead of running
      // on to the inflater's general limit.
      const std::size_t limit = std::size_t{uncompressed_size} + 1;
      auto inflated = inflate_raw_from(data, 0, limit);
      if (!inflated && inflated.error().is(EncodingError::LimitExceeded) && limit < inflate_max_output) {
        return fail(EncodingError::BadLength, msg("ZIP entry uncompressed size mismatch for ", *name));
      }
      if (!inflated) return std::unexpected(std::move(inflated.error()));
      out = std::move(inflated->data);
    } else {
      return fail(EncodingError::InvalidData, msg("unsupported ZIP compression method: ", method));
    }
    if (out.size() != uncompressed_size) {
      return fail(EncodingError::BadLength, msg("ZIP entry uncompressed size mismatch for ", *name));
    }
    if (crc32(out) != crc) return fail(EncodingError::InvalidData, msg("ZIP entry CRC-32 mismatch for ", *name));
    total += out.size();
    if (total > limits.max_total_size) {
      return fail(EncodingError::LimitExceeded, msg("ZIP extracted data exceeds ", limits.max_total_size, " bytes"));
    }
    entries.push_back(ZipEntry{std::move(*name), std::move(out)});
  }
  return entries;
}

}  // namespace encoding
