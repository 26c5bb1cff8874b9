#pragma once
// Creating the file that receives new contents.
#include <sys/types.h>

#include <cstdio>

// Replaces whatever stands at `path` by a new, empty regular file with exactly the
// permission bits of `mode`, open for reading and writing. A symbolic link there is
// removed, never followed, so new contents cannot land in the file a link points to.
// Null on failure, with errno set; a folder at `path` fails with EISDIR.
std::FILE* create_new_file(const char* path, mode_t mode);

// Flushes and closes a file the updater wrote. The last buffered bytes reach the file only
// here, so a full disk shows here at the latest: false after the log line "File close did
// not execute successfully", and the file must not be taken as written.
bool close_new_file(std::FILE* file);
