#pragma once
// Small helpers of the updater tests: a private folder from mkdtemp, whole-file reads and
// writes, and the update log opened for one test.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "updater/update_log.h"

namespace updater_test {

// A folder of its own under the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "updater_test_XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    if (path_.empty()) return;
    std::error_code ec;
    // Read-only folders left by a test would stop the removal.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      if (it->is_directory(ec) && !it->is_symlink(ec)) ::chmod(it->path().c_str(), 0700);
    }
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::optional<std::string> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool write_file(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
  return static_cast<bool>(out.flush());
}

// Names in a folder, sorted.
inline std::vector<std::string> list_dir(const std::string& path) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(path, ec)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

inline mode_t lstat_mode(const std::string& path) {
  struct stat st{};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

// Everything the open update log holds so far (empty while it is closed).
inline std::string log_text() {
  std::FILE* file = update_log().file;
  if (file == nullptr) return {};
  std::fflush(file);
  std::string bytes;
  char chunk[4096];
  off_t at = 0;
  for (;;) {
    ssize_t got = ::pread(::fileno(file), chunk, sizeof chunk, at);
    if (got <= 0) break;
    bytes.append(chunk, static_cast<std::size_t>(got));
    at += got;
  }
  return bytes;
}

// The update log opened at `path` for one test and finished when the test ends, so that
// the process-wide log never leaks from one test into the next.
class ScopedLog {
 public:
  explicit ScopedLog(const std::string& path) { open_update_log(path.c_str()); }
  ~ScopedLog() { finish_update_log(); }
  ScopedLog(const ScopedLog&) = delete;
  ScopedLog& operator=(const ScopedLog&) = delete;
};

}  // namespace updater_test
