#pragma once
// Removing a whole tree.

// Removes `path` and, for a folder, everything below it. Links are removed, never
// followed, and the walk goes by folder descriptors, so a folder swapped for a link
// while the walk runs is not entered.
//
// -1 when `path` does not exist (without a log line), when an entry cannot be removed,
// or when a path below it does not fit the path buffer (before that entry is touched).
// A folder that cannot be opened counts as done (0) after a log line; its parent then
// fails to go. Without `continue_on_error` the first failure ends the walk; with it,
// every entry of the top folder is tried and the last one decides.
int ensure_remove_recursive(const char* path, bool continue_on_error);
