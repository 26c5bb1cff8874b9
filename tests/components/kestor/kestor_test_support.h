#pragma once
// Helpers of the kestor tests: patches written by the independent python writer
// (tests/support/kestor_patch.py), and the ERROR lines the engine wrote.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "components/kestor/kestor_apply.h"
#include "components/kestor/patch_reader.h"
#include "tests/base/temp_dir.h"

namespace kestor_test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes ReadFileBytes(const std::filesystem::path& path) {
  std::ifstream f(path, std::ios::binary | std::ios::ate);
  if (!f) return {};
  Bytes data(static_cast<std::size_t>(f.tellg()));
  f.seekg(0);
  f.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size()));
  return data;
}

inline void WriteFileBytes(const std::filesystem::path& path, const Bytes& data) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

using ::TempDir;

inline std::string Python() {
  // Debian's python3 starts much faster than a pyenv shim found first in PATH.
  return std::filesystem::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
}

// Runs one python program with `kp` the patch writer module imported and `out(i, data)` writing
// result i. `body` is python source. Returns the results in order (empty on failure).
inline std::vector<Bytes> RunPython(const std::string& body, std::size_t results) {
  TempDir dir;
  {
    std::ofstream s(dir.path() / "make.py");
    s << "import sys, os, struct\n"
         "sys.path.insert(0, '" ONDREL_SOURCE_DIR
         "/tests/support')\n"
         "import kestor_patch as kp\n"
         "OUT = sys.argv[1]\n"
         "def out(i, data):\n"
         "    open(os.path.join(OUT, '%d.bin' % i), 'wb').write(bytes(data))\n"
      << body << "\n";
  }
  const std::string cmd = Python() + " " + (dir.path() / "make.py").string() + " " + dir.path().string();
  std::vector<Bytes> data;
  if (std::system(cmd.c_str()) != 0) return data;
  for (std::size_t i = 0; i < results; ++i) data.push_back(ReadFileBytes(dir.path() / (std::to_string(i) + ".bin")));
  return data;
}

// Evaluates each python expression (bytes) and returns the values.
inline std::vector<Bytes> PythonValues(const std::vector<std::string>& expressions) {
  std::string body;
  for (std::size_t i = 0; i < expressions.size(); ++i) {
    body += "out(" + std::to_string(i) + ", " + expressions[i] + ")\n";
  }
  return RunPython(body, expressions.size());
}

struct LogLine {
  std::string severity;
  std::string file;
  std::string message;
};

// The "[kestor:SEVERITY:file:line] message" lines of captured output.
inline std::vector<LogLine> ParseLogLines(const std::string& text) {
  std::vector<LogLine> lines;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t eol = text.find('\n', pos);
    if (eol == std::string::npos) eol = text.size();
    const std::string line = text.substr(pos, eol - pos);
    pos = eol + 1;
    if (line.rfind("[kestor:", 0) != 0) continue;
    const std::size_t s1 = line.find(':', 8);
    const std::size_t close = line.find("] ");
    if (s1 == std::string::npos || close == std::string::npos) continue;
    const std::size_t s2 = line.rfind(':', close);
    lines.push_back({line.substr(8, s1 - 8), line.substr(s1 + 1, s2 - s1 - 1), line.substr(close + 2)});
  }
  return lines;
}

// Messages of the ERROR lines written to stderr while fn runs.
template <class Fn>
std::vector<std::string> ErrorMessages(Fn&& fn, std::vector<LogLine>* lines = nullptr) {
  testing::internal::CaptureStderr();
  fn();
  const std::vector<LogLine> parsed = ParseLogLines(testing::internal::GetCapturedStderr());
  std::vector<std::string> messages;
  for (const LogLine& l : parsed) {
    if (l.severity == "ERROR") messages.push_back(l.message);
  }
  if (lines != nullptr) *lines = parsed;
  return messages;
}

// Applies every element of the patch to old, as the updater does; returns the new image, or
// nothing after the first failing element.
inline std::optional<Bytes> ApplyPatch(const kestor::Patch& patch, const Bytes& old) {
  Bytes result(patch.header.new_size, 0);
  for (const kestor::PatchElement& e : patch.elements) {
    const kestor::ConstBufferView old_view(old.data() + e.match.old_offset, e.match.old_length);
    const kestor::MutableBufferView new_view(result.data() + e.match.new_offset, e.match.new_length);
    if (!kestor::ApplyElement(e.match.exe_type, old_view, e, new_view)) return std::nullopt;
  }
  return result;
}

inline bool EndsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace kestor_test
