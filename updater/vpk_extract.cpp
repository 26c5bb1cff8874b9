#include "updater/vpk_extract.h"

#include <lzma.h>

#include <algorithm>
#include <cstring>

namespace {

bool accepted_check(lzma_check check) {
  return check == LZMA_CHECK_NONE || check == LZMA_CHECK_CRC32 || check == LZMA_CHECK_CRC64;
}

struct DecoderGuard {
  lzma_stream* stream;
  ~DecoderGuard() { lzma_end(stream); }
};

bool flush(std::FILE* out, const std::uint8_t* buf, std::size_t n) {
  return n == 0 || std::fwrite(buf, 1, n, out) == n;
}

}  // namespace

UpdaterError vpk_extract_item(const VpkItem* item, std::FILE* out) {
  lzma_stream strm = LZMA_STREAM_INIT;
  if (lzma_stream_decoder(&strm, kVpkDecoderMemLimit, LZMA_TELL_ANY_CHECK) != LZMA_OK) return EXTRACT_ERROR;
  DecoderGuard guard{&strm};
  if (item == nullptr) return READ_ERROR;
  if (item->length == 0) return EMPTY_ITEM_ERROR;

  const VpkArchive* archive = vpk_archive();
  const VpkBuffers buf = vpk_buffers();
  if (archive == nullptr || buf.in == nullptr || buf.out == nullptr) return READ_ERROR;

  std::uint64_t copied = 0;
  strm.next_out = buf.out;
  strm.avail_out = buf.out_size;
  for (;;) {
    if (strm.avail_in == 0 && copied < item->length) {
      const std::uint64_t start = static_cast<std::uint64_t>(item->offset) + copied;
      if (start >= archive->size) return READ_ERROR;
      const std::uint64_t n = std::min<std::uint64_t>({buf.in_size, item->length - copied, archive->size - start});
      std::memcpy(buf.in, archive->data + start, n);
      strm.next_in = buf.in;
      strm.avail_in = n;
      copied += n;
    }
    // Once the whole item is in, the decoder is told so: a stream cut short then fails
    // instead of waiting for more.
    const lzma_ret ret = lzma_code(&strm, copied == item->length ? LZMA_FINISH : LZMA_RUN);
    if (ret == LZMA_GET_CHECK) {
      if (!accepted_check(lzma_get_check(&strm))) return EXTRACT_ERROR;
      continue;
    }
    if (ret != LZMA_OK && ret != LZMA_STREAM_END) {
      return ret == LZMA_MEM_ERROR ? ARCHIVE_MEMORY_ERROR : EXTRACT_ERROR;
    }
    if (strm.avail_out == 0 || ret == LZMA_STREAM_END) {
      if (!flush(out, buf.out, buf.out_size - strm.avail_out)) return EXTRACT_WRITE_ERROR;
      strm.next_out = buf.out;
      strm.avail_out = buf.out_size;
    }
    if (ret == LZMA_STREAM_END) return OK;
  }
}
