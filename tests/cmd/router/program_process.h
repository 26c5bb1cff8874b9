#pragma once
// Starts the built `router` program as a child process and reads its standard output.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <poll.h>
#include <stdlib.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace program_test {

class RouterProcess {
 public:
  // Starts the program with the arguments; extra_env entries ("NAME=value") are added to
  // the environment, in place of inherited entries of the same name.
  explicit RouterProcess(const std::vector<std::string>& args, const std::vector<std::string>& extra_env = {}) {
    int out[2];
    if (pipe(out) != 0) return;
    // Standard error goes to a file, so that a talkative program never blocks on it.
    char err_path[] = "/tmp/router_program_stderr_XXXXXX";
    err_fd_ = mkstemp(err_path);
    if (err_fd_ < 0) return;
    unlink(err_path);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err_fd_, 2);
    posix_spawn_file_actions_addclose(&actions, out[0]);

    std::vector<std::string> argv_text{ONDREL_ROUTER_PROGRAM};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);

    // An extra entry replaces the inherited one of the same name (PATH, for instance).
    std::vector<std::string> env_text;
    for (char** e = environ; *e; ++e) {
      const std::string entry(*e);
      const std::string name = entry.substr(0, entry.find('=') + 1);
      bool replaced = false;
      for (const auto& extra : extra_env) replaced = replaced || extra.rfind(name, 0) == 0;
      if (!replaced) env_text.push_back(entry);
    }
    env_text.insert(env_text.end(), extra_env.begin(), extra_env.end());
    std::vector<char*> envp;
    for (auto& e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);

    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    out_fd_ = out[0];
  }

  RouterProcess(const RouterProcess&) = delete;
  RouterProcess& operator=(const RouterProcess&) = delete;

  ~RouterProcess() {
    kill_and_wait();
    if (out_fd_ >= 0) ::close(out_fd_);
    if (err_fd_ >= 0) ::close(err_fd_);
  }

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // Reads standard output until a line starting with `prefix` arrived, the program closed
  // its output, or the time-out passed. Returns every line read so far.
  const std::vector<std::string>& read_until(const std::string& prefix, int timeout_ms = 20000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!has_line_starting(prefix) && !out_closed_) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{out_fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      char buf[4096];
      ssize_t n = ::read(out_fd_, buf, sizeof buf);
      if (n <= 0) {
        out_closed_ = true;
        break;
      }
      partial_.append(buf, static_cast<std::size_t>(n));
      for (std::size_t lf; (lf = partial_.find('\n')) != std::string::npos;) {
        lines_.push_back(partial_.substr(0, lf));
        partial_.erase(0, lf + 1);
      }
    }
    return lines_;
  }

  // Reads all output until the program ends, then its exit status (none on time-out or
  // when it was ended by a signal).
  std::optional<int> wait_exit(int timeout_ms = 20000) {
    read_until("\x01never", timeout_ms);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        pid_ = -1;
        if (WIFEXITED(status)) return WEXITSTATUS(status);
        return std::nullopt;
      }
      usleep(10000);
    }
    return std::nullopt;
  }

  bool running() {
    if (pid_ <= 0) return false;
    int status = 0;
    return waitpid(pid_, &status, WNOHANG) == 0;
  }

  // Standard error read after the program ended.
  std::string read_stderr() {
    std::string text;
    char buf[4096];
    lseek(err_fd_, 0, SEEK_SET);
    for (ssize_t n; (n = ::read(err_fd_, buf, sizeof buf)) > 0;) text.append(buf, static_cast<std::size_t>(n));
    return text;
  }

  const std::vector<std::string>& lines() const { return lines_; }

  void kill_and_wait() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  bool has_line_starting(const std::string& prefix) const {
    for (const auto& l : lines_) {
      if (l.rfind(prefix, 0) == 0) return true;
    }
    return false;
  }

  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  bool out_closed_ = false;
  std::string partial_;
  std::vector<std::string> lines_;
};

}  // namespace program_test
