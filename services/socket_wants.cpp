#include "services/socket_wants.h"

namespace router {

namespace {

void add(std::vector<SocketWant>& out, const ntcp2_net::TcpSocket& socket, bool read, bool write, PollKind kind) {
  if (socket.fd >= 0 && (read || write)) {
    out.push_back({socket.fd, read, write, read && socket.rx_start < socket.rx_end, kind});
  }
}

// A bridge side is read while the direction it feeds is open and its queue has room, and
// written while bytes wait for it.
void add_side(std::vector<SocketWant>& out, const ntcp2_net::TcpSocket& socket, bool done, bool other_failed,
              const ByteQueue& onwards, const ByteQueue& towards, bool failed) {
  const bool read = !done && !other_failed && onwards.size() < kLocalQueueCapacity;
  add(out, socket, read, !failed && !towards.empty(), PollKind::Bridge);
}

}  // namespace

void append_client_socket_wants(const Router& r, std::vector<SocketWant>& out) {
  for (const SamClientConn& c : r.sam_clients) {
    if (c.closed) continue;
    add(out, c.socket, c.state == SamClientState::Command, !c.out.empty(), PollKind::SamClient);
  }
  for (const StreamBridge& b : r.bridges) {
    add_side(out, b.socket_a, b.a_done, b.b_failed, b.to_b, b.to_a, b.a_failed);
    add_side(out, b.socket_b, b.b_done, b.a_failed, b.to_a, b.to_b, b.b_failed);
  }
  // A remote bridge reads its socket while pumping with room in pending_out (or, after a
  // failed connect, while it drains the client's last bytes), and writes while bytes wait.
  for (const RemoteStreamBridge& b : r.remote_bridges) {
    if (b.removed) continue;
    const bool read = b.finishing ? b.finish_shut
                                  : b.state == RemoteBridgeState::Established && !b.local_done &&
                                        b.pending_out.size() < kLocalQueueCapacity;
    add(out, b.socket, read, !b.local_failed && !b.to_local.empty(), PollKind::RemoteBridge);
  }
  // A proxy connection is read while its head is incomplete (or, once answered, while its
  // last bytes are drained), and written while its answer is not all out.
  for (const HttpProxyConn& c : r.http_proxy_conns) {
    const HttpConnWants w = http_conn_wants(c, c.state == HttpProxyConnState::ReadingHead);
    add(out, c.socket, w.read, w.write, PollKind::HttpProxyConn);
  }
}

}  // namespace router
