#pragma once
// A program run by a test as a child process, its standard output collected without
// waiting, so that the test can step routers while the program talks to them.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

namespace test_support {

// A program run as a child process with its standard output in a pipe; its exit status
// is collected without waiting.
class Spawned {
 public:
  explicit Spawned(std::vector<std::string> argv_text) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<char*> argv;
    for (std::string& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    out_ = out[0];
    ::fcntl(out_, F_SETFL, ::fcntl(out_, F_GETFL) | O_NONBLOCK);
  }
  ~Spawned() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
  }
  Spawned(const Spawned&) = delete;
  Spawned& operator=(const Spawned&) = delete;

  bool started() const { return pid_ > 0; }
  // True once the program has ended (its output is then read whole).
  bool finished() {
    drain();
    if (pid_ <= 0) return true;
    if (!exited_) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
      exited_ = true;
      exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      drain();
    }
    return true;
  }

  std::string output;
  int exit_status = -1;

 private:
  void drain() {
    char buf[4096];
    for (;;) {
      const ssize_t n = ::read(out_, buf, sizeof buf);
      if (n <= 0) return;
      output.append(buf, static_cast<std::size_t>(n));
    }
  }

  pid_t pid_ = -1;
  int out_ = -1;
  bool exited_ = false;
};

}  // namespace test_support
