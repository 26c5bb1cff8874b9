// Local bridges: two local sockets joined (a STREAM CONNECT to a session of this router and
// the client accepting on it). Each direction runs through a bounded queue written when
// its socket takes bytes; while a queue is full its source is not read, so a side that
// stops reading slows its own bridge only.
#include "ntcp2_net/glue.h"
#include "router/router.h"

namespace router {

namespace {

// Sends what the destination takes; a failed send ends the direction towards it.
bool flush(ntcp2_net::TcpSocket& to, ByteQueue& queue, bool& to_failed) {
  if (to_failed || queue.empty()) return false;
  auto sent = send_queued(to, queue);
  if (!sent) {
    to_failed = true;
    queue.clear();
    return true;
  }
  return *sent > 0;
}

// Reads what the source has, as far as the queue has room; the end of the stream or a
// receive failure ends the source's input.
bool feed(ntcp2_net::TcpSocket& from, bool& from_done, ByteQueue& queue, bool to_failed) {
  if (from_done || to_failed || queue.size() >= kLocalQueueCapacity) return false;
  auto got = receive_into(from, queue, kLocalQueueCapacity - queue.size());
  if (!got) {
    from_done = true;
    return true;
  }
  return *got > 0;
}

// Once a side's input has ended and everything it sent was delivered, the other side
// learns of the end: its write direction is shut down.
bool shut_when_drained(bool from_done, const ByteQueue& queue, ntcp2_net::TcpSocket& to, bool to_failed,
                       bool& to_shut) {
  if (!from_done || !queue.empty() || to_failed || to_shut) return false;
  if (to.fd >= 0) (void)ondrel_i2p_net_tcp_shutdown_write(to.fd);
  to_shut = true;
  return true;
}

bool pump(StreamBridge& b) {
  bool moved = false;
  moved |= flush(b.socket_b, b.to_b, b.b_failed);
  moved |= flush(b.socket_a, b.to_a, b.a_failed);
  const bool read_a = feed(b.socket_a, b.a_done, b.to_b, b.b_failed);
  const bool read_b = feed(b.socket_b, b.b_done, b.to_a, b.a_failed);
  moved |= read_a || read_b;
  if (read_a) moved |= flush(b.socket_b, b.to_b, b.b_failed);
  if (read_b) moved |= flush(b.socket_a, b.to_a, b.a_failed);
  moved |= shut_when_drained(b.a_done, b.to_b, b.socket_b, b.b_failed, b.b_shut);
  moved |= shut_when_drained(b.b_done, b.to_a, b.socket_a, b.a_failed, b.a_shut);
  return moved;
}

bool finished(const StreamBridge& b) {
  const bool a_to_b_over = b.b_failed || (b.a_done && b.to_b.empty());
  const bool b_to_a_over = b.a_failed || (b.b_done && b.to_a.empty());
  return a_to_b_over && b_to_a_over;
}

}  // namespace

bool Router::step_bridges(const Now& now) {
  bool did_work = false;
  std::vector<std::string> ending;
  for (std::size_t i = 0; i < bridges.size();) {
    StreamBridge& b = bridges[i];
    if (pump(b)) did_work = true;
    if (!finished(b)) {
      ++i;
      continue;
    }
    b.socket_a.close();
    b.socket_b.close();
    for (std::string& s : b.owned_sessions) ending.push_back(std::move(s));
    bridges.erase(bridges.begin() + static_cast<std::ptrdiff_t>(i));
    did_work = true;
  }
  for (const std::string& id : ending) end_session(id, now);
  return did_work;
}

}  // namespace router
