#pragma once
// Where command-line directories stand relative to each other on disk. The updater
// removes the working directory of a staged update recursively and copies the
// installation into it, so these decide what it may be given.
#include <string>

// `path` (absolute) with its links resolved and "." and empty components dropped: the
// longest part that exists as the system resolves it, then the rest as written. "/"
// for the root.
std::string resolved_path(const char* path);

// Whether `inner` is `outer` or lies below it; both resolved. Everything lies below "/".
bool path_within(const std::string& inner, const std::string& outer);

// Whether the working directory of a staged update is safe to empty and to copy the
// installation into: not the root, not the installation or the patch directory nor
// anything above either, and inside the installation only in the folders that the copy
// leaves out: "updated" (where a replace request takes the copy from) and "updates/0".
bool staging_dir_is_safe(const char* install_dir, const char* patch_dir, const char* working_dir);
