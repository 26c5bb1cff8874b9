#pragma once
// The update channels an installation accepts: the value of "ACCEPTED_VPK_CHANNEL_IDS" in
// section "Settings" of "<installation>/update-settings.ini", a list of names separated by
// spaces, commas or tabs. Read once and kept to process exit; the "--channels-allowed"
// query prints the same cached text.
#include <optional>
#include <string>

#include "updater/updater_error.h"

// The cached list; empty until read.
extern std::optional<std::string> gAcceptedChannels;

// Reads the list into the cache unless a non-empty one is cached already. OK, or
// SETTINGS_ERROR when the file or its key cannot be read.
UpdaterError load_accepted_channels(const char* install_dir);

// True when the list is empty, or when a name among its first 511 characters equals the
// channel exactly.
bool channel_accepted(const std::string& list, const char* channel);
