#include "updater/file_via_temp.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

// Directory part plus "/temp.XXXXXX" and its NUL must stay well inside the path buffer.
constexpr std::size_t kMaxDirectoryLength = 4082;

}  // namespace

TempFile::TempFile(TempFile&& other) noexcept : stream(std::exchange(other.stream, nullptr)), path(other.path) {}

TempFile& TempFile::operator=(TempFile&& other) noexcept {
  if (this != &other) {
    discard_file_via_temp(*this);
    stream = std::exchange(other.stream, nullptr);
    path = other.path;
  }
  return *this;
}

TempFile::~TempFile() { discard_file_via_temp(*this); }

TempFile create_file_via_temp(const char* path) {
  TempFile file;
  const char* slash = path == nullptr ? nullptr : std::strrchr(path, '/');
  if (slash == nullptr) {
    errno = EINVAL;
    return file;
  }
  auto dir_length = static_cast<std::size_t>(slash - path);
  if (dir_length > kMaxDirectoryLength) {
    errno = ENAMETOOLONG;
    return file;
  }
  PathBuffer name{};
  std::memcpy(name.data(), path, dir_length);
  std::memcpy(name.data() + dir_length, "/temp.XXXXXX", 12);
  int fd = ::mkstemp(name.data());
  if (fd < 0) return file;
  std::FILE* stream = ::fdopen(fd, "w+");
  if (stream == nullptr) {
    int saved = errno;
    ::close(fd);
    ::unlink(name.data());
    errno = saved;
    return file;
  }
  file.stream = stream;
  file.path = name;
  return file;
}

CommitFailure commit_file_via_temp(TempFile& file, const char* path) {
  if (file.stream == nullptr) {
    errno = EBADF;
    return CommitFailure::write;
  }
  if (std::fflush(file.stream) != 0 || ::fsync(::fileno(file.stream)) != 0) {
    discard_file_via_temp(file);
    return CommitFailure::write;
  }
  int closed = std::fclose(std::exchange(file.stream, nullptr));
  if (closed != 0) {
    int saved = errno;
    ::unlink(file.path.data());
    errno = saved;
    return CommitFailure::close;
  }
  if (std::rename(file.path.data(), path) != 0) {
    int saved = errno;
    ::unlink(file.path.data());
    errno = saved;
    return CommitFailure::rename;
  }
  return CommitFailure::none;
}

void discard_file_via_temp(TempFile& file) {
  if (file.stream == nullptr) return;
  int saved = errno;
  std::fclose(std::exchange(file.stream, nullptr));
  ::unlink(file.path.data());
  errno = saved;
}
