// Files and folders of the glue.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
  struct stat st{};
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Whether offset + count stays within the range of file offsets.
bool range_fits(std::int64_t offset, std::int32_t count) {
  return offset >= 0 && count >= 0 && offset <= std::numeric_limits<std::int64_t>::max() - count;
}

}  // namespace

extern "C" {

std::int32_t ondrel_i2p_net_file_size(const std::uint8_t* path, std::int32_t path_len) {
  char name[kMaxPathLen + 1];
  if (!copy_arg(path, path_len, 1, kMaxPathLen, name)) {
    set_error("invalid path length");
    return -1;
  }
  struct stat st{};
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

std::int32_t ondrel_i2p_net_write_file_at(const std::uint8_t* path, std::int32_t path_len, std::int64_t offset,
                                          const std::uint8_t* data, std::int32_t count) {
  char name[kMaxPathLen + 1];
  if (!copy_arg(path, path_len, 1, kMaxPathLen, name) || !range_fits(offset, count) ||
      (count > 0 && data == nullptr)) {
    set_error("invalid write_file_at arguments");
    return -1;
  }
  int fd = open(name, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    set_errno_error(errno);
    return -1;
  }
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

}  // extern "C"
