#pragma once
// The torrent API's request head, its checks and its answer. Pure functions over the
// connection record and texts: no socket is touched here.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "encoding/bytes.h"
#include "router/torrent_records.h"
#include "services/http_connection.h"

namespace router {

// Limits of one API connection.
inline constexpr std::size_t kApiAcceptsPerPass = 8;
inline constexpr std::size_t kApiReadPerPass = 16'384;
inline constexpr std::size_t kApiMaxHeadBytes = 65'536;        // buffered while no head end is found
inline constexpr std::int64_t kApiMaxBodyBytes = 4'194'304;    // Content-Length
inline constexpr std::uint64_t kApiRequestTimeoutMs = 15'000;  // from the accept to a complete request
inline constexpr std::uint64_t kApiAnswerTimeoutMs = 15'000;   // from the answer to its last byte sent
// After its answer a client normally hangs up at once; one that stays is closed after this.
inline constexpr std::uint64_t kApiDrainTimeoutMs = 2'000;
// Connections held at once; further clients wait in the listener's backlog.
inline constexpr std::size_t kApiMaxConnections = 64;

// The limits above as the HTTP connection machine takes them.
inline constexpr HttpConnLimits kApiConnLimits{.read_per_pass = kApiReadPerPass,
                                               .max_head_bytes = kApiMaxHeadBytes,
                                               .head_timeout_ms = kApiRequestTimeoutMs,
                                               .answer_timeout_ms = kApiAnswerTimeoutMs,
                                               .drain_timeout_ms = kApiDrainTimeoutMs};

// What a connection waits for, for a loop that sleeps until one of its sockets is ready:
// reading while its request comes in and while it drains after its answer, writing while
// answer bytes wait. Nothing once closed.
using ApiConnWants = HttpConnWants;
ApiConnWants api_conn_wants(const TorrentApiConn& conn);

// The first monotonic instant at which one of the connections runs out of time (request,
// answer or drain limit), so that the pass that acts on it comes in time; none without
// connections.
std::optional<std::uint64_t> api_next_deadline_ms(const std::vector<TorrentApiConn>& conns);

// Parses the head (without the blank line that ends it) into method, path, host, origin,
// has_api_header, content_type and content_length, and sets headers_done. False for a head
// that is not UTF-8, has no request line, or whose request line lacks the two blanks around
// a target.
bool api_parse_header_block(TorrentApiConn& conn, ByteView head);

// Host header check against pages that rebind their own name to 127.0.0.1: empty passes,
// otherwise (trimmed, lower-cased) 127.0.0.1, localhost or [::1], each with or without
// ":" and a port.
bool api_is_loopback_host(std::string_view host);

// Whether an Origin may read the API's answers in a browser: scheme and host exactly
// http://127.0.0.1, http://localhost or http://[::1] with an optional port, or a browser
// extension page of the vex-extension scheme; compared lower-cased, never by prefix alone.
bool api_is_allowed_origin(std::string_view origin);

// The whole answer: the head in its fixed order, CORS lines only for an allowed origin,
// "Connection: close", the blank line, then the body.
std::string api_response_text(int status, std::string_view reason, std::string_view body, std::string_view origin);

// Queues the answer on the connection with the connection's origin; the server writes it
// without waiting in the following passes and closes the connection when it is out. The
// document is body from body_at on; the bytes before it are room where the head goes when
// it fits, so that a large document is neither moved nor copied.
void api_send_response(TorrentApiConn& conn, int status, std::string_view reason, std::string body,
                       std::uint64_t now_ms, std::size_t body_at = 0);

}  // namespace router
