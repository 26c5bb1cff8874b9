#pragma once
// Magnet links: the info hash (hex or Base32 btih), the display name, trackers and DHT
// nodes to ask.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bittorrent/metainfo.h"
#include "encoding/error.h"

namespace bittorrent {

struct MagnetNode {
  std::string host;
  std::uint16_t port = 0;  // 1 to 65535
  friend bool operator==(const MagnetNode&, const MagnetNode&) = default;
};

struct MagnetLink {
  InfoHash info_hash{};
  // The last "dn", or the lower-case hex of the info hash when there is none or it is empty.
  std::string name;
  std::vector<std::string> trackers;  // "tr" values, no empty strings, no repeats, in order
  std::vector<MagnetNode> dht_nodes;  // "dht" and "x.pe" values in order, repeats kept
};

// Parses a magnet URI. Unusable "tr", "dht" and "x.pe" values and unknown keys are skipped;
// a malformed btih fails the whole link.
Result<MagnetLink> parse_magnet(std::string_view uri);

// Percent-decodes a URI parameter ("+" becomes a space when plus_is_space). A "%" without
// two hex digits behind it stays as written, and when the decoded bytes are not UTF-8 the
// text is returned unchanged.
std::string percent_decode_param(std::string_view text, bool plus_is_space);

}  // namespace bittorrent
