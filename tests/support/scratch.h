#pragma once
// Files of a test: python3 to run reference programs, whole-file reads and writes, and a
// scratch folder of the test's own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>

namespace test_support {

inline std::string python() {
  // Debian's python3 starts much faster than a pyenv shim found first in PATH.
  return std::filesystem::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
}

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void write_file(const std::filesystem::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

// A fresh directory under the temporary directory, of this process and test alone (tests
// run in parallel processes), removed with everything in it when the value goes.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& name) {
    const auto* test = testing::UnitTest::GetInstance()->current_test_info();
    const std::string owner = test ? std::string(test->test_suite_name()) + "." + test->name() : "none";
    path_ =
        std::filesystem::path(testing::TempDir()) / ("ondrel_" + std::to_string(::getpid()) + "_" + owner + "_" + name);
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(std::string_view file) const { return path_ / file; }

 private:
  std::filesystem::path path_;
};

}  // namespace test_support
