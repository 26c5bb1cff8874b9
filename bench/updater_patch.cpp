// Patch application and its CRC, each beside a reference in the same run.
//
// QBDIFF10: one patch of a 32 MiB file (scattered byte changes, an inserted and a deleted
// block) made by Debian's bsdiff and transcoded by tests/updater/bsdiff_to_qbdiff.py.
// Ours reads the old file, checks its size and CRC, applies and writes the new file
// (patch_file, the whole step of a patch action); the reference runs `bspatch` on the
// same change set in its BSDIFF40 form, from the same page cache to the same folder.
// Setting up runs bsdiff once, which takes a while. Both are timed by the wall clock,
// since bspatch runs in a child process.
//
// CRC-32/BZIP2 over 64 MiB against zlib's crc32 (the same polynomial, bit-reflected).
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "updater/crc32_bzip2.h"
#include "updater/patch_file.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kFileSize = 32u << 20;
constexpr std::size_t kCrcSize = 64u << 20;

std::vector<std::uint8_t> random_bytes(std::size_t n, std::uint32_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i + 8 <= n; i += 8) {
    const std::uint64_t r = rng();
    for (int k = 0; k < 8; ++k) v[i + static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(r >> (8 * k));
  }
  return v;
}

void write_bytes(const fs::path& p, const std::vector<std::uint8_t>& v) {
  std::ofstream(p, std::ios::binary)
      .write(reinterpret_cast<const char*>(v.data()), static_cast<std::streamsize>(v.size()));
}

// The old and new files and both patches, made once in a folder removed at exit.
struct Fixture {
  fs::path dir;
  bool ok = false;

  Fixture() {
    std::string pattern = (fs::temp_directory_path() / "bench_updater_patch_XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) return;
    dir = pattern;
    std::vector<std::uint8_t> old_data = random_bytes(kFileSize, 1);
    std::vector<std::uint8_t> new_data = old_data;
    std::mt19937 rng(2);
    for (int i = 0; i < 2000; ++i) {
      const std::size_t at = rng() % (new_data.size() - 16);
      for (std::size_t k = 0; k < 8; ++k) new_data[at + k] = static_cast<std::uint8_t>(rng());
    }
    std::vector<std::uint8_t> inserted = random_bytes(300000, 3);
    new_data.insert(new_data.begin() + 1000000, inserted.begin(), inserted.end());
    new_data.erase(new_data.begin() + 20000000, new_data.begin() + 20500000);
    write_bytes(dir / "old", old_data);
    write_bytes(dir / "new", new_data);
    const std::string python = fs::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
    const std::string cmd = "bsdiff " + (dir / "old").string() + " " + (dir / "new").string() + " " +
                            (dir / "p.bsdiff").string() + " && " + python +
                            " " ONDREL_SOURCE_DIR "/tests/updater/bsdiff_to_qbdiff.py " + (dir / "old").string() + " " +
                            (dir / "p.bsdiff").string() + " " + (dir / "p.qbdiff").string();
    ok = std::system(cmd.c_str()) == 0;
  }
  ~Fixture() {
    std::error_code ec;
    if (!dir.empty()) fs::remove_all(dir, ec);
  }
};

const Fixture& fixture() {
  static Fixture f;
  return f;
}

bool same_file(const fs::path& a, const fs::path& b) {
  std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
  return std::equal(std::istreambuf_iterator<char>(x), std::istreambuf_iterator<char>(),
                    std::istreambuf_iterator<char>(y), std::istreambuf_iterator<char>());
}

void BM_QbdiffPatchFile(benchmark::State& state) {
  const Fixture& f = fixture();
  if (!f.ok) {
    state.SkipWithError("bsdiff or the transcoder failed");
    return;
  }
  const std::string old_path = (f.dir / "old").string(), out_path = (f.dir / "ours").string();
  std::FILE* patch = std::fopen((f.dir / "p.qbdiff").c_str(), "rb");
  for (auto _ : state) {
    if (patch_file(patch, old_path.c_str(), out_path.c_str(), "old") != 0) state.SkipWithError("patch failed");
  }
  std::fclose(patch);
  if (!same_file(f.dir / "ours", f.dir / "new")) state.SkipWithError("output differs from the new file");
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileSize));
}

void BM_Bspatch(benchmark::State& state) {
  const Fixture& f = fixture();
  if (!f.ok) {
    state.SkipWithError("bsdiff or the transcoder failed");
    return;
  }
  const std::string old_path = (f.dir / "old").string(), out_path = (f.dir / "theirs").string(),
                    patch_path = (f.dir / "p.bsdiff").string();
  for (auto _ : state) {
    char* argv[] = {const_cast<char*>("bspatch"), const_cast<char*>(old_path.c_str()),
                    const_cast<char*>(out_path.c_str()), const_cast<char*>(patch_path.c_str()), nullptr};
    pid_t pid = 0;
    int status = 0;
    if (::posix_spawnp(&pid, "bspatch", nullptr, nullptr, argv, environ) != 0 || ::waitpid(pid, &status, 0) != pid ||
        status != 0) {
      state.SkipWithError("bspatch failed");
      break;
    }
  }
  if (!same_file(f.dir / "theirs", f.dir / "new")) state.SkipWithError("output differs from the new file");
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileSize));
}

const std::vector<std::uint8_t>& crc_input() {
  static const std::vector<std::uint8_t> data = random_bytes(kCrcSize, 4);
  return data;
}

void BM_Crc32Bzip2(benchmark::State& state) {
  const auto& data = crc_input();
  for (auto _ : state) benchmark::DoNotOptimize(crc32_bzip2(data.data(), data.size()));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}

void BM_Crc32Zlib(benchmark::State& state) {
  const auto& data = crc_input();
  for (auto _ : state) {
    benchmark::DoNotOptimize(::crc32_z(::crc32_z(0, nullptr, 0), data.data(), data.size()));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}

}  // namespace

BENCHMARK(BM_QbdiffPatchFile)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Bspatch)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Crc32Bzip2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Crc32Zlib)->Unit(benchmark::kMillisecond);
