#include "services/socket_wants.h"

namespace router {

namespace {

void add(std::vector<SocketWant>& out, const ntcp2_net::TcpSocket& socket, bool read, bool write,
         bool bridge = false) {
  if (socket.fd >= 0 && (read || write)) {
    out.push_back({socket.fd, read, write, read && socket.rx_start < socket.rx_end, bridge});
  }
}

// A bridge side is read while the direction it feeds is open and its queue has room, and
// written while bytes wait for it.
void add_side(std::vector<SocketWant>& out, const ntcp2_net::TcpSocket& socket, bool done, bool other_failed,
              const ByteQueue& onwards, const ByteQueue& towards, bool failed) {
  const bool read = !done && !other_failed && onwards.size() < kLocalQueueCapacity;
  add(out, socket, read, !failed && !towards.empty(), true);
}

}  // namespace

void append_client_socket_wants(const Router& r, std::vector<SocketWant>& out) {
  for (const SamClientConn& c : r.sam_clients) {
    if (c.closed) continue;
    add(out, c.socket, c.state == SamClientState::Command, !c.out.empty());
  }
  for (const StreamBridge& b : r.bridges) {
    add_side(out, b.socket_a, b.a_done, b.b_failed, b.to_b, b.to_a, b.a_failed);
    add_side(out, b.socket_b, b.b_done, b.a_failed, b.to_a, b.to_b, b.b_failed);
  }
}

}  // namespace router
