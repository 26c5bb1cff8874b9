#pragma once
// Patching one file: choosing the patch format, checking the file to patch against the
// patch, and writing the patched file.
#include <cstdio>

#include "updater/updater_error.h"

// Reads the patch header from `patch` (rewound first) as QBDIFF10, or else as a kestor
// patch; checks that the file at `source_path` has the patch's source size (else
// SOURCE_SIZE_ERROR) and CRC (else CRC_ERROR); then writes the patched file as a new
// regular file at `target_path` with the old file's permission bits, and flushes and
// closes it (PATCH_WRITE_ERROR when that fails). `target_path` may be `source_path`
// itself: the old file is read whole first, and a link there is replaced, not written
// through. `relative_path` names the file in log lines.
UpdaterError patch_file(std::FILE* patch, const char* source_path, const char* target_path, const char* relative_path);
