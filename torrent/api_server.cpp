// The torrent API's loopback HTTP server: one request per connection, read and answered
// without ever waiting on the client. A pass accepts a few new connections, takes at most
// 16 KiB from each, answers every request that is complete, and writes each answer as far
// as the socket takes it; whatever is left is written in later passes.
#include <algorithm>

#include "router/router.h"
#include "services/http_connection.h"
#include "torrent/api_json.h"
#include "torrent/api_request.h"

namespace router {

namespace {

void answer_error(TorrentApiConn& conn, int status, std::string_view reason, std::string_view text,
                  std::uint64_t now_ms) {
  api_send_response(conn, status, reason, api_json_err(text), now_ms);
}

// Appends bytes to the body, never past its Content-Length.
void append_body(TorrentApiConn& conn, ByteView bytes) {
  const auto want = static_cast<std::size_t>(std::max<std::int64_t>(conn.content_length, 0));
  const std::size_t room = conn.body.size() < want ? want - conn.body.size() : 0;
  const std::size_t n = std::min(room, bytes.size());
  conn.body.insert(conn.body.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
}

// The head, once it is complete: parsed and checked, and the body bytes that came with it
// kept. False when the connection was answered instead.
bool take_head(TorrentApiConn& conn, const HttpHeadRead& read, std::uint64_t now_ms) {
  switch (read.status) {
    case HttpHeadStatus::TimedOut: answer_error(conn, 408, "Request Timeout", "request timeout", now_ms); return false;
    case HttpHeadStatus::TooLarge:
      answer_error(conn, 431, "Request Header Fields Too Large", "headers too large", now_ms);
      return false;
    case HttpHeadStatus::Gone: finish_http_conn(conn); return false;
    case HttpHeadStatus::Waiting: return false;
    case HttpHeadStatus::Complete: break;
  }
  const ByteView all(conn.inbuf);
  if (!api_parse_header_block(conn, all.first(read.end.head_length))) {
    answer_error(conn, 400, "Bad Request", "malformed HTTP request", now_ms);
    return false;
  }
  if (conn.content_length > kApiMaxBodyBytes) {
    answer_error(conn, 413, "Payload Too Large", "body exceeds 4 MiB limit", now_ms);
    return false;
  }
  append_body(conn, all.subspan(read.end.head_length + read.end.separator_length));
  conn.inbuf.clear();
  return true;
}

// Reading phase. Answers (queues) once the request is complete or breaks a limit; finishes
// a connection whose client went away before that.
void read_request(Router& router, TorrentApiConn& conn, const Now& now, bool& did_work) {
  bool ended = false;
  if (!conn.headers_done) {
    const HttpHeadRead read = read_http_head(conn, kApiConnLimits, now.mono_ms);
    if (read.input.got > 0) did_work = true;
    if (!take_head(conn, read, now.mono_ms)) return;
    ended = read.input.ended;
  } else {
    const HttpInput input = read_http_input(conn, kApiConnLimits, now.mono_ms);
    if (input.timed_out) {
      answer_error(conn, 408, "Request Timeout", "request timeout", now.mono_ms);
      return;
    }
    if (input.got > 0) did_work = true;
    append_body(conn, conn.inbuf);
    conn.inbuf.clear();
    ended = input.ended;
  }

  if (conn.body.size() >= static_cast<std::size_t>(conn.content_length)) {
    router.dispatch_torrent_api_request(conn, now);
    did_work = true;
    return;
  }
  if (ended) finish_http_conn(conn);
}

}  // namespace

bool Router::step_torrent_api(const Now& now) {
  if (!torrent_api_listener) return false;
  bool did_work = false;

  for (std::size_t i = 0; i < kApiAcceptsPerPass && torrent_api_conns.size() < kApiMaxConnections; ++i) {
    auto accepted = torrent_api_listener->accept(0);
    if (!accepted || !*accepted) break;
    TorrentApiConn& conn = torrent_api_conns.emplace_back();
    conn.socket = std::move(**accepted);
    conn.accepted_ms = now.mono_ms;
    did_work = true;
  }

  for (std::size_t i = 0; i < torrent_api_conns.size();) {
    TorrentApiConn& conn = torrent_api_conns[i];
    if (!conn.closed && conn.phase == HttpConnPhase::Reading) read_request(*this, conn, now, did_work);
    // An answer queued in this pass starts going out in this pass.
    if (!conn.closed && conn.phase != HttpConnPhase::Reading) {
      did_work = step_http_answer(conn, kApiConnLimits, now.mono_ms) || did_work;
    }
    if (conn.closed) {
      conn.socket.close();
      torrent_api_conns.erase(torrent_api_conns.begin() + static_cast<std::ptrdiff_t>(i));
      continue;
    }
    ++i;
  }
  return did_work;
}

}  // namespace router
