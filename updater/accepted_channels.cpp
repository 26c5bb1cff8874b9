#include "updater/accepted_channels.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "updater/ini.h"
#include "updater/path_buffer.h"

std::optional<std::string> gAcceptedChannels;

UpdaterError load_accepted_channels(const char* install_dir) {
  if (gAcceptedChannels && !gAcceptedChannels->empty()) return OK;
  PathBuffer path;
  if (!format_path(path, "%s/update-settings.ini", install_dir)) return SETTINGS_ERROR;
  std::optional<std::string> value[1];
  if (read_ini(path.data(), "ACCEPTED_VPK_CHANNEL_IDS\0", value, "Settings") != OK) return SETTINGS_ERROR;
  gAcceptedChannels = value[0].value_or("");
  return OK;
}

bool channel_accepted(const std::string& list, const char* channel) {
  if (list.empty()) return true;
  char copy[512] = {};
  std::memcpy(copy, list.data(), std::min(list.size(), sizeof copy - 1));
  char* save = nullptr;
  for (char* name = strtok_r(copy, " ,\t", &save); name != nullptr; name = strtok_r(nullptr, " ,\t", &save)) {
    if (std::strcmp(name, channel) == 0) return true;
  }
  return false;
}
