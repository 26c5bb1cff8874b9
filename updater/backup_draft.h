#pragma once
// Backup and draft names beside an installation file.
//
// A backup ("<path>.vex-backup") is the old file, renamed away before it is replaced or
// removed; when the action finishes it is deleted (success) or renamed back (failure).
// A draft ("<path>.vex-draft") receives new contents before they are renamed over the
// file. Each name is formed for the full path (for the operation) and for the
// manifest-relative path (for log lines). A name of the full path that does not fit the
// path buffer fails before anything is touched: a cut name would point at another file,
// or at the file itself.
#include "updater/path_buffer.h"
#include "updater/updater_error.h"

// Renames `full_path` to its backup name: rename_file's result, or PATH_TOO_LONG_ERROR.
UpdaterError backup_create(const char* full_path);

// restore != 0: renames the backup back over `full_path` when this action created it
// (`created`). restore == 0: deletes an existing backup. Failures are logged only.
void backup_restore(const char* full_path, const char* relative_path, UpdaterError restore, bool created);

// "<path>.vex-draft" into `buffer`; true when it fitted.
bool format_draft_path(PathBuffer& buffer, const char* path);

// Removes a leftover draft: OK, PATH_TOO_LONG_ERROR, or REMOVE_ERROR.
UpdaterError draft_discard(const char* full_path, const char* relative_path);

// Renames the draft over `full_path`: rename_file's result, or PATH_TOO_LONG_ERROR.
UpdaterError draft_commit(const char* full_path);
