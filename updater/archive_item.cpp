#include "updater/archive_item.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "updater/new_file.h"
#include "updater/vpk_extract.h"
#include "updater/vpk_index.h"

UpdaterError extract_item_to_file(const char* name, const char* path) {
  VpkArchive* archive = vpk_archive();
  const VpkItem* item = archive == nullptr ? nullptr : vpk_find_item(archive, name);
  if (item == nullptr) return READ_ERROR;
  const int fd =
      ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, static_cast<mode_t>(item->flags & 07777));
  if (fd < 0) return WRITE_ERROR;
  std::FILE* out = ::fdopen(fd, "wb");
  if (out == nullptr) {
    ::close(fd);
    return WRITE_ERROR;
  }
  UpdaterError result = vpk_extract_item(item, out);
  if (!close_new_file(out) && result == OK) result = EXTRACT_WRITE_ERROR;
  return result;
}
