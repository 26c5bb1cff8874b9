// The staged-update copy and the tree removal against cp -a and rm -rf in the same run.
//
// Input: an installation-like tree on tmpfs of 2,000 files (about 200 MiB, 40 folders of
// 50 files between 72 and 136 KiB), a few links and empty folders. The tmpfs is mounted
// for the run when that is allowed, else /dev/shm is used. Each copy or removal works on
// a fresh destination made outside the timed part.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/statfs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "updater/copy_tree.h"
#include "updater/remove_tree.h"

namespace {

constexpr long kTmpfsMagic = 0x01021994;

bool is_tmpfs(const std::string& path) {
  struct statfs fs {};
  return ::statfs(path.c_str(), &fs) == 0 && fs.f_type == kTmpfsMagic;
}

bool write_bytes(const std::string& path, const std::vector<char>& bytes, std::size_t size) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  bool ok = ::write(fd, bytes.data(), size) == static_cast<ssize_t>(size);
  return ::close(fd) == 0 && ok;
}

class Area {
 public:
  Area() {
    std::string pattern = "/tmp/updater_bench_XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) return;
    base_ = pattern;
    mounted_ = ::mount("tmpfs", base_.c_str(), "tmpfs", 0, "size=2g") == 0;
    if (!mounted_) {
      ::rmdir(base_.c_str());
      pattern = "/dev/shm/updater_bench_XXXXXX";
      if (!is_tmpfs("/dev/shm") || ::mkdtemp(pattern.data()) == nullptr) {
        base_.clear();
        return;
      }
      base_ = pattern;
    }
    ok_ = make_source();
  }
  ~Area() {
    if (base_.empty()) return;
    if (mounted_) {
      ::umount2(base_.c_str(), MNT_DETACH);
    } else {
      std::error_code ec;
      std::filesystem::remove_all(base_, ec);
    }
    ::rmdir(base_.c_str());
  }

  bool ok() const { return ok_; }
  std::string source() const { return base_ + "/install"; }
  std::string target() const { return base_ + "/target"; }

 private:
  bool make_source() {
    std::vector<char> bytes(140 * 1024);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 2654435761u) >> 13);
    std::string root = source();
    if (::mkdir(root.c_str(), 0755) != 0) return false;
    for (int d = 0; d < 40; ++d) {
      std::string dir = root + "/dir" + std::to_string(d);
      if (::mkdir(dir.c_str(), 0755) != 0) return false;
      for (int f = 0; f < 50; ++f) {
        int i = d * 50 + f;
        std::size_t size = 72 * 1024 + static_cast<std::size_t>((i * 7919) % (64 * 1024));
        if (!write_bytes(dir + "/file" + std::to_string(f) + ".bin", bytes, size)) return false;
      }
      ::mkdir((dir + "/empty").c_str(), 0755);
      ::symlink("file0.bin", (dir + "/link").c_str());
    }
    return true;
  }

  std::string base_;
  bool mounted_ = false;
  bool ok_ = false;
};

const Area& area() {
  static Area instance;
  return instance;
}

bool run(const std::string& command) { return std::system(command.c_str()) == 0; }

// Times `copy` making the target from the source; the target is removed untimed.
template <class Copy>
void copy_loop(benchmark::State& state, Copy copy) {
  const Area& a = area();
  if (!a.ok()) return state.SkipWithError("no tmpfs for the tree");
  for (auto _ : state) {
    if (!copy(a)) state.SkipWithError("copy failed");
    state.PauseTiming();
    run("rm -rf " + a.target());
    state.ResumeTiming();
  }
}

// Times `remove` on a target copied untimed from the source.
template <class Remove>
void remove_loop(benchmark::State& state, Remove remove) {
  const Area& a = area();
  if (!a.ok()) return state.SkipWithError("no tmpfs for the tree");
  for (auto _ : state) {
    state.PauseTiming();
    run("cp -a " + a.source() + " " + a.target());
    state.ResumeTiming();
    if (!remove(a)) state.SkipWithError("removal failed");
  }
}

void BM_EnsureCopy(benchmark::State& state) {
  copy_loop(state,
            [](const Area& a) { return ensure_copy(a.source().c_str(), a.target().c_str(), nullptr, nullptr) == OK; });
}

void BM_CpA(benchmark::State& state) {
  copy_loop(state, [](const Area& a) { return run("cp -a " + a.source() + " " + a.target()); });
}

void BM_EnsureRemoveRecursive(benchmark::State& state) {
  remove_loop(state, [](const Area& a) { return ensure_remove_recursive(a.target().c_str(), false) == 0; });
}

void BM_RmRf(benchmark::State& state) {
  remove_loop(state, [](const Area& a) { return run("rm -rf " + a.target()); });
}

}  // namespace

BENCHMARK(BM_EnsureCopy)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_CpA)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_EnsureRemoveRecursive)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_RmRf)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
