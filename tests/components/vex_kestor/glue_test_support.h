#pragma once
// Helpers of the glue tests: the lines of the open update log.
#include <string>
#include <vector>

#include "tests/updater/test_util.h"

namespace glue_test {

// The update-log lines, without their time stamps, that contain `part`.
inline std::vector<std::string> LogLines(const std::string& part) {
  std::vector<std::string> lines;
  const std::string text = updater_test::log_text();
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t eol = text.find('\n', pos);
    if (eol == std::string::npos) eol = text.size();
    std::string line = text.substr(pos, eol - pos);
    pos = eol + 1;
    if (const std::size_t stamp = line.find(": "); stamp != std::string::npos) line = line.substr(stamp + 2);
    if (line.find(part) != std::string::npos) lines.push_back(line);
  }
  return lines;
}

}  // namespace glue_test
