// Magnet parsing and percent-decoding of arbitrary text: no crash; an accepted link has a
// name, ports 1 to 65535, non-empty hosts and no repeated or empty tracker.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "bittorrent/magnet.h"
#include "encoding/text.h"
#include "fuzz/support/check.h"

using fuzz_support::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string plus = bittorrent::percent_decode_param(text, true);
  const std::string raw = bittorrent::percent_decode_param(text, false);
  check(plus.size() <= size && raw.size() <= size);
  auto link = bittorrent::parse_magnet(text);
  if (!link) return 0;
  check(!link->name.empty());
  for (const auto& node : link->dht_nodes) check(node.port >= 1 && !node.host.empty());
  for (std::size_t i = 0; i < link->trackers.size(); ++i) {
    check(!link->trackers[i].empty());
    check(std::count(link->trackers.begin(), link->trackers.end(), link->trackers[i]) == 1);
  }
  return 0;
}
