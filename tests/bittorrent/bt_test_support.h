#pragma once
// Helpers of the BitTorrent codec tests: an independent python (Debian's, which has the
// libtorrent bindings) run on files in a temporary folder, and small byte helpers.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "encoding/bytes.h"
#include "encoding/error.h"
#include "encoding/text.h"
#include "tests/base/temp_dir.h"

namespace bt_test {

inline std::string Python() { return std::filesystem::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3"; }

inline Bytes ReadFile(const std::filesystem::path& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::filesystem::path& path, ByteView data) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

// Runs a shell command and returns its standard output, or none when it exits non-zero.
inline std::optional<std::string> Run(const std::string& command) {
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  std::string out;
  char chunk[4096];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, n);
  if (::pclose(pipe) != 0) return std::nullopt;
  return out;
}

// Runs python source (libtorrent imported as lt, the folder as DIR) in dir; its standard
// output, or none on failure.
inline std::optional<std::string> RunPython(const std::filesystem::path& dir, const std::string& source) {
  {
    std::ofstream s(dir / "model.py");
    s << "import sys, os, hashlib, base64, struct, gzip, random, json\n"
         "import libtorrent as lt\n"
         "DIR = sys.argv[1]\n"
      << source << "\n";
  }
  return Run(Python() + " " + (dir / "model.py").string() + " " + dir.string());
}

// dir/c.torrent, written by libtorrent: files "t/a:b" and "t/a|b", which a file system names
// alike ("t/a_b"), so mktorrent cannot make such a torrent. Its bytes, or none on failure.
inline std::optional<Bytes> CollidingTorrent(const std::filesystem::path& dir) {
  const auto out = RunPython(dir, R"(
fs = lt.file_storage()
fs.add_file('t/a:b', 40000)
fs.add_file('t/a|b', 30000)
ct = lt.create_torrent(fs, 32768, flags=lt.create_torrent.v1_only)
for i in range(ct.num_pieces()):
    ct.set_hash(i, bytes([i + 1]) * 20)
open(os.path.join(DIR, 'c.torrent'), 'wb').write(lt.bencode(ct.generate()))
)");
  if (!out) return std::nullopt;
  return ReadFile(dir / "c.torrent");
}

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

inline Bytes B(std::string_view s) { return to_bytes(s); }

inline Bytes Unhex(std::string_view hex) { return encoding::hex_decode(hex).value(); }

// The message of an error, or its variant chain when it carries none.
inline std::string Message(const Error& e) {
  return e.innermost().has_message() ? std::string(e.innermost().message()) : to_string(e);
}

// The message of a failed result, or "ok" when it succeeded.
template <typename T>
std::string ErrorOf(const Result<T>& r) {
  return r ? std::string("ok") : Message(r.error());
}

}  // namespace bt_test
