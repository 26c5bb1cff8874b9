#include "updater/channels_query.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <optional>

#include "updater/accepted_channels.h"
#include "updater/path_buffer.h"

namespace {

// The folder of the running program, without its trailing '/' (so empty for a program in
// the root folder); nothing when it cannot be told.
std::optional<PathBuffer> program_dir() {
  PathBuffer dir{};
  const ssize_t length = ::readlink("/proc/self/exe", dir.data(), dir.size() - 1);
  if (length <= 0) return std::nullopt;
  dir[static_cast<std::size_t>(length)] = '\0';
  char* slash = std::strrchr(dir.data(), '/');
  if (slash == nullptr) return std::nullopt;
  *slash = '\0';
  return dir;
}

}  // namespace

int print_channels_allowed() {
  const std::optional<PathBuffer> dir = program_dir();
  if (!dir || load_accepted_channels(dir->data()) != OK) {
    std::printf("Error: %d\n", SETTINGS_ERROR);
    return 1;
  }
  std::printf("Channels Allowed: '%s'\n", gAcceptedChannels.value_or("").c_str());
  return 0;
}
