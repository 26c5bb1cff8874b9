// Random bytes from the kernel's random device.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "ntcp2_net/glue.h"
#include "ntcp2_net/glue_detail.h"

using ntcp2_net::glue_detail::set_errno_error;
using ntcp2_net::glue_detail::set_error;

extern "C" std::int32_t ondrel_i2p_net_random_bytes(std::uint8_t* buf, std::int32_t count) {
  if (count < 0 || (count > 0 && buf == nullptr)) {
    set_error("invalid random_bytes arguments");
    return -1;
  }
  // Opened afresh on every call, so nothing is held between calls.
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    set_errno_error(errno);
    return -1;
  }
  std::int32_t done = 0;
  while (done < count) {
    errno = 0;
    ssize_t n = read(fd, buf + done, static_cast<std::size_t>(count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // A read of 0 bytes sets no error number of its own.
      set_errno_error(n < 0 || errno != 0 ? errno : EIO);
      close(fd);
      return -1;
    }
    done += static_cast<std::int32_t>(n);
  }
  close(fd);
  return count;
}
