#include "updater/file_ops.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "updater/path_buffer.h"
#include "updater/update_log.h"

namespace {

bool is_read_only_mode(const char* mode) { return mode[0] == 'r' && mode[1] != '+' && std::strcmp(mode, "rb+") != 0; }

// mkdir that accepts an existing folder (or a link to one).
bool make_dir(const char* path) {
  if (::mkdir(path, 0755) == 0) return true;
  if (errno != EEXIST) return false;
  struct stat st {};
  if (::stat(path, &st) == 0 && S_ISDIR(st.st_mode)) return true;
  errno = EEXIST;
  return false;
}

}  // namespace

bool path_exists(const char* path) {
  struct stat st {};
  return ::lstat(path, &st) == 0;
}

void make_writable(const char* path) {
  struct stat st {};
  if (::lstat(path, &st) != 0 || S_ISLNK(st.st_mode) || (st.st_mode & S_IWUSR) != 0) return;
  // Refuses, rather than follows, a link that replaced the entry since the lstat.
  ::fchmodat(AT_FDCWD, path, (st.st_mode & 07777) | S_IWUSR, AT_SYMLINK_NOFOLLOW);
}

int ensure_remove(const char* path) {
  make_writable(path);
  int rv = std::remove(path);
  if (rv != 0) update_log_printf("ensure_remove: failed to remove file: %s, rv: %d, err: %d", path, rv, errno);
  return rv;
}

UpdaterError ensure_parent_dir(const char* path) {
  PathBuffer prefix{};
  if (path[0] == '\0') return OK;
  for (std::size_t at = 1; path[at] != '\0'; ++at) {
    if (path[at] != '/') continue;
    if (at >= prefix.size()) {
      errno = ENAMETOOLONG;
    } else {
      std::memcpy(prefix.data(), path, at);
      prefix[at] = '\0';
      if (make_dir(prefix.data())) continue;
    }
    int err = errno;
    prefix.back() = '\0';
    update_log_printf("ensure_parent_dir: failed to create directory: %s, err: %d", prefix.data(), err);
    return WRITE_ERROR;
  }
  return OK;
}

UpdaterError rename_file(const char* source, const char* destination, bool dir_swap) {
  if (UpdaterError rv = ensure_parent_dir(destination); rv != OK) return rv;
  struct stat st {};
  // A dangling link is renamed as the link it is (a removed link's backup, and back).
  if (::stat(source, &st) != 0 && ::lstat(source, &st) != 0) {
    update_log_printf("rename_file: failed to read file status info: %s, err: %d", source, errno);
    return READ_ERROR;
  }
  if (!S_ISREG(st.st_mode)) {
    if (dir_swap && !S_ISDIR(st.st_mode)) {
      update_log_printf("rename_file: path present, but not a file: %s, err: %d", source, errno);
      return RENAME_NOT_A_FILE_ERROR;
    }
    update_log_printf("rename_file: proceeding to rename the directory");
  }
  if (path_exists(destination) && ensure_remove(destination) != 0) {
    update_log_printf("rename_file: destination file exists and could not be removed: %s", destination);
    return REMOVE_ERROR;
  }
  if (std::rename(source, destination) != 0) {
    update_log_printf("rename_file: failed to rename file - src: %s, dst:%s, err: %d", source, destination, errno);
    return WRITE_ERROR;
  }
  return OK;
}

std::FILE* open_file_with_mode(const char* path, const char* mode, mode_t file_mode) {
  bool read_only = is_read_only_mode(mode);
  // Reading needs no write bit; adding one would change the file being read.
  if (!read_only && path_exists(path)) make_writable(path);
  std::FILE* file = std::fopen(path, mode);
  if (read_only || file == nullptr) return file;
  struct stat st {};
  int fd = ::fileno(file);
  if (::fchmod(fd, file_mode & 07777) == 0 && ::fstat(fd, &st) == 0 && st.st_mode == file_mode) return file;
  std::fclose(file);
  return nullptr;
}
