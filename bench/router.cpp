// The idle router: CPU time used over 10 s with nothing to do, and resident memory after
// start-up. Starts the built `router` program (beside this benchmark in the build tree) on
// free loopback ports and reads its figures from /proc. As a reference, the same figures of
// a process that only sleeps (`sleep`) are taken in the same run.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

std::string router_program() {
  return (std::filesystem::read_symlink("/proc/self/exe").parent_path() / ".." / "cmd" / "router" / "router").string();
}

pid_t spawn_quiet(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// User plus system CPU time of a process, in ms.
double cpu_ms(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), {});
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string f;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> f; ++i) {
    if (i == 14) utime = std::stoull(f);
    if (i == 15) stime = std::stoull(f);
  }
  return static_cast<double>(utime + stime) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double rss_kib(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6));
  }
  return 0;
}

void measure_idle(benchmark::State& state, std::vector<std::string> command) {
  for (auto _ : state) {
    const pid_t pid = spawn_quiet(command);
    if (pid <= 0) {
      state.SkipWithError("could not start the program");
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // start-up
    const double rss = rss_kib(pid);
    const double before = cpu_ms(pid);
    std::this_thread::sleep_for(std::chrono::seconds(10));
    const double used = cpu_ms(pid) - before;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    state.counters["cpu_ms_per_10s"] = used;
    state.counters["rss_kib_after_start"] = rss;
  }
}

void BM_IdleRouter(benchmark::State& state) { measure_idle(state, {router_program(), "--sam", "127.0.0.1:0"}); }

void BM_IdleReferenceSleep(benchmark::State& state) { measure_idle(state, {"sleep", "30"}); }

}  // namespace

BENCHMARK(BM_IdleRouter)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_IdleReferenceSleep)->Iterations(1)->Unit(benchmark::kSecond);
