#pragma once
// What the progress-window tests need: an X server of their own, the environment that
// keeps GTK from looking for buses a test does not have, and an icon file.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "test_util.h"

namespace updater_test {

// Xvfb picks a free display number itself (-displayfd), so tests running side by side
// never meet, and it is stopped by its pid when the test ends.
class Xvfb {
 public:
  Xvfb() {
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0) return;
    const std::string fd_text = std::to_string(pipe_fds[1]);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(pipe_fds[0]);
      const int null_fd = ::open("/dev/null", O_RDWR);
      if (null_fd >= 0) {
        ::dup2(null_fd, 0);
        ::dup2(null_fd, 1);
        ::dup2(null_fd, 2);
      }
      ::execlp("Xvfb", "Xvfb", "-displayfd", fd_text.c_str(), "-screen", "0", "800x600x24", "-nolisten", "tcp",
               "-noreset", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(pipe_fds[1]);
    if (pid_ < 0) {
      ::close(pipe_fds[0]);
      return;
    }
    // The display number and a newline, once the server takes connections.
    std::string number;
    for (;;) {
      pollfd p{pipe_fds[0], POLLIN, 0};
      if (::poll(&p, 1, kStartTimeoutMs) <= 0) break;
      char c = 0;
      if (::read(pipe_fds[0], &c, 1) != 1 || c == '\n') break;
      number.push_back(c);
    }
    ::close(pipe_fds[0]);
    if (!number.empty()) display_ = ":" + number;
  }

  ~Xvfb() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < kStopPolls; ++i) {
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) return;
      ::usleep(10'000);
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }

  Xvfb(const Xvfb&) = delete;
  Xvfb& operator=(const Xvfb&) = delete;

  // ":N", or empty when the server did not start.
  const std::string& display() const { return display_; }

 private:
  static constexpr int kStartTimeoutMs = 30'000;
  static constexpr int kStopPolls = 1000;
  pid_t pid_ = -1;
  std::string display_;
};

// GTK without an accessibility bus, a session bus or another backend than X.
inline void set_gtk_test_environment(const std::string& display) {
  ::setenv("DISPLAY", display.c_str(), 1);
  ::setenv("NO_AT_BRIDGE", "1", 1);
  ::setenv("DBUS_SESSION_BUS_ADDRESS", "disabled:", 1);
  ::setenv("GDK_BACKEND", "x11", 1);
}

// A `size` x `size` PNG of one colour, written by python3's zlib, not by the image library
// the window loads it with. False when python3 failed.
inline bool write_test_icon(const std::string& path, int size) {
  const std::string script =
      "import struct, sys, zlib\n"
      "n = int(sys.argv[2])\n"
      "def chunk(t, d): return struct.pack('>I', len(d)) + t + d + struct.pack('>I', zlib.crc32(t + d))\n"
      "rows = b''.join(b'\\0' + b'\\x20\\x60\\xc0' * n for _ in range(n))\n"
      "png = b'\\x89PNG\\r\\n\\x1a\\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', n, n, 8, 2, 0, 0, 0))\n"
      "png += chunk(b'IDAT', zlib.compress(rows)) + chunk(b'IEND', b'')\n"
      "open(sys.argv[1], 'wb').write(png)\n";
  const std::string python = std::filesystem::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
  std::string cmd = python;
  cmd += " -c ";
  cmd += shell_quote(script);
  cmd += " ";
  cmd += shell_quote(path);
  cmd += " ";
  cmd += std::to_string(size);
  return run_command(cmd).status == 0;
}

}  // namespace updater_test
