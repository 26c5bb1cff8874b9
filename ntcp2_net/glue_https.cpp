// HTTPS downloads through the external `curl` program.
#include <fcntl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "ntcp2_net/glue.h"
#include "ntcp2_net/glue_detail.h"

using ntcp2_net::glue_detail::copy_arg;
using ntcp2_net::glue_detail::kMaxUrlLen;
using ntcp2_net::glue_detail::kMinUrlLen;
using ntcp2_net::glue_detail::set_errno_error;
using ntcp2_net::glue_detail::set_error;

namespace {

constexpr char kFetchFailed[] = "curl HTTPS fetch failed";

// Runs in the forked child: stdout to the pipe, stderr to /dev/null, then curl.
// Only async-signal-safe calls; never returns.
[[noreturn]] void exec_curl(int read_end, int write_end, char* const* argv) {
  if (write_end != STDOUT_FILENO) {
    if (dup2(write_end, STDOUT_FILENO) < 0) _exit(127);
  } else {
    fcntl(STDOUT_FILENO, F_SETFD, 0);  // keep it across exec
  }
  if (read_end != STDOUT_FILENO) close(read_end);
  if (write_end != STDOUT_FILENO) close(write_end);

  int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (devnull >= 0) {
    if (devnull != STDERR_FILENO) {
      dup2(devnull, STDERR_FILENO);
      close(devnull);
    } else {
      fcntl(STDERR_FILENO, F_SETFD, 0);
    }
  }
  execvp("curl", argv);
  _exit(127);
}

// Reaps the child; true only for a normal exit with status 0.
bool wait_success(pid_t pid) {
  int status = 0;
  for (;;) {
    pid_t r = waitpid(pid, &status, 0);
    if (r == pid) break;
    if (r < 0 && errno == EINTR) continue;
    return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Reads one byte more from the pipe: true when the body goes on past the buffer.
bool has_more(int fd) {
  std::uint8_t extra = 0;
  for (;;) {
    ssize_t n = read(fd, &extra, 1);
    if (n < 0 && errno == EINTR) continue;
    return n > 0;
  }
}

}  // namespace

extern "C" std::int32_t ondrel_i2p_net_fetch_https(const std::uint8_t* url, std::int32_t url_len, std::uint8_t* buf,
                                                   std::int32_t capacity) {
  char target[kMaxUrlLen + 1];
  if (url == nullptr || url_len < kMinUrlLen || url_len > kMaxUrlLen || capacity <= 0 || buf == nullptr) {
    set_error("invalid https url");
    return -1;
  }
  if (std::memcmp(url, "https://", 8) != 0) {
    set_error("reseed URL must start with https://");
    return -1;
  }
  for (std::int32_t i = 0; i < url_len; ++i) {
    if (url[i] <= 0x20 || url[i] == 0x7F) {
      set_error("reseed URL contains control or whitespace character");
      return -1;
    }
  }
  copy_arg(url, url_len, kMinUrlLen, kMaxUrlLen, target);  // checked above: cannot fail

  // HTTPS only, for the first request and for every redirect: the download is the
  // only protection of what it carries.
  const char* const args[] = {
      "curl",    "-fsSL",   "-A",     "Wget/1.11.4",   "--max-time", "25",   "--max-filesize",
      "2097152", "--proto", "=https", "--proto-redir", "=https",     target, nullptr,
  };

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    set_errno_error(errno);
    return -1;
  }
  pid_t pid = fork();
  if (pid < 0) {
    int err = errno;
    close(fds[0]);
    close(fds[1]);
    set_errno_error(err);
    return -1;
  }
  if (pid == 0) exec_curl(fds[0], fds[1], const_cast<char* const*>(args));

  close(fds[1]);
  std::int32_t done = 0;
  while (done < capacity) {
    ssize_t n = read(fds[0], buf + done, static_cast<std::size_t>(capacity - done));
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      close(fds[0]);
      wait_success(pid);
      set_errno_error(err);
      return -1;
    }
    if (n == 0) break;
    done += static_cast<std::int32_t>(n);
  }
  // A full buffer is only the whole body when curl has nothing more to say; a larger
  // body is refused rather than cut.
  bool overflow = done == capacity && has_more(fds[0]);
  close(fds[0]);
  bool ok = wait_success(pid);
  if (overflow || !ok) {
    set_error(kFetchFailed);
    return -1;
  }
  return done;
}
