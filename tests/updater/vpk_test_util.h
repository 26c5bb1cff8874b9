#pragma once
// Helpers of the archive tests: archives from the python3 writer, opening them as the
// process-wide archive, NSS set up once, and the standard error stream captured.
#include <nss.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>

#include "tests/support/vpk_writer.h"
#include "tests/updater/test_util.h"
#include "updater/vpk_archive.h"

namespace updater_test {

// The parts joined by appending (g++ 12 at -O3 misreads some "literal" + string chains).
template <typename... Parts>
std::string cat(const Parts&... parts) {
  std::string s;
  ((s += parts), ...);
  return s;
}

// Archives (and other bytes) saved by `out(name, data)` in a python3 body; see
// tests/support/vpk_writer.h.
inline std::map<std::string, std::string> vpk_writer(const std::string& body) {
  return test_support::run_vpk_writer(body, ONDREL_SOURCE_DIR);
}

// NSS without a database, as the program sets it up before any archive check.
inline bool ensure_nss() { return NSS_IsInitialized() || NSS_NoDB_Init(nullptr) == SECSuccess; }

// Writes bytes as "update.vpk" in dir and opens it as the process-wide archive.
inline UpdaterError open_vpk(const TempDir& dir, const std::string& bytes) {
  if (!write_file(dir / "update.vpk", bytes)) return -100;
  return vpk_open(dir.path().c_str());
}

// Everything written to the standard error stream (fd 2) while it lives.
class StderrCapture {
 public:
  StderrCapture() {
    std::fflush(stderr);
    file_ = std::tmpfile();
    saved_ = ::dup(2);
    if (file_ != nullptr) ::dup2(::fileno(file_), 2);
  }
  ~StderrCapture() { restore(); }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  // Stops capturing and returns what was written.
  std::string text() {
    restore();
    return text_;
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    ::dup2(saved_, 2);
    ::close(saved_);
    saved_ = -1;
    if (file_ == nullptr) return;
    std::rewind(file_);
    char chunk[4096];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file_)) > 0) text_.append(chunk, n);
    std::fclose(file_);
    file_ = nullptr;
  }

  std::FILE* file_ = nullptr;
  int saved_ = -1;
  std::string text_;
};

// Closes the process-wide archive when a test ends, whatever happened.
struct ArchiveCloser {
  ~ArchiveCloser() { vpk_close(); }
};

}  // namespace updater_test
