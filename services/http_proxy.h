#pragma once
// The HTTP proxy's limits of a browser connection while it is read and answered by the proxy
// itself (until its socket goes to a bridge).
#include "services/http_connection.h"

namespace router {

// A browser has 15 s for its request head, of at most 64 KiB, read 8 KiB a pass. An answer
// the browser has not taken within 2 s, or a browser that has not hung up 2 s after the
// answer, is closed.
inline constexpr HttpConnLimits kHttpProxyConnLimits{.read_per_pass = 8192,
                                                     .max_head_bytes = 65536,
                                                     .head_timeout_ms = 15000,
                                                     .answer_timeout_ms = 2000,
                                                     .drain_timeout_ms = 2000};

}  // namespace router
