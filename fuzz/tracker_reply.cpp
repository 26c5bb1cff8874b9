// Tracker reply parsing of arbitrary bytes: no crash, no hang on chunk sizes of any
// magnitude, and an accepted reply has a positive interval and no negative count.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "bittorrent/tracker_reply.h"
#include "fuzz/support/check.h"

using fuzz_support::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView in(data, size);
  (void)bittorrent::decode_tracker_peer_str(std::string_view(reinterpret_cast<const char*>(data), size));
  auto reply = bittorrent::parse_http_tracker_response(in);
  if (!reply) return 0;
  check(reply->interval > 0 && reply->complete >= 0 && reply->incomplete >= 0);
  return 0;
}
