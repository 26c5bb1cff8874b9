#pragma once
// A function run in a forked child process, for tests that change process-wide limits
// (descriptors) or would otherwise harm the test binary. The parent and the child talk over
// two pipes in lines of text; the parent learns the outcome only from those lines and the
// child's exit status, and every read of the parent has a time limit, so a child that hangs
// or dies fails the test instead of stalling it. The child never returns into the test
// framework: it ends with _exit.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>

namespace test_support {

// One end of the line channel.
class LineChannel {
 public:
  LineChannel() = default;
  LineChannel(int in_fd, int out_fd) : in_(in_fd), out_(out_fd) {}

  bool send(const std::string& line) const {
    const std::string text = line + "\n";
    std::size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = ::write(out_, text.data() + done, text.size() - done);
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  // The next line, or none when it did not come within timeout_ms (or the other side left).
  std::optional<std::string> receive(int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      const std::size_t lf = buffer_.find('\n');
      if (lf != std::string::npos) {
        std::string line = buffer_.substr(0, lf);
        buffer_.erase(0, lf + 1);
        return line;
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd p{in_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char chunk[256];
      const ssize_t n = ::read(in_, chunk, sizeof chunk);
      if (n <= 0) return std::nullopt;
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

  // True when a line is waiting now (never waits).
  bool has_line() {
    if (buffer_.find('\n') != std::string::npos) return true;
    pollfd p{in_, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) return false;
    char chunk[256];
    const ssize_t n = ::read(in_, chunk, sizeof chunk);
    if (n > 0) buffer_.append(chunk, static_cast<std::size_t>(n));
    return buffer_.find('\n') != std::string::npos;
  }

 private:
  int in_ = -1;
  int out_ = -1;
  std::string buffer_;
};

class ChildProcess {
 public:
  // Forks; the child runs body with its channel and exits with body's result.
  explicit ChildProcess(const std::function<int(LineChannel&)>& body) {
    int to_child[2], from_child[2];
    if (::pipe(to_child) != 0) return;
    if (::pipe(from_child) != 0) {
      ::close(to_child[0]);
      ::close(to_child[1]);
      return;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(to_child[1]);
      ::close(from_child[0]);
      LineChannel channel(to_child[0], from_child[1]);
      ::_exit(body(channel));
    }
    ::close(to_child[0]);
    ::close(from_child[1]);
    if (pid_ < 0) {
      ::close(to_child[1]);
      ::close(from_child[0]);
      return;
    }
    fds_[0] = from_child[0];
    fds_[1] = to_child[1];
    channel_ = LineChannel(from_child[0], to_child[1]);
  }

  ~ChildProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    for (int fd : fds_) {
      if (fd >= 0) ::close(fd);
    }
  }

  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }
  LineChannel& channel() { return channel_; }

  // The child's exit status once it ended within timeout_ms; none otherwise (it is killed).
  std::optional<int> wait(int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (pid_ > 0) {
      int status = 0;
      const pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        pid_ = -1;
        if (WIFEXITED(status)) return WEXITSTATUS(status);
        return std::nullopt;
      }
      if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
      ::usleep(10000);
    }
    return std::nullopt;
  }

 private:
  pid_t pid_ = -1;
  int fds_[2] = {-1, -1};
  LineChannel channel_;
};

}  // namespace test_support
