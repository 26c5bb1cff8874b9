#pragma once
// Copying the installation for a staged update.
#include "updater/updater_error.h"

// Copies `source` (a file, a link or a whole folder) to `destination`. Folders are
// created with the source's mode (an existing one is fine), links are copied as links,
// files through a 32 KiB buffer and given the source's mode. Entries whose path equals
// `skip1` or `skip2` (either may be null), ignoring case, are left out, and so are
// drafts (names of at least 11 characters ending in ".vex-draft", ignoring case).
//
// OK, or the first failure: READ_ERROR (missing source, unreadable file or folder, not
// a regular file), WRITE_ERROR (folder or file not created), PATH_TOO_LONG_ERROR (a
// path below it does not fit the path buffer; nothing of that entry is copied),
// FILE_MEMORY_ERROR, COPY_WRITE_ERROR (a write, or the closing flush of a copied file,
// failed), or -1 when the final mode of a file cannot be set.
UpdaterError ensure_copy(const char* source, const char* destination, const char* skip1, const char* skip2);

// Creates a link at `new_link` with the target of the link `link`: OK or READ_ERROR.
UpdaterError ensure_copy_symlink(const char* link, const char* new_link);
