// Files and folders of the glue.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>

#include "ntcp2_net/glue.h"
#include "ntcp2_net/glue_detail.h"

using ntcp2_net::glue_detail::copy_arg;
using ntcp2_net::glue_detail::kMaxPathLen;
using ntcp2_net::glue_detail::set_errno_error;
using ntcp2_net::glue_detail::set_error;

namespace {

bool is_directory(const char* path) {
  struct stat st {};
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Whether offset + count stays within the range of file offsets.
bool range_fits(std::int64_t offset, std::int32_t count) {
  return offset >= 0 && count >= 0 && offset <= std::numeric_limits<std::int64_t>::max() - count;
}

// Reads from offset until capacity bytes or the end of the file, then closes fd; the
// count read or -1 with text.
std::int32_t read_at_and_close(int fd, std::int64_t offset, std::uint8_t* buf, std::int32_t capacity) {
  std::int32_t done = 0;
  while (done < capacity) {
    ssize_t n = pread(fd, buf + done, static_cast<std::size_t>(capacity - done), offset + done);
    if (n < 0) {
      if (errno == EINTR) continue;
      set_errno_error(errno);
      close(fd);
      return -1;
    }
    if (n == 0) break;
    done += static_cast<std::int32_t>(n);
  }
  close(fd);
  return done;
}

// Writes all count bytes at offset, then closes fd; 0 or -1 with text.
std::int32_t write_at_and_close(int fd, std::int64_t offset, const std::uint8_t* data, std::int32_t count) {
  std::int32_t done = 0;
  while (done < count) {
    ssize_t n = pwrite(fd, data + done, static_cast<std::size_t>(count - done), offset + done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      set_errno_error(n < 0 ? errno : EIO);
      close(fd);
      return -1;
    }
    done += static_cast<std::int32_t>(n);
  }
  // A failing close can be the first report of a lost write.
  if (close(fd) != 0) {
    set_errno_error(errno);
    return -1;
  }
  return 0;
}

// A path below a folder: the folder as given, and the segments below it.
struct BelowPath {
  char base[kMaxPathLen + 1];
  char rel[kMaxPathLen + 1];
  std::array<const char*, (kMaxPathLen + 1) / 2> segments{};
  std::size_t count = 0;
};

// Copies and splits the arguments; false, with text, when they break the contract.
bool parse_below(const std::uint8_t* base, std::int32_t base_len, const std::uint8_t* rel, std::int32_t rel_len,
                 BelowPath& out) {
  const bool ok = copy_arg(base, base_len, 1, kMaxPathLen, out.base) &&
                  copy_arg(rel, rel_len, 1, kMaxPathLen, out.rel) && base_len + 1 + rel_len <= kMaxPathLen;
  if (!ok) {
    set_error("invalid below-path arguments");
    return false;
  }
  char* start = out.rel;
  for (;;) {
    char* slash = std::strchr(start, '/');
    if (slash != nullptr) *slash = '\0';
    if (*start == '\0' || std::strcmp(start, ".") == 0 || std::strcmp(start, "..") == 0) {
      set_error("invalid below-path arguments");
      return false;
    }
    out.segments[out.count++] = start;
    if (slash == nullptr) return true;
    start = slash + 1;
  }
}

// The text for a failed open of one segment below dirfd: links are named as such.
void set_segment_error(int dirfd, const char* segment, int err) {
  struct stat st {};
  if (fstatat(dirfd, segment, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
    set_error("symbolic link refused");
  } else {
    set_errno_error(err);
  }
}

// The folder base, then the first n segments opened without following links; missing ones
// are created when create is set. A descriptor, or -1 with text.
int open_folder_below(const BelowPath& p, std::size_t n, bool create) {
  int fd = open(p.base, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    set_errno_error(errno);
    return -1;
  }
  for (std::size_t i = 0; i < n; ++i) {
    const char* segment = p.segments[i];
    int made_err = 0;
    if (create && mkdirat(fd, segment, 0755) != 0 && errno != EEXIST) made_err = errno;
    int next = openat(fd, segment, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) {
      const int err = errno;
      // A folder we could not create is reported by the mkdir's own error.
      if (made_err != 0 && err == ENOENT) {
        set_errno_error(made_err);
      } else {
        set_segment_error(fd, segment, err);
      }
      close(fd);
      return -1;
    }
    close(fd);
    fd = next;
  }
  return fd;
}

// The last segment opened without following links, as a regular file; -1 with text.
// O_NONBLOCK keeps a FIFO from making the open wait; regular files ignore it.
int open_file_below(const BelowPath& p, int flags) {
  const int dirfd = open_folder_below(p, p.count - 1, false);
  if (dirfd < 0) return -1;
  const char* name = p.segments[p.count - 1];
  const int fd = openat(dirfd, name, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) {
    set_segment_error(dirfd, name, errno);
    close(dirfd);
    return -1;
  }
  close(dirfd);
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    set_error("not a regular file");
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

extern "C" {

std::int32_t ondrel_i2p_net_file_size(const std::uint8_t* path, std::int32_t path_len) {
  char name[kMaxPathLen + 1];
  if (!copy_arg(path, path_len, 1, kMaxPathLen, name)) {
    set_error("invalid path length");
    return -1;
  }
  struct stat st {};
  if (stat(name, &st) != 0) {
    set_errno_error(errno);
    return -1;
  }
  // The size travels as a 32-bit count: refuse rather than wrap.
  if (st.st_size > std::numeric_limits<std::int32_t>::max()) {
    set_errno_error(EOVERFLOW);
    return -1;
  }
  return static_cast<std::int32_t>(st.st_size);
}

std::int32_t ondrel_i2p_net_read_file(const std::uint8_t* path, std::int32_t path_len, std::uint8_t* buf,
                                      std::int32_t capacity) {
  char name[kMaxPathLen + 1];
  if (!copy_arg(path, path_len, 1, kMaxPathLen, name)) {
    set_error("invalid path length");
    return -1;
  }
  if (capacity < 0 || (capacity > 0 && buf == nullptr)) {
    set_error("invalid read_file arguments");
    return -1;
  }
  return ondrel_i2p_net_read_file_at(path, path_len, 0, buf, capacity);
}

std::int32_t ondrel_i2p_net_read_file_at(const std::uint8_t* path, std::int32_t path_len, std::int64_t offset,
                                         std::uint8_t* buf, std::int32_t capacity) {
  char name[kMaxPathLen + 1];
  if (!copy_arg(path, path_len, 1, kMaxPathLen, name) || !range_fits(offset, capacity) ||
      (capacity > 0 && buf == nullptr)) {
    set_error("invalid read_file_at arguments");
    return -1;
  }
  int fd = open(name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    set_errno_error(errno);
    return -1;
  }
  return read_at_and_close(fd, offset, buf, capacity);
}

std::int32_t ondrel_i2p_net_write_file_at(const std::uint8_t* path, std::int32_t path_len, std::int64_t offset,
                                          const std::uint8_t* data, std::int32_t count) {
  char name[kMaxPathLen + 1];
  if (!copy_arg(path, path_len, 1, kMaxPathLen, name) || !range_fits(offset, count) || (count > 0 && data == nullptr)) {
    set_error("invalid write_file_at arguments");
    return -1;
  }
  int fd = open(name, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    set_errno_error(errno);
    return -1;
  }
  return write_at_and_close(fd, offset, data, count);
}

std::int32_t ondrel_i2p_net_mkdir_p(const std::uint8_t* path, std::int32_t path_len) {
  char dir[kMaxPathLen + 1];
  if (!copy_arg(path, path_len, 1, kMaxPathLen, dir)) {
    set_error("invalid directory path length");
    return -1;
  }
  // Parents first. A leading "/" is the root, not a separator. A parent that exists,
  // or that we may not create but can still traverse, is not an error here: the next
  // level reports the real problem.
  for (std::int32_t i = 1; i < path_len; ++i) {
    if (dir[i] != '/') continue;
    dir[i] = '\0';
    if (!is_directory(dir) && mkdir(dir, 0755) != 0) {
      int err = errno;
      if (err != EACCES && err != EEXIST && err != EISDIR && err != EROFS) {
        set_errno_error(err);
        return -1;
      }
    }
    dir[i] = '/';
  }
  if (is_directory(dir)) return 0;
  if (mkdir(dir, 0755) == 0) return 0;
  int err = errno;
  if (err == EEXIST) {
    // Something exists there; it only counts when it is a directory.
    if (is_directory(dir)) return 0;
    err = ENOTDIR;
  }
  set_errno_error(err);
  return -1;
}

std::int32_t ondrel_i2p_net_list_dir(const std::uint8_t* path, std::int32_t path_len, std::uint8_t* buf,
                                     std::int32_t capacity) {
  char name[kMaxPathLen + 1];
  if (!copy_arg(path, path_len, 1, kMaxPathLen, name) || capacity <= 0 || buf == nullptr) {
    set_error("invalid list_dir arguments");
    return -1;
  }
  DIR* dir = opendir(name);
  if (dir == nullptr) {
    set_errno_error(errno);
    return -1;
  }
  std::size_t used = 0;
  const auto cap = static_cast<std::size_t>(capacity);
  // A read error ends the listing like the end of the folder.
  while (const dirent* entry = readdir(dir)) {
    const char* entry_name = entry->d_name;
    if (std::strcmp(entry_name, ".") == 0 || std::strcmp(entry_name, "..") == 0) continue;
    std::size_t len = std::strlen(entry_name);
    if (len + 1 > cap - used) break;
    std::memcpy(buf + used, entry_name, len);
    buf[used + len] = '\n';
    used += len + 1;
  }
  closedir(dir);
  return static_cast<std::int32_t>(used);
}

std::int32_t ondrel_i2p_net_mkdir_below(const std::uint8_t* base, std::int32_t base_len, const std::uint8_t* rel,
                                        std::int32_t rel_len) {
  BelowPath p;
  if (!parse_below(base, base_len, rel, rel_len, p)) return -1;
  const int fd = open_folder_below(p, p.count, true);
  if (fd < 0) return -1;
  close(fd);
  return 0;
}

std::int32_t ondrel_i2p_net_write_file_below(const std::uint8_t* base, std::int32_t base_len, const std::uint8_t* rel,
                                             std::int32_t rel_len, std::int64_t offset, const std::uint8_t* data,
                                             std::int32_t count) {
  BelowPath p;
  if (!parse_below(base, base_len, rel, rel_len, p)) return -1;
  if (!range_fits(offset, count) || (count > 0 && data == nullptr)) {
    set_error("invalid write_file_at arguments");
    return -1;
  }
  const int fd = open_file_below(p, O_WRONLY | O_CREAT);
  if (fd < 0) return -1;
  return write_at_and_close(fd, offset, data, count);
}

std::int32_t ondrel_i2p_net_read_file_below(const std::uint8_t* base, std::int32_t base_len, const std::uint8_t* rel,
                                            std::int32_t rel_len, std::int64_t offset, std::uint8_t* buf,
                                            std::int32_t capacity) {
  BelowPath p;
  if (!parse_below(base, base_len, rel, rel_len, p)) return -1;
  if (!range_fits(offset, capacity) || (capacity > 0 && buf == nullptr)) {
    set_error("invalid read_file_at arguments");
    return -1;
  }
  const int fd = open_file_below(p, O_RDONLY);
  if (fd < 0) return -1;
  return read_at_and_close(fd, offset, buf, capacity);
}

}  // extern "C"
