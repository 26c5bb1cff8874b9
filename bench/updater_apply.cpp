// A whole update run by the `updater` program against `tar -xJf` of the same files, in the
// same run: an update adding 1,000 files (100 MiB in all, 100 KiB each, in 20 folders)
// to an installation, and the extraction of a tar.xz archive of those files into an empty
// folder. Both decode XZ streams made with `xz -1` and write the files; the updater also
// checks the archive's RSA-4096 signature (SHA-384 over all of it), writes each file as
// a draft and renames it into place, and keeps its log and status file.
//
// Both run as programs, started and waited for in the timed part; the folders they write
// into are emptied outside it. The files, the signed archive (tests/support/vpk_writer.py)
// and the tar.xz are made by the first run (about half a minute).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "updater_bench_util.h"

namespace {

namespace fs = std::filesystem;

constexpr int kFiles = 1000;
constexpr int kFolders = 20;
constexpr std::size_t kFileSize = 100u << 10;  // 1,000 of them: about 100 MiB

using updater_bench::python;
using updater_bench::run;

std::string file_name(int i) { return "lib" + std::to_string(i % kFolders) + "/file" + std::to_string(i) + ".dat"; }

struct Fixture {
  fs::path dir;
  bool ok = false;

  fs::path files() const { return dir / "files"; }
  fs::path install() const { return dir / "install"; }
  fs::path patch() const { return dir / "patch"; }
  fs::path work() const { return dir / "work"; }
  fs::path tar_out() const { return dir / "tar_out"; }

  Fixture() {
    std::string pattern = (fs::temp_directory_path() / "bench_apply_XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) return;
    dir = pattern;
    for (const fs::path& p : {files(), install(), patch(), tar_out()}) fs::create_directories(p);
    updater_bench::WordText text(5);
    std::string manifest;
    for (int i = 0; i < kFiles; ++i) {
      const fs::path path = files() / file_name(i);
      fs::create_directories(path.parent_path());
      std::ofstream(path, std::ios::binary) << text.next(kFileSize);
      manifest += "add \"" + file_name(i) + "\"\n";
    }
    std::ofstream(dir / "manifest") << manifest;
    std::ofstream(install() / "update-settings.ini") << "[Settings]\nACCEPTED_VPK_CHANNEL_IDS=release\n";
    {
      std::ofstream py(dir / "make.py");
      py << "import sys\n"
         << "sys.path.insert(0, '" << updater_bench::source_dir().string() << "/tests/support')\n"
         << "from vpk_writer import *\n"
         << "d = '" << dir.string() << "'\n"
         << "items = [Item('updatev3.manifest', xz(open(d + '/manifest', 'rb').read(), '-1'))]\n"
         << "for line in open(d + '/manifest').read().splitlines():\n"
         << "    name = line.split('\"')[1]\n"
         << "    items.append(Item(name, xz(open(d + '/files/' + name, 'rb').read(), '-1')))\n"
         << "v = Vpk(items=items, signatures=[Signature(key_path('test_vpk_key1.pem'))])\n"
         << "open(d + '/patch/update.vpk', 'wb').write(v.build())\n";
    }
    const std::string d = dir.string();
    ok = run(python(), " ", d, "/make.py") &&
         run("cd ", d, "/files && tar -cf - lib* | xz -1 -T1 > ", d, "/files.tar.xz");
  }
  ~Fixture() {
    std::error_code ec;
    if (!dir.empty()) fs::remove_all(dir, ec);
  }

  // Empties what a run wrote: the added folders, the working folder, status and log.
  void reset_install() const {
    std::error_code ec;
    for (int f = 0; f < kFolders; ++f) fs::remove_all(install() / ("lib" + std::to_string(f)), ec);
    fs::remove_all(work(), ec);
    fs::remove(patch() / "update.status", ec);
    fs::remove(patch() / "update.log", ec);
  }
  void reset_tar_out() const {
    std::error_code ec;
    fs::remove_all(tar_out(), ec);
    fs::create_directories(tar_out(), ec);
  }

  // Every file in place with its size.
  static bool complete(const fs::path& root) {
    std::error_code ec;
    for (int i = 0; i < kFiles; ++i) {
      if (fs::file_size(root / file_name(i), ec) != kFileSize || ec) return false;
    }
    return true;
  }
};

const Fixture& fixture() {
  static Fixture f;
  return f;
}

void BM_UpdateAddingFiles(benchmark::State& state) {
  const Fixture& f = fixture();
  if (!f.ok) return state.SkipWithError("setup failed");
  const std::string command = std::string("env -u DISPLAY ") + ONDREL_UPDATER_PROGRAM + " 1 " + f.patch().string() +
                              " " + f.install().string() + " " + f.work().string() + " first";
  for (auto _ : state) {
    state.PauseTiming();
    f.reset_install();
    state.ResumeTiming();
    if (!run(command)) state.SkipWithError("the update failed");
  }
  if (!Fixture::complete(f.install())) state.SkipWithError("files missing after the update");
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kFiles * kFileSize);
}

void BM_TarExtractXz(benchmark::State& state) {
  const Fixture& f = fixture();
  if (!f.ok) return state.SkipWithError("setup failed");
  const std::string command = "tar -xJf " + (f.dir / "files.tar.xz").string() + " -C " + f.tar_out().string();
  for (auto _ : state) {
    state.PauseTiming();
    f.reset_tar_out();
    state.ResumeTiming();
    if (!run(command)) state.SkipWithError("tar failed");
  }
  if (!Fixture::complete(f.tar_out())) state.SkipWithError("files missing after tar");
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kFiles * kFileSize);
}

}  // namespace

BENCHMARK(BM_UpdateAddingFiles)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(5);
BENCHMARK(BM_TarExtractXz)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(5);
