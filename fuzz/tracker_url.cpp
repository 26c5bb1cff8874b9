// Tracker URLs from .torrent files and magnet links, and the status line of a tracker's
// reply, on arbitrary input: no crash; an accepted URL has a lower-case ".i2p" host longer
// than the suffix, a port 1-65535 and a path starting with "/"; the announce request built
// from it is one head ending in the empty line; a status is three digits.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "encoding/text.h"
#include "fuzz/support/check.h"
#include "torrent/tracker_request.h"

using fuzz_support::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView input(data, size);
  if (const auto status = bittorrent::http_reply_status(input)) check(*status <= 999);
  const std::string text(input.begin(), input.end());
  if (const auto url = bittorrent::parse_http_tracker_url(text)) {
    check(url->host.size() > 4 && url->host.ends_with(".i2p"));
    check(url->host == encoding::ascii_lower(url->host));
    check(url->host.find_first_of("/?") == std::string::npos);
    check(url->port >= 1 && url->port <= 65535);
    check(!url->path.empty() && url->path.front() == '/');
    const Bytes ih(20, 0);
    bittorrent::AnnounceParams p;
    p.info_hash = ih;
    p.peer_id = ih;
    const std::string req = bittorrent::build_http_announce_request(url->host, url->port, url->path, p);
    check(req.starts_with("GET /") && req.ends_with("\r\n\r\n"));
    check(req.substr(0, req.find("\r\n")).ends_with(" HTTP/1.1"));
    check(req.find("\r\n\r\n") == req.size() - 4);
  }
  return 0;
}
