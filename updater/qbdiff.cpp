#include "updater/qbdiff.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "updater/crc32_bzip2.h"
#include "updater/file_buffer.h"

namespace {

constexpr std::int64_t kMaxPatchFileSize = std::int64_t{1} << 31;
// Sums of source and diff bytes are formed in a chunk of this size and written at once.
constexpr std::size_t kAddChunk = 128 * 1024;

std::uint32_t load_be32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return __builtin_bswap32(v);
}

// out[i] = a[i] + b[i] modulo 256, sixteen bytes at a time.
void add_bytes(std::uint8_t* out, const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
  using V = std::uint8_t __attribute__((vector_size(16)));
  std::size_t i = 0;
  for (; i + 4 * sizeof(V) <= n; i += 4 * sizeof(V)) {
    V x[4], y[4];
    std::memcpy(x, a + i, sizeof x);
    std::memcpy(y, b + i, sizeof y);
    for (int k = 0; k < 4; ++k) x[k] += y[k];
    std::memcpy(out + i, x, sizeof x);
  }
  for (; i < n; ++i) out[i] = static_cast<std::uint8_t>(a[i] + b[i]);
}

bool write_all(std::FILE* out, const std::uint8_t* data, std::size_t n) {
  return n == 0 || std::fwrite(data, 1, n, out) == n;
}

}  // namespace

UpdaterError read_qbdiff_header(std::FILE* patch, QbdiffHeader* header) {
  std::uint8_t raw[kQbdiffHeaderSize];
  if (std::fread(raw, 1, sizeof raw, patch) != sizeof raw) return READ_ERROR;
  std::memcpy(header->magic, raw, sizeof header->magic);
  header->source_length = load_be32(raw + 8);
  header->source_crc = load_be32(raw + 12);
  header->dest_length = load_be32(raw + 16);
  header->control_length = load_be32(raw + 20);
  header->diff_length = load_be32(raw + 24);
  header->extra_length = load_be32(raw + 28);

  struct stat st {};
  if (::fstat(::fileno(patch), &st) != 0) return READ_ERROR;
  const std::int64_t file_size = st.st_size;

  if (std::memcmp(header->magic, "QBDIFF10", 8) != 0) return CORRUPT_PATCH_ERROR;
  if (file_size >= kMaxPatchFileSize || file_size < static_cast<std::int64_t>(kQbdiffHeaderSize)) {
    return CORRUPT_PATCH_ERROR;
  }
  std::int64_t remaining = file_size - static_cast<std::int64_t>(kQbdiffHeaderSize);
  if (header->control_length > remaining) return CORRUPT_PATCH_ERROR;
  remaining -= header->control_length;
  if (header->diff_length > remaining) return CORRUPT_PATCH_ERROR;
  remaining -= header->diff_length;
  if (header->extra_length != remaining) return CORRUPT_PATCH_ERROR;
  return OK;
}

UpdaterError apply_qbdiff_blocks(const QbdiffHeader& header, const std::uint8_t* blocks, const std::uint8_t* source,
                                 std::size_t source_length, std::FILE* out) {
  if (header.control_length % kQbdiffTripleSize != 0) return CORRUPT_PATCH_ERROR;
  const std::uint8_t* control = blocks;
  const std::uint8_t* diff = control + header.control_length;
  const std::uint8_t* extra = diff + header.diff_length;

  const auto source_end = static_cast<std::int64_t>(source_length);
  const std::int64_t diff_end = header.diff_length;
  const std::int64_t extra_end = header.extra_length;
  const std::int64_t dest_end = header.dest_length;
  std::int64_t source_pos = 0, diff_pos = 0, extra_pos = 0, written = 0;

  std::unique_ptr<std::uint8_t[]> chunk;
  for (std::size_t at = 0; at < header.control_length; at += kQbdiffTripleSize) {
    const std::int64_t add = load_be32(control + at);
    const std::int64_t copy = load_be32(control + at + 4);
    const std::int64_t seek = static_cast<std::int32_t>(load_be32(control + at + 8));

    // Every bound of the triple before any of its bytes is written.
    if (add > source_end - source_pos || add > diff_end - diff_pos) return CORRUPT_PATCH_ERROR;
    if (copy > extra_end - extra_pos) return CORRUPT_PATCH_ERROR;
    if (add > dest_end - written || copy > dest_end - written - add) return CORRUPT_PATCH_ERROR;
    const std::int64_t next_source_pos = source_pos + add + seek;
    if (next_source_pos < 0 || next_source_pos > source_end) return CORRUPT_PATCH_ERROR;

    if (add > 0 && !chunk) {
      chunk.reset(new (std::nothrow) std::uint8_t[kAddChunk]);
      if (!chunk) return PATCH_MEMORY_ERROR;
    }
    for (std::int64_t done = 0; done < add;) {
      const auto n = static_cast<std::size_t>(std::min<std::int64_t>(add - done, kAddChunk));
      add_bytes(chunk.get(), source + source_pos + done, diff + diff_pos + done, n);
      if (!write_all(out, chunk.get(), n)) return PATCH_WRITE_ERROR;
      done += static_cast<std::int64_t>(n);
    }
    if (!write_all(out, extra + extra_pos, static_cast<std::size_t>(copy))) return PATCH_WRITE_ERROR;

    source_pos = next_source_pos;
    diff_pos += add;
    extra_pos += copy;
    written += add + copy;
  }
  // The new file was reserved at its full length: a short output would keep a zero tail.
  if (written != dest_end) return CORRUPT_PATCH_ERROR;
  return OK;
}

UpdaterError QbdiffPatcher::ComputeCrc(const std::uint8_t* buffer, std::size_t length, std::uint32_t* crc) {
  *crc = crc32_bzip2(buffer, length);
  return OK;
}

UpdaterError QbdiffPatcher::ReadHeader(std::FILE* patch) {
  patch_ = patch;
  return read_qbdiff_header(patch, &header_);
}

UpdaterError QbdiffPatcher::Apply(const std::uint8_t* source, std::size_t length, std::FILE* out) {
  if (patch_ == nullptr) return READ_ERROR;
  // ReadHeader proved that the blocks fill the rest of a file shorter than 2^31 bytes.
  const std::size_t total = std::size_t{header_.control_length} + header_.diff_length + header_.extra_length;
  FileBuffer blocks = allocate_file_buffer(total);
  if (!blocks) return PATCH_MEMORY_ERROR;
  if (::fseeko(patch_, static_cast<off_t>(kQbdiffHeaderSize), SEEK_SET) != 0) return READ_ERROR;
  if (total > 0 && std::fread(blocks.get(), 1, total, patch_) != total) return READ_ERROR;
  return apply_qbdiff_blocks(header_, blocks.get(), source, length, out);
}
