#pragma once
// One HTTP/1.x connection of a local server that takes one request and gives one answer:
// the HTTP proxy's browser connections and the torrent API's clients. The record holds what
// both need; each server's record adds its own fields to it. The steps here never wait on
// the socket:
//
//   Reading   the request comes in, at most read_per_pass bytes a pass, until the server
//             has all of it or head_timeout_ms have passed since the accept; while no head
//             end is found at most max_head_bytes are buffered;
//   Writing   the queued answer goes out as the socket takes it, within answer_timeout_ms
//             of being queued; then the write side is shut down;
//   Draining  what the client still sends is read and dropped (at most read_per_pass bytes
//             a pass) until it hangs up or drain_timeout_ms pass after the last answer byte,
//             so that closing does not reset the connection before the client has read its
//             answer.
//
// A connection that is finished is closed and marked closed; its server drops it from its
// list. The *_due_ms functions give the first instant at which a limit has passed: a step
// acts on it from then on, and the loop's wait ends then.
#include <cstddef>
#include <cstdint>
#include <string>

#include "encoding/bytes.h"
#include "ntcp2_net/tcp_socket.h"
#include "services/http_header.h"

namespace router {

enum class HttpConnPhase : std::uint8_t { Reading, Writing, Draining };

struct HttpConnLimits {
  std::size_t read_per_pass = 0;
  std::size_t max_head_bytes = 0;       // buffered while no head end is found
  std::uint64_t head_timeout_ms = 0;    // from the accept
  std::uint64_t answer_timeout_ms = 0;  // from the answer being queued to its last byte sent
  std::uint64_t drain_timeout_ms = 0;   // from the last answer byte to the client hanging up
};

struct HttpConnection {
  ntcp2_net::TcpSocket socket;
  Bytes inbuf;                    // read and not yet taken by the server
  std::uint64_t accepted_ms = 0;  // monotonic
  bool closed = false;            // ended; dropped from the server's list when found
  HttpConnPhase phase = HttpConnPhase::Reading;
  std::string answer;  // answer[answer_sent, end) is still to be sent
  std::size_t answer_sent = 0;
  std::uint64_t answered_ms = 0;  // monotonic; when the answer was queued
  std::uint64_t drained_ms = 0;   // monotonic; when the last answer byte was sent
};

// Closes the socket and marks the connection closed.
void finish_http_conn(HttpConnection& c);

// What a step of the connection would act on: reading while the request comes in (when the
// server reads it at all in its current state) and while it drains, writing while answer
// bytes wait. Nothing once closed.
struct HttpConnWants {
  bool read = false;
  bool write = false;
};
HttpConnWants http_conn_wants(const HttpConnection& c, bool reading_request);

std::uint64_t http_head_due_ms(const HttpConnection& c, const HttpConnLimits& limits);
std::uint64_t http_answer_due_ms(const HttpConnection& c, const HttpConnLimits& limits);
std::uint64_t http_drain_due_ms(const HttpConnection& c, const HttpConnLimits& limits);
// The limit of the connection's phase.
std::uint64_t http_conn_due_ms(const HttpConnection& c, const HttpConnLimits& limits);

// One read of the request: none once the head limit has passed (the server answers 408
// then); otherwise at most read_per_pass bytes appended to inbuf, and whether the client
// can send no more (its socket closed, failed, or at its end).
struct HttpInput {
  bool timed_out = false;
  bool ended = false;
  std::size_t got = 0;
};
HttpInput read_http_input(HttpConnection& c, const HttpConnLimits& limits, std::uint64_t now_ms);

// Where the head being read stands after a read.
enum class HttpHeadStatus : std::uint8_t {
  Waiting,   // no head end yet; more may come
  Gone,      // no head end, and the client can send no more: finish without an answer
  TimedOut,  // answer 408
  TooLarge,  // more than max_head_bytes buffered: answer 431 (also with the head in them)
  Complete,  // end tells where the head ends in inbuf
};
struct HttpHeadRead {
  HttpHeadStatus status = HttpHeadStatus::Waiting;
  HttpInput input;
  HttpHeaderEnd end;
};
// One pass of reading a request head: read, then the size limit, then the head end.
HttpHeadRead read_http_head(HttpConnection& c, const HttpConnLimits& limits, std::uint64_t now_ms);

// Queues the answer: answer[from, end) goes out in this and the following passes (the bytes
// before from are room the caller may have used for the head). Nothing more is read as
// request: inbuf is released.
void queue_http_answer(HttpConnection& c, std::string answer, std::size_t from, std::uint64_t now_ms);

// One pass of a Writing or Draining connection: what the socket takes now, then the write
// side's shutdown, then draining; the connection is finished when the client is gone or a
// limit has passed. True when it did work.
bool step_http_answer(HttpConnection& c, const HttpConnLimits& limits, std::uint64_t now_ms);

}  // namespace router
