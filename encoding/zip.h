#pragma once
// A ZIP archive reader for reseed bundles: the central directory is walked and the chosen
// entries are inflated into memory.
//
// Archives come from the network, so every entry is bounded before it is inflated: only
// entries whose name ends with the wanted suffix are extracted, an entry that declares more
// than max_entry_size bytes is refused, two entries may not share one local header, and the
// whole extraction stops at max_total_size bytes.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "encoding/bytes.h"
#include "encoding/error.h"

namespace encoding {

struct ZipEntry {
  std::string name;
  Bytes data;
};

struct ZipLimits {
  std::string_view name_suffix = ".dat";          // case-sensitive; other file entries are skipped
  std::size_t max_entry_size = 64 * 1024;         // declared uncompressed size of one entry
  std::size_t max_total_size = 64 * 1024 * 1024;  // all extracted entries together
};

// The extracted (name, data) pairs in central-directory order. Any failure fails the archive.
Result<std::vector<ZipEntry>> zip_extract_entries(ByteView archive, const ZipLimits& limits = {});

}  // namespace encoding
