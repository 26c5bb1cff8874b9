#pragma once
// File-system helpers.

namespace base {

// Removes a file, link or empty directory. A path that does not exist counts as deleted.
bool DoDeleteFile(const char* path);

}  // namespace base
