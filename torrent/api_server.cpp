// The torrent API's loopback HTTP server: one request per connection, read and answered
// without ever waiting on the client. A pass accepts a few new connections, takes at most
// 16 KiB from each, answers every request that is complete, and writes each answer as far
// as the socket takes it; whatever is left is written in later passes.
#include <algorithm>
#include <array>

#include "ntcp2_net/glue.h"
#include "router/router.h"
#include "services/http_proxy_request.h"
#include "torrent/api_json.h"
#include "torrent/api_request.h"

namespace router {

namespace {

void finish(TorrentApiConn& conn) {
  conn.socket.close();
  conn.closed = true;
}

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

// Reading phase. Answers (queues) once the request is complete or breaks a limit; finishes
// a connection whose client went away before that.
void read_request(Router& router, TorrentApiConn& conn, const Now& now, bool& did_work) {
  if (now.mono_ms >= api_request_due_ms(conn)) {
    answer_error(conn, 408, "Request Timeout", "request timeout", now.mono_ms);
    return;
  }

  bool ended = conn.socket.fd < 0;
  if (!ended) {
    auto got = conn.socket.pump_nonblocking(conn.recv_buf, static_cast<std::int64_t>(kApiReadPerPass));
    if (!got) {
      ended = true;
    } else if (*got > 0) {
      did_work = true;
    }
  }

  if (!conn.headers_done) {
    if (conn.recv_buf.size() > kApiMaxHeadBytes) {
      answer_error(conn, 431, "Request Header Fields Too Large", "headers too large", now.mono_ms);
      return;
    }
    const auto end = find_http_header_end(conn.recv_buf, conn.recv_buf.size());
    if (!end) {
      if (ended) finish(conn);
      return;
    }
    const ByteView all(conn.recv_buf);
    if (!api_parse_header_block(conn, all.first(end->head_length))) {
      answer_error(conn, 400, "Bad Request", "malformed HTTP request", now.mono_ms);
      return;
    }
    if (conn.content_length > kApiMaxBodyBytes) {
      answer_error(conn, 413, "Payload Too Large", "body exceeds 4 MiB limit", now.mono_ms);
      return;
    }
    append_body(conn, all.subspan(end->head_length + end->separator_length));
  } else {
    append_body(conn, conn.recv_buf);
  }
  conn.recv_buf.clear();

  if (conn.body.size() >= static_cast<std::size_t>(conn.content_length)) {
    router.dispatch_torrent_api_request(conn, now);
    did_work = true;
    return;
  }
  if (ended) finish(conn);
}

// Writing phase: as much of the answer as the socket takes now. A client that has not taken
// all of it within its time is closed.
void write_answer(TorrentApiConn& conn, const Now& now, bool& did_work) {
  while (conn.answer_sent < conn.answer.size()) {
    const std::size_t left = conn.answer.size() - conn.answer_sent;
    const std::int32_t n = ondrel_i2p_net_tcp_send(
        conn.socket.fd, reinterpret_cast<const std::uint8_t*>(conn.answer.data()),
        static_cast<std::int32_t>(conn.answer_sent), static_cast<std::int32_t>(std::min<std::size_t>(left, 1u << 30)));
    if (n == -2 || n == 0) break;
    if (n < 0) {  // the client is gone
      finish(conn);
      did_work = true;
      return;
    }
    conn.answer_sent += static_cast<std::size_t>(n);
    did_work = true;
  }
  if (conn.answer_sent < conn.answer.size()) {
    if (now.mono_ms >= api_answer_due_ms(conn)) {
      finish(conn);
      did_work = true;
    }
    return;
  }
  ondrel_i2p_net_tcp_shutdown_write(conn.socket.fd);
  conn.answer.clear();
  conn.answer.shrink_to_fit();
  conn.phase = ApiConnPhase::Draining;
  conn.drained_ms = now.mono_ms;
}

// Draining phase: request bytes the server never read are taken and dropped until the
// client hangs up, so that closing does not reset the connection before the client has read
// its answer.
void drain(TorrentApiConn& conn, const Now& now, bool& did_work) {
  // At most one pass's worth, through a small buffer on the stack: nothing is kept.
  std::array<std::uint8_t, 4096> discard;
  bool gone = conn.socket.fd < 0;
  for (std::size_t taken = 0; !gone && taken < kApiReadPerPass;) {
    const std::int32_t n =
        ondrel_i2p_net_tcp_recv_nb(conn.socket.fd, discard.data(), static_cast<std::int32_t>(discard.size()));
    if (n == -2) break;
    if (n <= 0) gone = true;  // hung up, or failed
    taken += static_cast<std::size_t>(std::max(n, 0));
  }
  if (gone || now.mono_ms >= api_drain_due_ms(conn)) {
    finish(conn);
    did_work = true;
  }
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
    if (!conn.closed && conn.phase == ApiConnPhase::Reading) read_request(*this, conn, now, did_work);
    // An answer queued in this pass starts going out in this pass.
    if (!conn.closed && conn.phase == ApiConnPhase::Writing)
      write_answer(conn, now, did_work);
    else if (!conn.closed && conn.phase == ApiConnPhase::Draining)
      drain(conn, now, did_work);
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
