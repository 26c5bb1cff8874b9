#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "base/files/file.h"

namespace base {

File::File(std::FILE* stream) {
  if (stream == nullptr) {
    error_details_ = FILE_ERROR_FAILED;
    return;
  }
  int fd;
  do {
    fd = dup(fileno(stream));
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    error_details_ = OSErrorToFileError(errno);
    return;
  }
  file_.reset(fd);
  error_details_ = FILE_OK;
}

File::File(File&& other) noexcept
    : file_(std::move(other.file_)),
      path_(std::move(other.path_)),
      error_details_(other.error_details_),
      created_(other.created_),
      async_(other.async_) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    file_ = std::move(other.file_);
    path_ = std::move(other.path_);
    error_details_ = other.error_details_;
    created_ = other.created_;
    async_ = other.async_;
  }
  return *this;
}

File::~File() { Close(); }

void File::Close() {
  if (file_.is_valid()) file_.reset();
}

bool File::SetLength(std::int64_t length) {
  int ret;
  do {
    ret = ftruncate(file_.get(), static_cast<off_t>(length));
  } while (ret != 0 && errno == EINTR);
  return ret == 0;
}

int File::Fstat(int fd, struct stat* sb) { return fstat(fd, sb); }

int File::Lstat(const char* path, struct stat* sb) { return lstat(path, sb); }

File::Error File::OSErrorToFileError(int saved_errno) {
  switch (saved_errno) {
    case EPERM:
    case EACCES:
    case EISDIR:
    case EROFS: return FILE_ERROR_ACCESS_DENIED;
    case ENOENT: return FILE_ERROR_NOT_FOUND;
    case EBUSY:
    case ETXTBSY: return FILE_ERROR_IN_USE;
    case EEXIST: return FILE_ERROR_EXISTS;
    case ENOMEM: return FILE_ERROR_NO_MEMORY;
    case ENFILE:
    case EMFILE: return FILE_ERROR_TOO_MANY_OPENED;
    case ENOSPC: return FILE_ERROR_NO_SPACE;
    case ENOTDIR: return FILE_ERROR_NOT_A_DIRECTORY;
    case EIO: return FILE_ERROR_IO;
    default: return FILE_ERROR_FAILED;
  }
}

}  // namespace base
