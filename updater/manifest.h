#pragma once
// The manifest "updatev3.manifest" and the precomplete list, turned into actions.
//
// Manifest: lines end at '\n' or '\r'; empty lines are skipped and a line whose first
// character is '#' is a comment. Leading blanks (space, tab) are skipped; the keyword runs
// to the next blank and the action parses the rest of the line after that one blank. Only
// the first line that is not a comment may be `type "<value>"`: "complete" first adds the
// removals of the base folder's "precomplete" file. Keywords: remove, rmdir, rmrfdir,
// add, add-if, add-if-not, patch, patch-if.
#include "updater/action.h"
#include "updater/updater_error.h"

// Parses the manifest `text` (modified in place) into `list`: PARSE_ERROR for a line of
// blanks, an unknown keyword or a failed action parse, DIR_WALK_ERROR or
// DIR_WALK_MEMORY_ERROR from an "rmrfdir" line, NO_ACTIONS_ERROR (after the log line
// "empty action list") when no action came of it. On failure the list is emptied.
UpdaterError parse_manifest(char* text, ActionContext& context, ActionList* list);

// Appends the removals of the base folder's "precomplete" file (keywords remove,
// remove-cc and rmdir). An unreadable file is logged and skipped.
UpdaterError AddPreCompleteActions(ActionContext& context, ActionList* list);

// Expands `rmrfdir "<dir>/"`: a removal of every file, link and special file below the
// folder, and of every folder after its contents, the folder itself last.
UpdaterError add_dir_entries(const char* arguments, ActionContext& context, ActionList* list);
