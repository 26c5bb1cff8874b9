#include "router/peer_log.h"

#include <cstdio>
#include <string>

namespace router {

void print_debug_line(bool debug, std::string_view line) {
  if (!debug) return;
  std::string text(line);
  text.push_back('\n');
  std::fwrite(text.data(), 1, text.size(), stdout);
}

}  // namespace router
