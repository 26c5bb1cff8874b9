#pragma once
// The update log as a test reads it: one message a line, without the time fields.
#include <string>
#include <vector>

namespace updater_test {

// The messages of a log, each line without its "YYYY-MM-DD HH:MM:SS+ZZZZ: " in front.
inline std::vector<std::string> log_messages(const std::string& log) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < log.size()) {
    std::size_t end = log.find('\n', start);
    if (end == std::string::npos) end = log.size();
    const std::string line = log.substr(start, end - start);
    const std::size_t stamp = line.find(": ");
    lines.push_back(stamp == std::string::npos ? line : line.substr(stamp + 2));
    start = end + 1;
  }
  return lines;
}

}  // namespace updater_test
