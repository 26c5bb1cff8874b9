#include "updater/patch_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <memory>

#include "updater/file_buffer.h"
#include "updater/kestor_patcher.h"
#include "updater/new_file.h"
#include "updater/patcher.h"
#include "updater/qbdiff.h"
#include "updater/update_log.h"

namespace {

// The patcher of the first format whose header checks out, or null with its failure.
std::unique_ptr<Patcher> read_patch_header(std::FILE* patch, UpdaterError* error) {
  std::rewind(patch);
  std::unique_ptr<Patcher> patcher = std::make_unique<QbdiffPatcher>();
  if (patcher->ReadHeader(patch) == OK) return patcher;
  patcher = create_kestor_patcher();
  std::rewind(patch);
  *error = patcher->ReadHeader(patch);
  if (*error != OK) return nullptr;
  return patcher;
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Reads the whole file to patch and checks it against the patcher's size and CRC.
UpdaterError load_source(Patcher& patcher, const char* source_path, const char* relative_path, FileBuffer* buffer,
                         std::size_t* length) {
  File source(std::fopen(source_path, "rb"));
  if (!source) {
    update_log_printf("unable to open destination file: %s, err: %d", relative_path, errno);
    return READ_ERROR;
  }
  auto failed = [](UpdaterError e) {
    update_log_printf("LoadSourceFile failed");
    return e;
  };
  struct stat st {};
  if (::fstat(::fileno(source.get()), &st) != 0) {
    update_log_printf("LoadSourceFile: unable to stat destination file: %s, err: %d", relative_path, errno);
    return failed(READ_ERROR);
  }
  // The whole 64-bit size: a file of 4 GiB + 10 bytes does not match 10.
  const std::int64_t size = st.st_size;
  if (size != static_cast<std::int64_t>(patcher.SourceSize())) {
    update_log_printf("LoadSourceFile: destination file size %jd does not match expected size %jd",
                      static_cast<intmax_t>(size), static_cast<intmax_t>(patcher.SourceSize()));
    return failed(SOURCE_SIZE_ERROR);
  }
  const auto n = static_cast<std::size_t>(size);
  *buffer = allocate_file_buffer(n);
  if (!*buffer) return failed(FILE_MEMORY_ERROR);
  if (n > 0 && std::fread(buffer->get(), 1, n, source.get()) != n) {
    update_log_printf("LoadSourceFile: error reading destination file: %s", relative_path);
    return failed(READ_ERROR);
  }
  std::uint32_t crc = 0;
  if (UpdaterError e = patcher.ComputeCrc(buffer->get(), n, &crc); e != OK) {
    update_log_printf("LoadSourceFile: crc computation failed, err: %d", e);
    return failed(e);
  }
  if (crc != patcher.SourceCrc()) {
    update_log_printf("LoadSourceFile: destination file crc %u does not match expected crc %u", crc,
                      patcher.SourceCrc());
    return failed(CRC_ERROR);
  }
  *length = n;
  return OK;
}

}  // namespace

UpdaterError patch_file(std::FILE* patch, const char* source_path, const char* target_path, const char* relative_path) {
  UpdaterError result = OK;
  std::unique_ptr<Patcher> patcher = read_patch_header(patch, &result);
  if (!patcher) return result;

  FileBuffer source;
  std::size_t length = 0;
  if (UpdaterError e = load_source(*patcher, source_path, relative_path, &source, &length); e != OK) return e;

  struct stat st {};
  if (::stat(source_path, &st) != 0) {
    update_log_printf("failed to read file status info: %s, err: %d", source_path, errno);
    return READ_ERROR;
  }
  std::FILE* out = create_new_file(target_path, st.st_mode);
  if (out == nullptr) {
    update_log_printf("unable to create new file: %s, err: %d", target_path, errno);
    return CREATE_NEW_FILE_ERROR;
  }
  // Only a reservation: a disk that fills up shows in the writes or the flush below.
  (void)::posix_fallocate(::fileno(out), 0, static_cast<off_t>(patcher->DestSize()));

  result = patcher->Apply(source.get(), length, out);
  if (result == OK) result = patcher->Close();
  patcher.reset();
  source.reset();
  if (!close_new_file(out) && result == OK) result = PATCH_WRITE_ERROR;
  return result;
}
