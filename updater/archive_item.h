#pragma once
// Writing an item of the open update archive to a new file.
#include <sys/types.h>

#include "updater/updater_error.h"

// Creates `path` with the item's flags as its mode (a link there is not followed) and
// extracts the archive item `name` into it: READ_ERROR when the item is absent,
// WRITE_ERROR when the file cannot be created, the extraction's code, or
// EXTRACT_WRITE_ERROR when the last bytes cannot be flushed or the file not closed.
UpdaterError extract_item_to_file(const char* name, const char* path);
