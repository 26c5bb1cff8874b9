#include "base/files/scoped_file.h"

#include <unistd.h>

#include <cerrno>

#include "base/check.h"

namespace base::internal {

void ScopedFDCloseTraits::Free(int fd) {
  int ret = close(fd);
  if (ret != 0 && errno == EINTR) ret = 0;
  if (ret != 0 && errno == EBADF) {
    int err = errno;
    logging::ErrnoLogMessage message(StripSourceRoot(__FILE__), __LINE__, logging::LOGGING_FATAL, err);
    message.stream() << "Check failed: "
                     << "0 == ret"
                     << ". ";
  }
}

}  // namespace base::internal
