#pragma once
// The SAM bridge's line framing and small value rules, shared by the bridge and its tests.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "encoding/bytes.h"

namespace router {

// The longest command line a SAM client may send; a longer one closes the client.
inline constexpr std::size_t kMaxSamLine = 64 * 1024;

// Removes the first line and its LF from the front of the buffer: the bytes before the LF,
// less one CR right before it, as UTF-8 text ("" when they are not valid UTF-8). None,
// with the buffer untouched, while it holds no LF.
std::optional<std::string> pop_line_from_buf(Bytes& buf);

// True for the session ids of the router's own services ("__http_proxy__", "__torrent__"),
// which SAM clients may not take.
bool is_service_session_id(std::string_view id);

// A port 1..65535 from decimal digits; 0 for none, an empty text, anything else or 65536
// and above.
std::uint32_t parse_sam_port(std::optional<std::string_view> text);

}  // namespace router
