#pragma once
// The query form of the command line, "updater --channels-allowed": which update channels
// the installation accepts.

// Reads "ACCEPTED_VPK_CHANNEL_IDS" from "update-settings.ini" in the folder of the
// running program (/proc/self/exe), which is where the updater lives in its
// installation, and prints "Channels Allowed: '<list>'\n" (0), or "Error: 38\n" when it
// cannot be read (1). Both go to the standard output.
int print_channels_allowed();
