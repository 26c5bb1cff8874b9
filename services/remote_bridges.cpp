// Remote stream bridges: a local socket (a SAM client's or a browser's) joined to an I2P
// streaming connection of a local session. Nothing here waits on the socket: stream data
// goes out through the bridge's bounded to_local queue as far as the socket takes it, and
// local bytes wait in pending_out until the stream's window takes them.
//
// Closing keeps every byte: when the local side ends, pending_out is still written into
// the stream, the CLOSE follows only once it is all in, and the bridge goes when the
// stream has closed both ways with everything acknowledged and delivered, when the peer
// resets it, or when the streaming layer gives the peer up.
#include <algorithm>
#include <string>
#include <utility>

#include "ntcp2_net/glue.h"
#include "router/destinations.h"
#include "router/peer_log.h"
#include "router/poll_set.h"
#include "router/router.h"
#include "services/http_proxy_pages.h"
#include "services/remote_bridge.h"
#include "services/streams.h"
#include "services/wake_deadlines.h"

namespace router {

namespace {

using streaming::StreamState;

// Bytes read from the local socket per bridge and pass, at most: enough to fill a stream
// window several times over, so that a pass never leaves the window idle for want of
// local bytes (pending_out's own bound still stops the reads while the stream lags).
constexpr std::size_t kLocalReadPerPass = 64 * 1024;
// A connect must be answered within this long (public mode allows for real tunnels).
constexpr std::uint64_t kConnectTimeoutPublicMs = 30000;
constexpr std::uint64_t kConnectTimeoutLocalMs = 12000;
// A SYN unanswered this long asks for a fresh ratchet session with the peer, at most once
// per peer in the reset window, when the peer has not been heard from for the quiet time.
constexpr std::uint64_t kSynStallMs = 7000;
constexpr std::uint64_t kRatchetResetWindowMs = 12000;
constexpr std::uint32_t kSynStallQuietS = 8;
// A failed connect forgets the peer's LeaseSet2 and ratchet state unless it was heard
// from this recently.
constexpr std::uint32_t kFailedConnectQuietS = 15;
// After a failed connect's answer is out, the client has this long to hang up before its
// socket is closed.
constexpr std::uint64_t kFinishLingerMs = 2000;

// The first instant at which each limit of a bridge has passed: its step acts from then on,
// and the loop's wait ends then (next_remote_bridges_wake_ms).
std::uint64_t syn_stall_due_ms(const RemoteStreamBridge& b) { return b.started_ms + kSynStallMs + 1; }
std::uint64_t connect_due_ms(const Router& r, const RemoteStreamBridge& b) {
  return b.started_ms + (r.public_mode ? kConnectTimeoutPublicMs : kConnectTimeoutLocalMs) + 1;
}
std::uint64_t finish_due_ms(const RemoteStreamBridge& b) { return b.finishing_ms + kFinishLingerMs + 1; }

void queue_line(RemoteStreamBridge& b, std::string_view line) {
  b.to_local.append(as_bytes(line));
  b.to_local.append(as_bytes("\n"));
}

bool writable_state(StreamState s) { return s == StreamState::SynSent || s == StreamState::Established; }

// Sends what the socket takes of to_local; a failed send ends the way to the local side
// (what was queued for it is dropped). True when something moved or failed.
bool flush_local(RemoteStreamBridge& b) {
  if (b.local_failed || b.to_local.empty()) return false;
  auto sent = send_queued(b.socket, b.to_local);
  if (!sent) {
    b.local_failed = true;
    b.local_done = true;  // a socket that cannot be written is not read either
    b.to_local.clear();
    return true;
  }
  return *sent > 0;
}

// Offers pending_out to the stream; bytes it does not take stay. In a state that can no
// longer carry data (the peer reset, or the stream closed) they are dropped.
bool offer_pending(RemoteStreamBridge& b, streaming::StreamConnection& c, std::uint64_t now_ms) {
  if (b.pending_out.empty()) return false;
  if (!writable_state(c.state)) {
    b.pending_out.clear();
    return true;
  }
  auto taken = c.write(b.pending_out.front(), now_ms);
  if (!taken || *taken == 0) return false;
  b.pending_out.consume(*taken);
  return true;
}

void begin_closing(RemoteStreamBridge& b, streaming::StreamConnection& c, std::uint64_t now_ms) {
  if (b.closing) return;
  b.closing = true;
  if (b.close_started_ms == 0) b.close_started_ms = now_ms;
  (void)c.close(now_ms);
}

}  // namespace

bool Router::has_active_bridge_to(const common::Hash& peer) const {
  return std::any_of(remote_bridges.begin(), remote_bridges.end(), [&](const RemoteStreamBridge& b) {
    return !b.removed && !b.finishing && b.peer_hash == peer && b.state == RemoteBridgeState::Established && !b.closing;
  });
}

void Router::initiate_remote_stream(std::int32_t client_id, const SamSession& given, const common::Destination& peer,
                                    const common::LeaseSet2& lease_set, bool silent, std::uint32_t from_port,
                                    std::uint32_t to_port, const Now& now) {
  SamClientConn* client = find_sam_client(client_id);
  if (client == nullptr || client->closed) return;
  SamSession* session = find_session_by_id(sessions, given.id);
  auto fail = [&](std::string_view line) {
    if (!silent) send_sam_line(*client, line);
    close_sam_client(*client);
  };
  if (session == nullptr || !session->streams) {
    fail("STREAM STATUS RESULT=I2P_ERROR");
    return;
  }
  const std::optional<std::array<std::uint8_t, 32>> key = extract_x25519_key(lease_set);
  if (!key || lease_set.leases.empty()) {
    fail("STREAM STATUS RESULT=CANT_REACH_PEER");
    return;
  }
  const common::Hash peer_hash = peer.keys_and_cert.hash();
  const common::Lease2& first = lease_set.leases.front();
  if (debug) {
    print_debug_line(debug, "[debug] initiating remote stream to " + peer_hash.to_b32_address() +
                                " leases=" + std::to_string(lease_set.leases.size()) +
                                " keys=" + std::to_string(lease_set.encryption_keys.size()) + " first_gw=" +
                                first.gateway.to_b32_address() + " tid=" + std::to_string(first.tunnel_id));
  }
  auto opened = session->streams->connect(peer_hash, now.mono_ms, static_cast<std::uint16_t>(from_port),
                                          static_cast<std::uint16_t>(to_port));
  if (!opened) {
    fail("STREAM STATUS RESULT=I2P_ERROR");
    return;
  }
  const streaming::ConnectionPtr connection = *opened;

  RemoteStreamBridge b = connecting_remote_bridge(std::move(client->socket), {.session_id = session->id,
                                                                              .peer_hash = peer_hash,
                                                                              .peer_x25519 = *key,
                                                                              .lease = first,
                                                                              .stream_id = connection->local_stream_id,
                                                                              .now_ms = now.mono_ms,
                                                                              .silent = silent});
  // Replies the client has not read yet go first; bytes it sent behind its command line
  // reach the peer first.
  b.to_local = std::move(client->out);
  b.pending_out.append(client->inbuf);
  b.owned_sessions = std::move(client->created_sessions);
  client->created_sessions.clear();
  client->inbuf.clear();
  client->out.clear();
  client->state = SamClientState::Bridged;
  remote_bridges.push_back(std::move(b));
  flush_stream_outbound(*session, *connection, peer_hash, *key, first.gateway, first.tunnel_id, true, now);
}

namespace {

// Pass 1: each SAM client waiting in STREAM ACCEPT on a session takes the oldest inbound
// connection of its accept queue.
bool hand_over_inbound(Router& r, const Now& now) {
  bool did_work = false;
  for (std::size_t si = 0; si < r.sessions.size(); ++si) {
    SamSession& session = r.sessions[si];
    if (!session.streams) continue;
    for (SamClientConn& client : r.sam_clients) {
      if (client.closed || client.state != SamClientState::Accepting || client.accept_id != session.id) continue;
      if (session.streams->accept_queue.empty()) break;
      const streaming::ConnectionPtr connection = session.streams->accept_queue.front();
      session.streams->accept_queue.pop_front();
      if (!connection->peer_destination) continue;
      const common::Destination& peer = *connection->peer_destination;

      // The destination's own key counts when it is an X25519 key (the only 32-byte kind).
      Bytes key0 = peer.keys_and_cert.crypto_public_key();
      if (key0.size() != 32) key0.clear();
      common::Hash gateway = r.router_hash();
      std::uint32_t tunnel_id = 0;
      Bytes key = key0;
      if (const netdb::LeaseSet2Ptr ls = r.netdb.get_lease_set2(connection->peer_hash, now.wall_s());
          ls && !ls->leases.empty()) {
        gateway = ls->leases.front().gateway;
        tunnel_id = ls->leases.front().tunnel_id;
        if (auto k = extract_x25519_key(*ls)) key.assign(k->begin(), k->end());
      }

      RemoteStreamBridge b;
      b.to_local = std::move(client.out);
      if (!client.silent) queue_line(b, peer.to_base64());
      b.session_id = session.id;
      b.peer_hash = connection->peer_hash;
      b.peer_x25519 = key;
      b.gateway = gateway;
      b.tunnel_id = tunnel_id;
      b.stream_id = connection->local_stream_id;
      b.state = RemoteBridgeState::Established;
      b.silent = client.silent;
      b.started_ms = now.mono_ms;
      b.pending_out.append(client.inbuf);
      b.socket = std::move(client.socket);
      b.owned_sessions = std::move(client.created_sessions);
      client.created_sessions.clear();
      client.inbuf.clear();
      client.out.clear();
      client.state = SamClientState::Bridged;
      (void)flush_local(b);
      r.remote_bridges.push_back(std::move(b));
      if (key.size() == 32) {
        r.flush_stream_outbound(session, *connection, connection->peer_hash, key, gateway, tunnel_id, true, now);
      }
      did_work = true;
    }
  }
  return did_work;
}

// Pass 2: a SYN that has gone unanswered for a while may be stuck behind a ratchet session
// the peer lost; the next garlic then starts a new one.
void check_stalled_syns(Router& r, const Now& now) {
  const std::uint32_t now_s = now.wall_s();
  for (std::size_t i = 0; i < r.remote_bridges.size(); ++i) {
    RemoteStreamBridge& b = r.remote_bridges[i];
    if (b.finishing || b.state != RemoteBridgeState::Connecting || b.syn_stall_checked) continue;
    if (now.mono_ms < syn_stall_due_ms(b)) continue;
    b.syn_stall_checked = true;
    if (r.has_active_bridge_to(b.peer_hash)) continue;
    SamSession* session = Router::find_session_by_id(r.sessions, b.session_id);
    if (session == nullptr || !session->ratchet) continue;
    const std::uint32_t last = session->ratchet->last_recv_sec(b.peer_x25519);
    if (!session->ratchet->has_active_session(b.peer_x25519, now_s)) continue;
    if (last != 0 && last + kSynStallQuietS >= now_s) continue;
    if (!r.try_acquire_ratchet_reset(b.peer_hash, now.mono_ms, kRatchetResetWindowMs)) continue;
    session->ratchet->mark_send_stale(b.peer_x25519);
    print_debug_line(r.debug,
                     "[debug] marking ECIES ratchet send-stale for stalled SYN to " + b.peer_hash.to_b32_address());
  }
}

// A connect that failed or timed out: the client gets its answer, the stream goes, and
// the peer's ratchet state and LeaseSet2 are forgotten unless it was heard from lately.
void fail_connect(Router& r, RemoteStreamBridge& b, SamSession& session, const Now& now) {
  print_debug_line(r.debug, "[debug] Streaming failed/timed out to " + b.peer_hash.to_b32_address());
  const std::uint32_t now_s = now.wall_s();
  if (!r.has_active_bridge_to(b.peer_hash) && session.ratchet) {
    const std::uint32_t last = session.ratchet->last_recv_sec(b.peer_x25519);
    if (last == 0 || last + kFailedConnectQuietS < now_s) {
      session.ratchet->mark_send_stale(b.peer_x25519);
      r.netdb.remove_lease_set2(b.peer_hash);
    }
  }
  if (b.is_http) {
    const HttpProxyErrorPage page = http_proxy_error_page(
        504, "Gateway Timeout",
        "Timed out establishing an I2P Streaming connection to " + b.host + " (" + b.peer_hash.to_b32_address() + ").",
        0);
    b.to_local.append(as_bytes(page.head));
    b.to_local.append(as_bytes(page.body));
  } else if (!b.silent) {
    queue_line(b, "STREAM STATUS RESULT=CANT_REACH_PEER");
  }
  if (session.streams) remove_stream_by_id(*session.streams, b.stream_id);
  b.pending_out.clear();
  b.finishing = true;
  b.finishing_ms = now.mono_ms;
}

// A failed connect's last pass: its answer goes out, then the write side is shut and what
// the client still sends is dropped until it hangs up. True once the socket can go.
bool step_finishing(RemoteStreamBridge& b, const Now& now, bool& did_work) {
  if (flush_local(b)) did_work = true;
  if (!b.local_failed && !b.to_local.empty() && now.mono_ms < finish_due_ms(b)) return false;
  if (!b.finish_shut) {
    b.finish_shut = true;
    if (b.socket.fd >= 0) (void)ondrel_i2p_net_tcp_shutdown_write(b.socket.fd);
    did_work = true;
  }
  if (now.mono_ms >= finish_due_ms(b)) return true;
  ByteQueue dropped;
  for (;;) {
    auto got = receive_into(b.socket, dropped, 64 * 1024);
    if (!got) return true;
    if (*got == 0) return false;
    did_work = true;
    dropped.clear();
  }
}

// Pass 4 for one established bridge; true when the bridge is finished.
bool pump_established(Router& r, RemoteStreamBridge& b, SamSession& session, streaming::StreamConnection& c,
                      const Now& now, bool& did_work) {
  const std::uint64_t now_ms = now.mono_ms;
  // Stream to socket, through the bounded queue; what does not fit stays in the connection.
  if (flush_local(b)) did_work = true;
  if (!b.local_failed && b.to_local.size() < kLocalQueueCapacity && !c.recv_buf.empty()) {
    const std::size_t n = take_received(c, b.to_local, kLocalQueueCapacity - b.to_local.size());
    if (r.debug) {
      print_debug_line(r.debug, "[debug] stream " + std::to_string(b.stream_id) + " recv " + std::to_string(n) + "B");
    }
    (void)flush_local(b);
    did_work = true;
  }
  if (b.local_failed && !c.recv_buf.empty()) {
    c.recv_buf.clear();  // nobody to give it to
  }
  // The peer's close reaches the socket once everything before it has.
  if (c.peer_closed && c.recv_buf.empty() && b.to_local.empty() && !b.eof_delivered) {
    print_debug_line(r.debug, "[debug] stream " + std::to_string(b.stream_id) + " EOF");
    if (!b.local_failed && b.socket.fd >= 0) (void)ondrel_i2p_net_tcp_shutdown_write(b.socket.fd);
    b.eof_delivered = true;
    if (b.is_http) {
      // The site has answered: the browser's connection ends here.
      b.local_done = true;
      b.pending_out.clear();
    }
    did_work = true;
  }
  if (c.state == StreamState::Reset) {
    (void)flush_local(b);
    return true;
  }
  // Socket to stream: pending_out first, then new bytes while it has room.
  if (offer_pending(b, c, now_ms)) did_work = true;
  if (!b.local_done && b.pending_out.size() < kLocalQueueCapacity) {
    const std::size_t room = std::min(kLocalReadPerPass, kLocalQueueCapacity - b.pending_out.size());
    auto got = receive_into(b.socket, b.pending_out, room);
    if (!got) {
      b.local_done = true;
      did_work = true;
    } else if (*got > 0) {
      did_work = true;
      (void)offer_pending(b, c, now_ms);
    }
  }
  // The CLOSE follows the last local byte.
  if (b.local_done && b.pending_out.empty() && !b.closing) {
    begin_closing(b, c, now_ms);
    did_work = true;
  }
  if (b.peer_x25519.size() == 32) {
    r.flush_stream_outbound(session, c, b.peer_hash, b.peer_x25519, b.gateway, b.tunnel_id, false, now);
  }
  if (!b.closing || !c.unacked.empty()) return false;
  // Done when both sides have closed, the peer acknowledged everything (the CLOSE
  // included), and what the peer sent was delivered, or cannot be.
  const bool delivered = b.local_failed || b.eof_delivered;
  if (c.state == StreamState::Closed && delivered) return true;
  // A client that can no longer be written to will not take what the peer still sends:
  // once everything it sent is acknowledged, the peer is told with a RESET.
  if (b.local_failed && !c.peer_closed) {
    reset_stream(c, now_ms);
    if (b.peer_x25519.size() == 32) {
      r.flush_stream_outbound(session, c, b.peer_hash, b.peer_x25519, b.gateway, b.tunnel_id, false, now);
    }
    return true;
  }
  return false;
}

}  // namespace

// The SYN stall check and the connect limit of connecting bridges, and the linger of failed
// connects.
std::uint64_t next_remote_bridges_wake_ms(const Router& r, const Now& now) {
  std::uint64_t wake = kNoWakeDeadline;
  const auto due = [&](std::uint64_t at) { wake = std::min(wake, std::max(at, now.mono_ms)); };
  for (const RemoteStreamBridge& b : r.remote_bridges) {
    if (b.removed) continue;
    if (b.finishing) {
      due(finish_due_ms(b));
    } else if (b.state == RemoteBridgeState::Connecting) {
      if (!b.syn_stall_checked) due(syn_stall_due_ms(b));
      due(connect_due_ms(r, b));
    }
  }
  return wake;
}

bool Router::step_remote_bridges(const Now& now) {
  bool did_work = hand_over_inbound(*this, now);
  check_stalled_syns(*this, now);
  if (step_stream_connections(now)) did_work = true;

  std::vector<std::string> ending;
  for (std::size_t i = 0; i < remote_bridges.size();) {
    RemoteStreamBridge& b = remote_bridges[i];
    bool finished = false;
    bool drop_stream = true;
    SamSession* session = find_session_by_id(sessions, b.session_id);
    streaming::ConnectionPtr connection = session != nullptr && session->streams
                                              ? find_stream_by_id(session->streams->connections, b.stream_id)
                                              : nullptr;
    if (b.finishing) {
      finished = step_finishing(b, now, did_work);
      drop_stream = false;
    } else if (!connection) {
      finished = true;
      drop_stream = false;
    } else {
      if (b.state == RemoteBridgeState::Connecting) {
        if (flush_local(b)) did_work = true;  // replies the client had not read yet
        const StreamState s = connection->state;
        if (s == StreamState::Established || s == StreamState::CloseSent || s == StreamState::Closed) {
          b.state = RemoteBridgeState::Established;
          print_debug_line(debug, "[debug] Streaming established to " + b.peer_hash.to_b32_address() +
                                      " (local_sid=" + std::to_string(b.stream_id) + ")");
          if (!b.silent) queue_line(b, "STREAM STATUS RESULT=OK");
          did_work = true;
        } else if (s == StreamState::Reset || now.mono_ms >= connect_due_ms(*this, b)) {
          fail_connect(*this, b, *session, now);
          did_work = true;
          ++i;
          continue;
        }
      }
      if (b.state == RemoteBridgeState::Established) {
        finished = pump_established(*this, b, *session, *connection, now, did_work);
      }
    }
    if (!finished) {
      ++i;
      continue;
    }
    if (drop_stream && session != nullptr && session->streams) remove_stream_by_id(*session->streams, b.stream_id);
    b.socket.close();
    b.removed = true;
    for (std::string& s : b.owned_sessions) ending.push_back(std::move(s));
    remote_bridges.erase(remote_bridges.begin() + static_cast<std::ptrdiff_t>(i));
    did_work = true;
  }
  for (const std::string& id : ending) end_session(id, now);
  return did_work;
}

}  // namespace router
