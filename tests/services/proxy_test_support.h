#pragma once
// Helpers of the HTTP proxy tests: running a python3 reference program on files.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace router::proxy_test {

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

// A fresh directory under the test's temporary directory.
inline std::filesystem::path scratch_dir(const std::string& name) {
  auto dir = std::filesystem::path(testing::TempDir()) / ("ondrel_proxy_" + name);
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

// Runs `python3 <script> <args>`; true when it exits with 0.
inline bool run_python(const std::string& script, const std::string& args) {
  const std::string cmd = python() + " " + script + " " + args;
  return std::system(cmd.c_str()) == 0;
}

}  // namespace router::proxy_test
