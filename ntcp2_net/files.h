#pragma once
// Whole-file reads and directory creation.
#include <cstddef>
#include <cstdint>
#include <span>
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

// Inside a folder tree without following links (see ondrel_i2p_net_mkdir_below): `base` may
// be a link, every segment of `rel` below it ("a/b/c") is opened with O_NOFOLLOW. The
// texts name the whole path base + "/" + rel.
//
// Creates the missing folders of rel. NetError::Io "mkdir_p(" path ") failed: " and the
// OS text or the refusal.
Result<void> mkdir_below(std::string_view base, std::string_view rel);
// Writes all bytes at offset into base/rel, created (0644) when missing, never truncated.
// NetError::Io "write_file_at(" path ") failed: " and the text.
Result<void> write_file_below(std::string_view base, std::string_view rel, std::int64_t offset, ByteView data);
// Reads from offset into buf until it is full or the file ends; the count read.
// NetError::Io "read_file_at(" path ") failed: " and the text.
Result<std::size_t> read_file_below(std::string_view base, std::string_view rel, std::int64_t offset,
                                    std::span<std::uint8_t> buf);

}  // namespace ntcp2_net
