#pragma once
// The key/value options of router addresses, RouterInfos and LeaseSet2s.
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "encoding/error.h"
#include "encoding/reader.h"
#include "encoding/writer.h"

namespace common {

struct Mapping {
  // In the order decoded or given; duplicate keys are kept.
  std::vector<std::pair<std::string, std::string>> entries;

  static Mapping from_entries(std::vector<std::pair<std::string, std::string>> entries);
  // The value of the first entry with this key.
  std::optional<std::string> get(std::string_view key) const;

  // Size (2 bytes), then the entries sorted by key bytes (stable, duplicates all
  // written). Fails when a key or value exceeds 255 bytes or the entries 65535 bytes.
  Result<void> encode(encoding::Writer& w) const;
  static Result<Mapping> decode(encoding::Reader& r);

  friend bool operator==(const Mapping&, const Mapping&) = default;
};

}  // namespace common
