#pragma once
// Runs the built `updater` program (the build that trusts the test certificates) as a
// child process: its arguments, the argv[0] it is given, its environment and resource
// limits, its standard output and error captured in files of the test's own folder.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "tests/updater/test_util.h"

extern char** environ;

namespace program_test {

inline const std::string kProgram = ONDREL_UPDATER_PROGRAM;

struct Launch {
  std::vector<std::string> args;   // after argv[0]
  std::string program = kProgram;  // the file started
  std::string argv0 = kProgram;    // argv[0] as the program sees it
  // "NAME=value" entries, in place of inherited ones of the same name.
  std::vector<std::string> env;
  // Names removed from the inherited environment. By default the program finds no
  // display, so runs that are not about the window show none.
  std::vector<std::string> unset = {"DISPLAY", "WAYLAND_DISPLAY"};
  std::string cwd;  // empty: the test's own
  // A soft stack limit for the program (and so the default stack of its threads).
  std::optional<rlim_t> stack_limit;
};

// The program's environment: the test's own, without `unset`, with `env` and with what
// keeps GTK from looking for accessibility and session buses that a test does not have.
inline std::vector<std::string> program_environment(const Launch& launch) {
  std::vector<std::string> extra = {"NO_AT_BRIDGE=1", "DBUS_SESSION_BUS_ADDRESS=disabled:", "GDK_BACKEND=x11"};
  extra.insert(extra.end(), launch.env.begin(), launch.env.end());
  auto name_of = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
  std::vector<std::string> out;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = name_of(entry);
    bool drop = false;
    for (const auto& u : launch.unset) drop = drop || u == name;
    for (const auto& x : extra) drop = drop || name_of(x) == name;
    if (!drop) out.push_back(entry);
  }
  out.insert(out.end(), extra.begin(), extra.end());
  return out;
}

// One run of the program. Destroying a run that is still going kills it.
class Process {
 public:
  explicit Process(const Launch& launch) {
    std::vector<std::string> argv_text{launch.argv0};
    argv_text.insert(argv_text.end(), launch.args.begin(), launch.args.end());
    std::vector<char*> argv;
    for (auto& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_text = program_environment(launch);
    std::vector<char*> envp;
    for (auto& e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);
    const std::string out_path = dir_ / "stdout";
    const std::string err_path = dir_ / "stderr";
    const int out_fd = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int err_fd = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out_fd < 0 || err_fd < 0) return;

    // Everything the child needs is ready: after fork it only calls what is safe there.
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out_fd, 1);
      ::dup2(err_fd, 2);
      if (launch.stack_limit) {
        rlimit limit{};
        ::getrlimit(RLIMIT_STACK, &limit);
        limit.rlim_cur = *launch.stack_limit;
        if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < limit.rlim_cur) limit.rlim_max = limit.rlim_cur;
        if (::setrlimit(RLIMIT_STACK, &limit) != 0) ::_exit(126);
      }
      if (!launch.cwd.empty() && ::chdir(launch.cwd.c_str()) != 0) ::_exit(126);
      ::execve(launch.program.c_str(), argv.data(), envp.data());
      ::_exit(127);
    }
    ::close(out_fd);
    ::close(err_fd);
  }

  ~Process() { kill(); }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // Waits for the end and returns the exit code; nothing when the program was ended by a
  // signal, or was still running after `timeout_ms` (it is killed then).
  std::optional<int> wait(int timeout_ms = 120'000) {
    if (pid_ <= 0) return std::nullopt;
    for (int waited = 0;; waited += kPollMs) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        if (WIFEXITED(status)) return WEXITSTATUS(status);
        return std::nullopt;
      }
      if (waited >= timeout_ms) {
        kill();
        return std::nullopt;
      }
      ::usleep(kPollMs * 1000);
    }
  }

  // Ends the program at once with SIGKILL and reaps it.
  void kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  std::string out() const { return updater_test::read_file(dir_ / "stdout").value_or(""); }
  std::string err() const { return updater_test::read_file(dir_ / "stderr").value_or(""); }

 private:
  static constexpr int kPollMs = 5;
  updater_test::TempDir dir_;
  pid_t pid_ = -1;
};

struct Result {
  std::optional<int> code;  // none: ended by a signal or timed out
  std::string out;
  std::string err;
};

// Runs the program to its end.
inline Result run(const Launch& launch) {
  Process process(launch);
  Result result;
  result.code = process.wait();
  result.out = process.out();
  result.err = process.err();
  return result;
}

}  // namespace program_test
