#include "services/http_connection.h"

#include <algorithm>
#include <array>

#include "ntcp2_net/glue.h"

namespace router {

void finish_http_conn(HttpConnection& c) {
  c.socket.close();
  c.closed = true;
}

HttpConnWants http_conn_wants(const HttpConnection& c, bool reading_request) {
  if (c.closed || c.socket.fd < 0) return {};
  switch (c.phase) {
    case HttpConnPhase::Reading: return {reading_request, false};
    case HttpConnPhase::Writing: return {false, true};
    case HttpConnPhase::Draining: return {true, false};
  }
  return {};
}

std::uint64_t http_head_due_ms(const HttpConnection& c, const HttpConnLimits& limits) {
  return c.accepted_ms + limits.head_timeout_ms + 1;
}
std::uint64_t http_answer_due_ms(const HttpConnection& c, const HttpConnLimits& limits) {
  return c.answered_ms + limits.answer_timeout_ms + 1;
}
std::uint64_t http_drain_due_ms(const HttpConnection& c, const HttpConnLimits& limits) {
  return c.drained_ms + limits.drain_timeout_ms + 1;
}

std::uint64_t http_conn_due_ms(const HttpConnection& c, const HttpConnLimits& limits) {
  switch (c.phase) {
    case HttpConnPhase::Reading: return http_head_due_ms(c, limits);
    case HttpConnPhase::Writing: return http_answer_due_ms(c, limits);
    case HttpConnPhase::Draining: return http_drain_due_ms(c, limits);
  }
  return http_head_due_ms(c, limits);
}

HttpInput read_http_input(HttpConnection& c, const HttpConnLimits& limits, std::uint64_t now_ms) {
  HttpInput input;
  // Before reading, so that a request completing in the pass of its limit is late too.
  if (now_ms >= http_head_due_ms(c, limits)) {
    input.timed_out = true;
    return input;
  }
  input.ended = c.socket.fd < 0;
  if (!input.ended) {
    auto got = c.socket.pump_nonblocking(c.inbuf, static_cast<std::int64_t>(limits.read_per_pass));
    if (got) {
      input.got = *got;
    } else {
      input.ended = true;
    }
  }
  return input;
}

HttpHeadRead read_http_head(HttpConnection& c, const HttpConnLimits& limits, std::uint64_t now_ms) {
  HttpHeadRead read;
  read.input = read_http_input(c, limits, now_ms);
  if (read.input.timed_out) {
    read.status = HttpHeadStatus::TimedOut;
  } else if (c.inbuf.size() > limits.max_head_bytes) {
    read.status = HttpHeadStatus::TooLarge;
  } else if (const auto end = find_http_header_end(c.inbuf, c.inbuf.size())) {
    read.status = HttpHeadStatus::Complete;
    read.end = *end;
  } else {
    read.status = read.input.ended ? HttpHeadStatus::Gone : HttpHeadStatus::Waiting;
  }
  return read;
}

void queue_http_answer(HttpConnection& c, std::string answer, std::size_t from, std::uint64_t now_ms) {
  c.answer = std::move(answer);
  c.answer_sent = std::min(from, c.answer.size());
  c.answered_ms = now_ms;
  c.phase = HttpConnPhase::Writing;
  c.inbuf.clear();
  c.inbuf.shrink_to_fit();
}

namespace {

// As much of the answer as the socket takes now; Draining once it is all out.
bool write_answer(HttpConnection& c, const HttpConnLimits& limits, std::uint64_t now_ms) {
  bool did_work = false;
  while (c.answer_sent < c.answer.size()) {
    const std::size_t left = c.answer.size() - c.answer_sent;
    const std::int32_t n = ondrel_i2p_net_tcp_send(c.socket.fd, reinterpret_cast<const std::uint8_t*>(c.answer.data()),
                                                   static_cast<std::int32_t>(c.answer_sent),
                                                   static_cast<std::int32_t>(std::min<std::size_t>(left, 1u << 30)));
    if (n == -2 || n == 0) break;
    if (n < 0) {  // the client is gone
      finish_http_conn(c);
      return true;
    }
    c.answer_sent += static_cast<std::size_t>(n);
    did_work = true;
  }
  if (c.answer_sent < c.answer.size()) {
    if (now_ms >= http_answer_due_ms(c, limits)) {
      finish_http_conn(c);
      did_work = true;
    }
    return did_work;
  }
  (void)ondrel_i2p_net_tcp_shutdown_write(c.socket.fd);
  c.answer.clear();
  c.answer.shrink_to_fit();
  c.answer_sent = 0;
  c.phase = HttpConnPhase::Draining;
  c.drained_ms = now_ms;
  return true;
}

// At most one pass's worth, through a small buffer on the stack: nothing is kept. Bytes the
// socket had buffered itself go first, so that none is left to make the socket look ready.
bool drain(HttpConnection& c, const HttpConnLimits& limits, std::uint64_t now_ms) {
  bool did_work = false;
  bool gone = c.socket.fd < 0;
  if (c.socket.rx_start < c.socket.rx_end) {
    c.socket.rx_start = c.socket.rx_end = 0;
    did_work = true;
  }
  std::array<std::uint8_t, 4096> discard;
  for (std::size_t taken = 0; !gone && taken < limits.read_per_pass;) {
    const std::int32_t n =
        ondrel_i2p_net_tcp_recv_nb(c.socket.fd, discard.data(), static_cast<std::int32_t>(discard.size()));
    if (n == -2) break;
    if (n <= 0) {  // hung up, or failed
      gone = true;
      break;
    }
    taken += static_cast<std::size_t>(n);
    did_work = true;
  }
  if (gone || now_ms >= http_drain_due_ms(c, limits)) {
    finish_http_conn(c);
    did_work = true;
  }
  return did_work;
}

}  // namespace

bool step_http_answer(HttpConnection& c, const HttpConnLimits& limits, std::uint64_t now_ms) {
  if (c.closed) return false;
  bool did_work = false;
  // An answer that goes out whole goes on to draining in the same pass.
  if (c.phase == HttpConnPhase::Writing) did_work = write_answer(c, limits, now_ms);
  if (!c.closed && c.phase == HttpConnPhase::Draining) did_work = drain(c, limits, now_ms) || did_work;
  return did_work;
}

}  // namespace router
