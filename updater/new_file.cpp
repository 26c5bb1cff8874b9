#include "updater/new_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "updater/update_log.h"

std::FILE* create_new_file(const char* path, mode_t mode) {
  struct stat st {};
  if (::lstat(path, &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      errno = EISDIR;
      return nullptr;
    }
    if (::unlink(path) != 0) return nullptr;
  } else if (errno != ENOENT) {
    return nullptr;
  }
  // O_EXCL with O_NOFOLLOW: if anything appeared at the name meanwhile, fail rather than
  // write through it.
  const int fd = ::open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  // The creation mode passes through the umask; the file must get the old file's bits.
  if (::fchmod(fd, mode & 07777) == 0) {
    if (std::FILE* f = ::fdopen(fd, "wb+")) return f;
  }
  const int saved = errno;
  ::close(fd);
  ::unlink(path);
  errno = saved;
  return nullptr;
}

bool close_new_file(std::FILE* file) {
  const bool flushed = std::fflush(file) == 0;
  const bool closed = std::fclose(file) == 0;
  if (flushed && closed) return true;
  update_log_printf("File close did not execute successfully");
  return false;
}
