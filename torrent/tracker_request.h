#pragma once
// The client side of an HTTP tracker: which announce URLs it can use (plain http on an
// .i2p host), the announce request it writes, and the status code of a reply's head.
// Pure text work: the tracker steps do the streaming.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "encoding/bytes.h"

namespace bittorrent {

struct HttpTrackerUrl {
  std::string host;  // lower case, ending in ".i2p"
  std::uint32_t port = 80;
  std::string path = "/";  // with the query, always starting with "/"

  friend bool operator==(const HttpTrackerUrl&, const HttpTrackerUrl&) = default;
};

// The URL trimmed of spaces, TAB, LF and CR: "http://" in any case, an authority up to the
// first "/" or "?", an optional ":port" (1 to 65535, digits only), a host longer than
// ".i2p" ending in it, and no space or control byte inside. None for any other URL
// (https, udp, other hosts, bad ports).
std::optional<HttpTrackerUrl> parse_http_tracker_url(std::string_view url);

// Every byte but A-Z, a-z, 0-9, "-", ".", "_" and "~" as "%" and two upper-case hex digits.
std::string url_encode_bytes(ByteView bytes);

// What an announce tells the tracker besides the counts: trackers count a peer as started
// once, as having completed a download once, and forget it when it stops.
enum class AnnounceEvent : std::uint8_t {
  None,       // the announces between: no "event" parameter
  Started,    // the first announce to a tracker, and the first after a stop
  Completed,  // the download has just completed
  Stopped,    // the torrent is paused or removed
};

struct AnnounceParams {
  ByteView info_hash;
  ByteView peer_id;
  std::uint64_t uploaded = 0;
  std::uint64_t downloaded = 0;
  std::uint64_t left = 0;
  AnnounceEvent event = AnnounceEvent::None;
  std::string_view public_b64;  // our Destination; no "ip" parameter when empty
};

// The whole GET request to the tracker at host:port with the path, CR LF line ends and the
// empty line that ends the head.
std::string build_http_announce_request(std::string_view host, std::uint32_t port, std::string_view path,
                                        const AnnounceParams& params);

// The three-digit status code of the reply's status line ("HTTP/1.x NNN ..."), or none
// while no whole line of that form is there.
std::optional<std::uint32_t> http_reply_status(ByteView reply);

}  // namespace bittorrent
