// Random bytes from the kernel: getrandom(2), which needs no descriptor, so a process at its
// descriptor limit can still make keys; the random device only where the call is missing.
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>

#include "ntcp2_net/glue.h"
#include "ntcp2_net/glue_detail.h"

using ntcp2_net::glue_detail::set_errno_error;
using ntcp2_net::glue_detail::set_error;

namespace {

// Fills buf from "/dev/urandom", opened afresh so that nothing is held between calls.
std::int32_t read_random_device(std::uint8_t* buf, std::int32_t count) {
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

}  // namespace

extern "C" std::int32_t ondrel_i2p_net_random_bytes(std::uint8_t* buf, std::int32_t count) {
  if (count < 0 || (count > 0 && buf == nullptr)) {
    set_error("invalid random_bytes arguments");
    return -1;
  }
  std::int32_t done = 0;
  while (done < count) {
    const ssize_t n = getrandom(buf + done, static_cast<std::size_t>(count - done), 0);
    if (n > 0) {
      done += static_cast<std::int32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == ENOSYS) return read_random_device(buf, count);
    set_errno_error(n < 0 ? errno : EIO);
    return -1;
  }
  return count;
}
