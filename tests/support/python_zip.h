#pragma once
// ZIP archives written by python3's zipfile module, an implementation independent of ours.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "encoding/bytes.h"

namespace test_support {

// Runs `body` as python3 with `z` an open zipfile.ZipFile writing the archive, and with the
// given files written beforehand into the working folder (name, content). Returns the
// archive bytes, or nothing when python3 failed.
inline Bytes python_zip(const std::string& body, const std::vector<std::pair<std::string, Bytes>>& files = {}) {
  namespace fs = std::filesystem;
  static int counter = 0;
  fs::path dir =
      fs::temp_directory_path() / ("ondrel_zip_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
  fs::create_directories(dir);
  for (const auto& [name, content] : files) {
    std::ofstream f(dir / name, std::ios::binary);
    f.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
  }
  {
    std::ofstream s(dir / "make.py");
    s << "import os, sys, zipfile\n"
         "os.chdir(os.path.dirname(sys.argv[1]))\n"
         "z = zipfile.ZipFile(sys.argv[1], 'w')\n"
      << body << "z.close()\n";
  }
  // Debian's python3 starts much faster than a pyenv shim found first in PATH.
  std::string python = fs::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
  std::string cmd = python + " " + (dir / "make.py").string() + " " + (dir / "out.zip").string();
  Bytes data;
  if (std::system(cmd.c_str()) == 0) {
    std::ifstream f(dir / "out.zip", std::ios::binary);
    data.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }
  fs::remove_all(dir);
  return data;
}

}  // namespace test_support
