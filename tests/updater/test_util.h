#pragma once
// Small helpers of the updater tests: a private folder from mkdtemp, whole-file reads and
// writes, and the update log opened for one test.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

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
  struct stat st {};
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

// A path of exactly `length` bytes: `base`, folders (created) and `leaf` ("/name").
inline std::string path_of_length(const std::string& base, std::size_t length, const std::string& leaf) {
  std::string path = base;
  while (length - path.size() > 200 + leaf.size()) {
    path.append(1, '/').append(199, 'd');
    ::mkdir(path.c_str(), 0700);
  }
  std::size_t pad = length - path.size() - leaf.size();
  if (pad > 1) {
    path.append(1, '/').append(pad - 1, 'e');
    ::mkdir(path.c_str(), 0700);
  }
  return path + leaf;
}

// Folders `levels` deep under `base`, each named by `name_length` times 'n', made by
// descriptors so the whole may pass the longest path the kernel takes; the deepest one
// holds a file "leaf". Returns false when any step failed.
inline bool make_deep_tree(const std::string& base, int levels, std::size_t name_length) {
  const std::string name(name_length, 'n');
  int fd = ::open(base.c_str(), O_RDONLY | O_DIRECTORY);
  for (int i = 0; i < levels && fd >= 0; ++i) {
    int next = -1;
    if (::mkdirat(fd, name.c_str(), 0700) == 0) next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
    ::close(fd);
    fd = next;
  }
  if (fd < 0) return false;
  int file = ::openat(fd, "leaf", O_WRONLY | O_CREAT, 0600);
  ::close(fd);
  if (file < 0) return false;
  ::close(file);
  return true;
}

// Runs a shell command and returns its standard output and exit status.
struct CommandResult {
  std::string out;
  int status = -1;
};
inline CommandResult run_command(const std::string& command) {
  CommandResult result;
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char chunk[4096];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) result.out.append(chunk, got);
  int status = ::pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

// Quotes one word for the shell.
inline std::string shell_quote(const std::string& word) {
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// Every entry under `root` as python3 sees it without following links: relative path,
// kind, permission bits, and the link target or the file's SHA-256; one sorted line each.
// An independent view to compare trees and to prove that a folder was left alone.
inline std::string tree_snapshot(const std::string& root) {
  static const char* script = R"PY(
import hashlib, os, stat, sys
root = sys.argv[1]
lines = []
for base, dirs, files in os.walk(root):
    for name in dirs + files:
        p = os.path.join(base, name)
        st = os.lstat(p)
        rel = os.path.relpath(p, root)
        if stat.S_ISLNK(st.st_mode):
            what = 'link ' + os.readlink(p)
        elif stat.S_ISDIR(st.st_mode):
            what = 'dir'
        elif stat.S_ISREG(st.st_mode):
            what = 'file ' + hashlib.sha256(open(p, 'rb').read()).hexdigest()
        else:
            what = 'other'
        lines.append('%s %o %s' % (rel, stat.S_IMODE(st.st_mode), what))
print('\n'.join(sorted(lines)))
)PY";
  std::string python = std::filesystem::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
  CommandResult r = run_command(python + " -c " + shell_quote(script) + " " + shell_quote(root));
  if (r.status != 0) ADD_FAILURE() << "python3 could not list " << root;
  return r.out;
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
