#include "updater/remove_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "updater/file_ops.h"
#include "updater/path_buffer.h"
#include "updater/update_log.h"

namespace {

constexpr int kOpenDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// The path of the entry being worked on, for log lines; one buffer for the whole walk
// keeps each level of the recursion small.
struct Walk {
  PathBuffer path{};
  std::size_t length = 0;
};

void log_open_failure(const char* path) {
  update_log_printf("ensure_remove_recursive: unable to open directory: %s, rv: %d, err: %d", path, 0, errno);
}

// Adds owner-write to the entry `name` of `dir_fd` unless it is a link.
void make_writable_at(int dir_fd, const char* name, const struct stat& st) {
  if (S_ISLNK(st.st_mode) || (st.st_mode & S_IWUSR) != 0) return;
  ::fchmodat(dir_fd, name, (st.st_mode & 07777) | S_IWUSR, AT_SYMLINK_NOFOLLOW);
}

int remove_entries(Walk& walk, int dir_fd, bool continue_on_error);

// Removes the entry `name` of the folder `dir_fd`; walk.path names that folder.
int remove_entry(Walk& walk, int dir_fd, const char* name) {
  std::size_t parent_length = walk.length;
  std::size_t name_length = std::strlen(name);
  if (parent_length + 1 + name_length >= walk.path.size()) {
    update_log_printf("ensure_remove_recursive: path too long: %s/%s", walk.path.data(), name);
    return -1;
  }
  walk.path[parent_length] = '/';
  std::memcpy(walk.path.data() + parent_length + 1, name, name_length + 1);
  walk.length = parent_length + 1 + name_length;

  int result = 0;
  struct stat st {};
  if (::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    result = -1;
  } else if (S_ISDIR(st.st_mode)) {
    int child_fd = ::openat(dir_fd, name, kOpenDirFlags);
    if (child_fd < 0) {
      log_open_failure(walk.path.data());
    } else {
      result = remove_entries(walk, child_fd, false);
      if (result == 0) {
        make_writable_at(dir_fd, name, st);
        result = ::unlinkat(dir_fd, name, AT_REMOVEDIR);
        if (result != 0) {
          update_log_printf("ensure_remove_recursive: unable to remove directory: %s, rv: %d, err: %d",
                            walk.path.data(), result, errno);
        }
      }
    }
  } else {
    make_writable_at(dir_fd, name, st);
    result = ::unlinkat(dir_fd, name, 0);
    if (result != 0) {
      update_log_printf("ensure_remove: failed to remove file: %s, rv: %d, err: %d", walk.path.data(), result, errno);
    }
  }
  walk.length = parent_length;
  walk.path[parent_length] = '\0';
  return result;
}

// Removes every entry of the folder `dir_fd` (taken over and closed).
int remove_entries(Walk& walk, int dir_fd, bool continue_on_error) {
  DIR* dir = ::fdopendir(dir_fd);
  if (dir == nullptr) {
    log_open_failure(walk.path.data());
    ::close(dir_fd);
    return 0;
  }
  int result = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    result = remove_entry(walk, ::dirfd(dir), entry->d_name);
    if (result != 0 && !continue_on_error) break;
  }
  ::closedir(dir);
  return result;
}

}  // namespace

int ensure_remove_recursive(const char* path, bool continue_on_error) {
  struct stat st {};
  if (::lstat(path, &st) != 0) return -1;
  if (!S_ISDIR(st.st_mode)) return ensure_remove(path);

  Walk walk;
  walk.length = std::strlen(path);
  if (walk.length >= walk.path.size()) {
    update_log_printf("ensure_remove_recursive: path too long: %.4095s", path);
    return -1;
  }
  std::memcpy(walk.path.data(), path, walk.length + 1);
  int dir_fd = ::open(path, kOpenDirFlags);
  if (dir_fd < 0) {
    log_open_failure(path);
    return 0;
  }
  if (int result = remove_entries(walk, dir_fd, continue_on_error); result != 0) return result;
  make_writable(path);
  int rv = ::rmdir(path);
  if (rv != 0) {
    update_log_printf("ensure_remove_recursive: unable to remove directory: %s, rv: %d, err: %d", path, rv, errno);
  }
  return rv;
}
