#include "updater/vpk_archive.h"

#include <sys/mman.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "updater/path_buffer.h"

namespace {

// 256 KiB each; a buffer that cannot be had at that size falls back to 1 KiB for good.
std::size_t g_in_size = 262'144;
std::size_t g_out_size = 262'144;
constexpr std::size_t kFallbackBufferSize = 1024;

struct VpkHolder {
  VpkArchive* archive = nullptr;
  std::uint8_t* in = nullptr;
  std::uint8_t* out = nullptr;
  bool exit_handler = false;
};
VpkHolder g_holder;

std::uint8_t* allocate_buffer(std::size_t& size) {
  auto* p = static_cast<std::uint8_t*>(std::malloc(size));
  if (p == nullptr && size != kFallbackBufferSize) {
    size = kFallbackBufferSize;
    p = static_cast<std::uint8_t*>(std::malloc(size));
  }
  return p;
}

// The archive is read whole into fresh memory: with huge pages the kernel fills it in
// 2 MiB steps instead of one fault per 4 KiB page, which makes reading a large archive
// several times faster. Only a hint; nothing depends on it.
void prefer_huge_pages(std::uint8_t* data, std::uint64_t size) {
  constexpr std::uintptr_t kHuge = 2u << 20;
  const auto begin = (reinterpret_cast<std::uintptr_t>(data) + kHuge - 1) & ~(kHuge - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(data) + size) & ~(kHuge - 1);
  if (end > begin) (void)::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

void free_archive(VpkArchive* archive) {
  if (archive == nullptr) return;
  for (VpkItem* head : archive->buckets) {
    while (head != nullptr) {
      VpkItem* next = head->next;
      std::free(head);
      head = next;
    }
  }
  while (archive->ranges != nullptr) {
    VpkRange* next = archive->ranges->next;
    delete archive->ranges;
    archive->ranges = next;
  }
  std::free(archive->data);
  delete archive;
}

// Reads the open file whole into the new archive; the file stays open.
UpdaterError read_archive(std::FILE* f, VpkArchive* archive) {
  std::uint64_t size = kVpkMaxSize;
  off_t end = -1;
  if (fseeko(f, 0, SEEK_END) == 0) end = ftello(f);
  if (end < 0) {
    std::fprintf(stderr, "Warning: VPK size could not be determined\n");
  } else {
    size = static_cast<std::uint64_t>(end);
  }
  if (size > kVpkMaxSize) {
    std::fprintf(stderr, "ERROR: VPK exceeds maximum size (%lli)\n", static_cast<long long>(size));
    return READ_ERROR;
  }
  // A position that cannot be reset is a stream being read from where it stands.
  (void)fseeko(f, 0, SEEK_SET);

  archive->data = static_cast<std::uint8_t*>(std::malloc(size != 0 ? size : 1));
  if (archive->data == nullptr) {
    std::fprintf(stderr, "ERROR: VPK buffer could not be allocated\n");
    return ARCHIVE_MEMORY_ERROR;
  }
  prefer_huge_pages(archive->data, size);
  archive->size = std::fread(archive->data, 1, size, f);
  if (std::fgetc(f) != EOF) {
    std::fprintf(stderr, "ERROR: File is larger than buffer (%lli)\n", static_cast<long long>(size));
    return READ_ERROR;
  }
  if (std::ferror(f) != 0) {
    std::fprintf(stderr, "ERROR: Failed to read VPK\n");
    return READ_ERROR;
  }
  return OK;
}

}  // namespace

VpkArchive* vpk_archive() { return g_holder.archive; }

VpkBuffers vpk_buffers() {
  return {g_holder.in, g_holder.in != nullptr ? g_in_size : 0, g_holder.out, g_holder.out != nullptr ? g_out_size : 0};
}

void vpk_close() {
  free_archive(g_holder.archive);
  g_holder.archive = nullptr;
  std::free(g_holder.in);
  std::free(g_holder.out);
  g_holder.in = nullptr;
  g_holder.out = nullptr;
}

UpdaterError vpk_open(const char* patch_dir) {
  // The buffers of the archive open before are kept: they would come back the same.
  free_archive(g_holder.archive);
  g_holder.archive = nullptr;
  if (!g_holder.exit_handler) {
    g_holder.exit_handler = std::atexit(vpk_close) == 0;
  }

  if (g_holder.in == nullptr) g_holder.in = allocate_buffer(g_in_size);
  if (g_holder.out == nullptr) g_holder.out = allocate_buffer(g_out_size);
  if (g_holder.in == nullptr || g_holder.out == nullptr) return ARCHIVE_MEMORY_ERROR;

  PathBuffer path;
  // A cut path would name another file.
  const bool whole = format_path(path, "%s/update.vpk", patch_dir);
  if (!whole) errno = ENAMETOOLONG;
  std::FILE* f = whole ? std::fopen(path.data(), "rb") : nullptr;
  if (f == nullptr) {
    std::fprintf(stderr, "ERROR: could not open file in vpk_open()\n");
    std::perror(path.data());
    return READ_ERROR;
  }

  auto* archive = new (std::nothrow) VpkArchive{};
  if (archive == nullptr) {
    std::fclose(f);
    return ARCHIVE_MEMORY_ERROR;
  }
  UpdaterError rv = read_archive(f, archive);
  std::fclose(f);
  if (rv != OK) {
    free_archive(archive);
    return rv;
  }
  g_holder.archive = archive;
  return OK;
}
