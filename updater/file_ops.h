#pragma once
// The single-file operations the actions are built from. Each logs its own failures to
// the update log and returns an UpdaterError (or a system result where noted).
//
// Symbolic links are never followed when a path is made writable or removed: the
// updater may run as root, and a link in the installation must not let it change a
// file elsewhere on the system.
#include <sys/types.h>

#include <cstdio>

#include "updater/updater_error.h"

// Whether anything (a dangling link too) stands at `path`.
bool path_exists(const char* path);

// Adds the owner-write bit to `path` when it is clear. Links are left alone. Failures
// are ignored: the operation that follows reports them.
void make_writable(const char* path);

// make_writable, then remove (a file, a link or an empty folder). Returns remove's
// result (0 or -1) after logging a failure.
int ensure_remove(const char* path);

// Creates every folder above the last component of `path`, outermost first, with mode
// 0755; existing folders are fine. OK, or WRITE_ERROR after a log line.
UpdaterError ensure_parent_dir(const char* path);

// Renames `source` over `destination`, creating the destination's parent folders and
// removing what stood there first (made writable). `dir_swap` is set only when whole
// installation folders are swapped: then a source that is neither a file nor a folder
// is refused. OK, READ_ERROR, WRITE_ERROR, RENAME_NOT_A_FILE_ERROR, REMOVE_ERROR.
UpdaterError rename_file(const char* source, const char* destination, bool dir_swap);

// Opens `path` with the stdio `mode`. A writing mode first makes an existing file
// writable and, once open, gives it exactly `file_mode` (type bits included) or fails.
// Null on failure.
std::FILE* open_file_with_mode(const char* path, const char* mode, mode_t file_mode);
