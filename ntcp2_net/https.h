#pragma once
// HTTPS downloads through the external `curl` program.
#include <cstddef>
#include <string_view>

#include "encoding/bytes.h"
#include "encoding/error.h"

namespace ntcp2_net {

// The body of an "https://" URL, waiting for `curl` (at most 25 s). A body larger than
// max_bytes fails rather than being cut. NetError::Io "https fetch(" url ") failed: " and the
// glue's text.
Result<Bytes> fetch_https(std::string_view url, std::size_t max_bytes);

}  // namespace ntcp2_net
