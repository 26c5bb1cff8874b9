#pragma once
// An open file: an owned descriptor and, when it is not valid, the error that made it so.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "base/files/scoped_file.h"

namespace base {

class File {
 public:
  // Why a file is not valid, from the errno of the failed call.
  enum Error : std::int32_t {
    FILE_OK = 0,
    FILE_ERROR_FAILED = -1,
    FILE_ERROR_IN_USE = -2,
    FILE_ERROR_EXISTS = -3,
    FILE_ERROR_NOT_FOUND = -4,
    FILE_ERROR_ACCESS_DENIED = -5,
    FILE_ERROR_TOO_MANY_OPENED = -6,
    FILE_ERROR_NO_MEMORY = -7,
    FILE_ERROR_NO_SPACE = -8,
    FILE_ERROR_NOT_A_DIRECTORY = -9,
    FILE_ERROR_IO = -16,
  };

  File() = default;
  // Holds a duplicate of the stream's descriptor; the stream stays the caller's. A null
  // stream, or a failed dup, gives an invalid File with its error.
  explicit File(std::FILE* stream);
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  bool IsValid() const { return file_.is_valid(); }
  int GetPlatformFile() const { return file_.get(); }
  Error error_details() const { return error_details_; }
  const std::string& path() const { return path_; }

  // Closes the descriptor when there is one.
  void Close();
  // ftruncate, retried on EINTR.
  bool SetLength(std::int64_t length);

  static int Fstat(int fd, struct stat* sb);
  static int Lstat(const char* path, struct stat* sb);
  static Error OSErrorToFileError(int saved_errno);

 private:
  ScopedFD file_;
  std::string path_;
  Error error_details_ = FILE_ERROR_FAILED;
  bool created_ = false;
  bool async_ = false;
};

}  // namespace base
