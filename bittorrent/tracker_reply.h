#pragma once
// HTTP tracker replies: the raw bytes read from the tracker's stream (head, optional chunked
// transfer coding and gzip content coding, bencoded body) turned into the announce result.
// Peers come either as a compact string of 32-byte destination hashes or as a list of
// dictionaries whose "ip" is a b32 address or a Base64 Destination.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/hash.h"
#include "encoding/bytes.h"
#include "encoding/error.h"

namespace bittorrent {

struct TrackerResponse {
  std::int32_t interval = 300;  // seconds; 300 unless the tracker gave a value above 0
  std::int32_t complete = 0;
  std::int32_t incomplete = 0;
  std::vector<common::Hash> peers;  // in reply order, repeats kept
  std::optional<std::string> failure_reason;
};

Result<TrackerResponse> parse_http_tracker_response(ByteView reply);

// The destination hash named by a dictionary-form peer's "ip": a b32 address (".i2p"
// optional) or a Base64 Destination; none for anything else.
std::optional<common::Hash> decode_tracker_peer_str(std::string_view text);

}  // namespace bittorrent
