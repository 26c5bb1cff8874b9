#include "updater/copy_tree.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "updater/file_ops.h"
#include "updater/path_buffer.h"
#include "updater/update_log.h"

namespace {

constexpr std::size_t kCopyBufferSize = 32768;
constexpr const char kDraftSuffix[] = ".vex-draft";
constexpr std::size_t kDraftSuffixLength = sizeof kDraftSuffix - 1;

// One path that grows and shrinks with the walk, so each level of the recursion
// stays small however deep the tree is.
struct WalkPath {
  PathBuffer text{};
  std::size_t length = 0;

  bool set(const char* path) {
    length = std::strlen(path);
    if (length >= text.size()) return false;
    std::memcpy(text.data(), path, length + 1);
    return true;
  }
  // Appends "/name"; false, leaving the path as it was, when it does not fit.
  bool push(const char* name, std::size_t name_length) {
    if (length + 1 + name_length >= text.size()) return false;
    text[length] = '/';
    std::memcpy(text.data() + length + 1, name, name_length + 1);
    length += 1 + name_length;
    return true;
  }
  void pop(std::size_t to) {
    length = to;
    text[to] = '\0';
  }
  const char* c_str() const { return text.data(); }
};

struct Copy {
  WalkPath source;
  WalkPath destination;
  const char* skip1 = nullptr;
  const char* skip2 = nullptr;
  char* buffer = nullptr;
};

bool is_draft_name(const char* name, std::size_t length) {
  return length >= kDraftSuffixLength + 1 && ::strcasecmp(name + length - kDraftSuffixLength, kDraftSuffix) == 0;
}

bool is_skipped(const Copy& copy, const char* name, std::size_t name_length) {
  const char* path = copy.source.c_str();
  return (copy.skip1 != nullptr && ::strcasecmp(path, copy.skip1) == 0) ||
         (copy.skip2 != nullptr && ::strcasecmp(path, copy.skip2) == 0) || is_draft_name(name, name_length);
}

UpdaterError copy_file(Copy& copy) {
  const char* source = copy.source.c_str();
  const char* destination = copy.destination.c_str();
  struct stat st {};
  if (::lstat(source, &st) != 0) {
    update_log_printf("ensure_copy: failed to read file status info: %s, err: %d", source, errno);
    return READ_ERROR;
  }
  // Opening a pipe or a device would wait or read without end.
  if (!S_ISREG(st.st_mode)) {
    update_log_printf("ensure_copy: not a regular file: %s", source);
    return READ_ERROR;
  }
  std::FILE* in = open_file_with_mode(source, "rb", 0);
  if (in == nullptr) {
    update_log_printf("ensure_copy: failed to open the file for reading: %s, err: %d", source, errno);
    return READ_ERROR;
  }
  std::FILE* out = open_file_with_mode(destination, "wb", st.st_mode);
  if (out == nullptr) {
    update_log_printf("ensure_copy: failed to open the file for writing: %s, err: %d", destination, errno);
    std::fclose(in);
    return WRITE_ERROR;
  }
  UpdaterError result = OK;
  for (;;) {
    std::size_t got = std::fread(copy.buffer, 1, kCopyBufferSize, in);
    if (std::ferror(in)) {
      update_log_printf("ensure_copy: failed to read the file: %s, err: %d", source, errno);
      result = READ_ERROR;
      break;
    }
    std::size_t done = 0;
    while (done < got) {
      std::size_t wrote = std::fwrite(copy.buffer + done, 1, got - done, out);
      if (wrote == 0) break;
      done += wrote;
    }
    if (done < got) {
      update_log_printf("ensure_copy: failed to write the file: %s, err: %d", destination, errno);
      result = COPY_WRITE_ERROR;
      break;
    }
    if (got < kCopyBufferSize && std::feof(in)) {
      result = ::fchmod(::fileno(out), st.st_mode & 07777);
      break;
    }
  }
  if (std::fclose(in) != 0) update_log_printf("File close did not execute successfully");
  // The last buffered bytes reach the file only here: a failure is a failed copy.
  if (std::fclose(out) != 0) {
    update_log_printf("File close did not execute successfully");
    if (result == OK) result = COPY_WRITE_ERROR;
  }
  return result;
}

UpdaterError copy_entry(Copy& copy);

UpdaterError copy_dir(Copy& copy, const struct stat& st) {
  const char* source = copy.source.c_str();
  if (::mkdir(copy.destination.c_str(), st.st_mode) != 0 && errno != EEXIST) {
    update_log_printf("ensure_copy_recursive: could not create destination directory: %s, rv: %d, err: %d", source, -1,
                      errno);
    return WRITE_ERROR;
  }
  DIR* dir = ::opendir(source);
  if (dir == nullptr) {
    update_log_printf("ensure_copy_recursive: path is not a directory: %s, rv: %d, err: %d", source, -1, errno);
    return READ_ERROR;
  }
  std::size_t source_length = copy.source.length;
  std::size_t destination_length = copy.destination.length;
  UpdaterError result = OK;
  while (const dirent* entry = ::readdir(dir)) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    std::size_t name_length = std::strlen(name);
    if (!copy.source.push(name, name_length)) {
      update_log_printf("ensure_copy_recursive: path too long: %s/%s", copy.source.c_str(), name);
      result = PATH_TOO_LONG_ERROR;
      break;
    }
    if (is_skipped(copy, name, name_length)) {
      copy.source.pop(source_length);
      continue;
    }
    if (!copy.destination.push(name, name_length)) {
      update_log_printf("ensure_copy_recursive: path too long: %s/%s", copy.destination.c_str(), name);
      copy.source.pop(source_length);
      result = PATH_TOO_LONG_ERROR;
      break;
    }
    result = copy_entry(copy);
    copy.source.pop(source_length);
    copy.destination.pop(destination_length);
    if (result != OK) break;
  }
  ::closedir(dir);
  return result;
}

UpdaterError copy_entry(Copy& copy) {
  struct stat st {};
  if (::lstat(copy.source.c_str(), &st) != 0) {
    update_log_printf("ensure_copy_recursive: path doesn't exist: %s, rv: %d, err: %d", copy.source.c_str(), -1, errno);
    return READ_ERROR;
  }
  if (S_ISDIR(st.st_mode)) return copy_dir(copy, st);
  if (S_ISLNK(st.st_mode)) return ensure_copy_symlink(copy.source.c_str(), copy.destination.c_str());
  return copy_file(copy);
}

}  // namespace

UpdaterError ensure_copy(const char* source, const char* destination, const char* skip1, const char* skip2) {
  Copy copy;
  if (!copy.source.set(source) || !copy.destination.set(destination)) {
    update_log_printf("ensure_copy_recursive: path too long: %.4095s", source);
    return PATH_TOO_LONG_ERROR;
  }
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kCopyBufferSize]);
  if (!buffer) return FILE_MEMORY_ERROR;
  copy.buffer = buffer.get();
  copy.skip1 = skip1;
  copy.skip2 = skip2;
  return copy_entry(copy);
}

UpdaterError ensure_copy_symlink(const char* link, const char* new_link) {
  char target[kPathBufferSize + 1] = {};
  if (::readlink(link, target, kPathBufferSize) < 0) {
    update_log_printf("ensure_copy_symlink: failed to read the link: %s, err: %d", link, errno);
    return READ_ERROR;
  }
  if (::symlink(target, new_link) != 0) {
    update_log_printf("ensure_copy_symlink: failed to create the new link: %s, target: %s err: %d", new_link, target,
                      errno);
    return READ_ERROR;
  }
  return OK;
}
