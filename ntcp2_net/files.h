#pragma once
// Whole-file reads and directory creation.
#include <string>
#include <string_view>
#include <vector>

#include "encoding/bytes.h"
#include "encoding/error.h"

namespace ntcp2_net {

// The whole file (empty for an empty file). Files above 2,147,483,647 bytes are
// refused, never read in part. NetError::Io "stat(" path ") failed: " or
// "read(" path ") failed: " and the OS text.
Result<Bytes> read_file_bytes(std::string_view path);

// The entry names of a folder (without "." and ".."), in the order the system gives them,
// as far as 65,536 bytes of names reach. NetError::Io "opendir(" folder ") failed: " and
// the OS text, or "invalid UTF-8 in directory listing".
Result<std::vector<std::string>> list_dir(std::string_view folder);

// Creates the directory and any missing parents (mode 0755); an existing directory is
// success. NetError::Io "mkdir_p(" path ") failed: " and the OS text.
Result<void> mkdir_p(std::string_view path);

}  // namespace ntcp2_net
