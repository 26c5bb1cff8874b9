#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/files/file.h"
#include "base/files/file_util.h"

namespace base {

bool DoDeleteFile(const char* path) {
  struct stat st;
  int ret;
  if (File::Lstat(path, &st) == 0 && S_ISDIR(st.st_mode)) {
    ret = rmdir(path);
  } else {
    ret = unlink(path);
  }
  return ret == 0 || errno == ENOENT;
}

}  // namespace base
