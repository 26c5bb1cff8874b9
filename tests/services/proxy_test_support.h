#pragma once
// Helpers of the HTTP proxy tests: running a python3 reference program on files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/scratch.h"

namespace router::proxy_test {

using test_support::python;
using test_support::read_file;
using test_support::ScratchDir;
using test_support::write_file;

// Runs `python3 <script> <args>`; true when it exits with 0.
inline bool run_python(const std::string& script, const std::string& args) {
  const std::string cmd = python() + " " + script + " " + args;
  return std::system(cmd.c_str()) == 0;
}

}  // namespace router::proxy_test
