#pragma once
// Update archives written by tests/support/vpk_writer.py: the layout put together in
// python3, items from the `xz` command and signatures from python3 'cryptography', all
// independent of the updater's own reader.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

namespace test_support {

// Runs `body` as python3 after `from vpk_writer import *`, with `out(name, data)` saving
// bytes under a name and `KEY1`, `KEY2`, `UNTRUSTED_KEY`, `SHORT_KEY` the paths of the
// committed test keys (tests/data/updater). `source_dir` is the repository root. Returns
// every saved output by name; an empty map when python3 failed.
inline std::map<std::string, std::string> run_vpk_writer(const std::string& body, const std::string& source_dir) {
  namespace fs = std::filesystem;
  std::string pattern = (fs::temp_directory_path() / "ondrel_vpk_XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) return {};
  const fs::path dir = pattern;
  fs::create_directories(dir / "out");
  {
    std::ofstream s(dir / "make.py");
    s << "import os, sys\n"
         "sys.path.insert(0, "
      << fs::path(source_dir + "/tests/support")
      << ")\n"
         "from vpk_writer import *\n"
         "KEY1 = key_path('test_vpk_key1.pem')\n"
         "KEY2 = key_path('test_vpk_key2.pem')\n"
         "UNTRUSTED_KEY = key_path('untrusted_vpk_key.pem')\n"
         "SHORT_KEY = key_path('short_vpk_key.pem')\n"
         "def out(name, data):\n"
         "    with open(os.path.join(sys.argv[1], name), 'wb') as f:\n"
         "        f.write(data)\n"
      << body << "\n";
  }
  // Debian's python3 has 'cryptography' and starts faster than a pyenv shim found first in PATH.
  const std::string python = fs::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
  // Appended piece by piece: g++ 12 at -O3 misreads some chains of string +.
  std::string cmd = python;
  cmd += " ";
  cmd += (dir / "make.py").string();
  cmd += " ";
  cmd += (dir / "out").string();
  std::map<std::string, std::string> outputs;
  if (std::system(cmd.c_str()) == 0) {
    for (const auto& entry : fs::directory_iterator(dir / "out")) {
      std::ifstream f(entry.path(), std::ios::binary);
      outputs[entry.path().filename().string()] =
          std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }
  }
  std::error_code ec;
  fs::remove_all(dir, ec);
  return outputs;
}

}  // namespace test_support
