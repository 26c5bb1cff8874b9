// Streams on their way out: every envelope of a connection's outbox becomes one garlic
// message to the peer destination, sent down an own outbound tunnel to the inbound gateway
// of one of the peer's leases. And the timed pass that resends what the peers have not
// acknowledged and flushes what waits.
#include <algorithm>
#include <tuple>
#include <string>
#include <utility>
#include <vector>

#include "i2np/payload.h"
#include "ratchet/clove.h"
#include "router/destinations.h"
#include "router/id_counters.h"
#include "router/peer_log.h"
#include "router/random.h"
#include "router/poll_set.h"
#include "router/router.h"
#include "services/streams.h"
#include "services/wake_deadlines.h"

namespace router {

namespace {

constexpr std::uint32_t kCloveExpirationS = 60;
// Unacknowledged packets are first sent again after this long; public mode allows for
// the longer round trips of real tunnels.
constexpr std::uint64_t kResendPublicMs = 3500;
constexpr std::uint64_t kResendLocalMs = 1500;

}  // namespace

const common::Lease2& choose_peer_lease(const common::LeaseSet2& lease_set, std::uint32_t now_s,
                                        std::int32_t& rotation) {
  std::vector<const common::Lease2*> current;
  for (const common::Lease2& lease : lease_set.leases) {
    if (lease.end_date > now_s) current.push_back(&lease);
  }
  if (current.empty()) {
    for (const common::Lease2& lease : lease_set.leases) current.push_back(&lease);
  }
  return *current[take_rotation(rotation, current.size())];
}

Result<std::optional<ratchet::RatchetBlock>> Router::own_leaseset_clove(SamSession& session, const Now& now) {
  const std::uint32_t now_s = now.wall_s();
  const std::optional<common::LeaseSet2> own = build_session_leaseset2(session, now);
  if (!own) return std::nullopt;
  auto bytes = own->to_bytes();
  if (!bytes || bytes->empty()) return std::nullopt;
  i2np::I2npPayload::DatabaseStore store;
  store.key = session.dest_hash;
  store.store_type = common::LeaseSet2::kStoreType;
  store.data = std::move(*bytes);
  auto clove = ratchet::garlic_clove_block(ratchet::CloveDelivery::Local{}, take_id(next_msg_id),
                                           now_s + kCloveExpirationS, i2np::I2npPayload{std::move(store)});
  if (!clove) return std::unexpected(std::move(clove.error()));
  return std::optional<ratchet::RatchetBlock>(std::move(*clove));
}

streaming::ConnectionPtr find_stream_by_id(const std::vector<streaming::ConnectionPtr>& connections,
                                           std::uint32_t local_stream_id) {
  auto found = std::find_if(connections.begin(), connections.end(),
                            [&](const streaming::ConnectionPtr& c) { return c->local_stream_id == local_stream_id; });
  return found == connections.end() ? nullptr : *found;
}

void remove_stream_by_id(streaming::StreamManager& manager, std::uint32_t local_stream_id) {
  std::erase_if(manager.connections,
                [&](const streaming::ConnectionPtr& c) { return c->local_stream_id == local_stream_id; });
}

void reset_stream(streaming::StreamConnection& connection, std::uint64_t now_ms) {
  using streaming::StreamState;
  if (connection.state == StreamState::Closed || connection.state == StreamState::Reset) return;
  if (connection.peer_known) {
    streaming::StreamingPacket p;
    p.send_stream_id = connection.remote_stream_id;
    p.receive_stream_id = connection.local_stream_id;
    p.seq = connection.next_seq;
    std::tie(p.ack_through, p.nacks) = connection.wire_ack_and_nacks();
    p.flags = static_cast<std::uint16_t>(streaming::kReset | streaming::kSignatureIncluded);
    if (auto signed_packet = p.sign_ed25519(connection.signing_key)) {
      (void)connection.queue_packet(*signed_packet, now_ms, false);
    }
  }
  connection.unacked.clear();
  connection.state = StreamState::Reset;
}

std::size_t take_received(streaming::StreamConnection& connection, ByteQueue& out, std::size_t max) {
  const std::size_t n = std::min(max, connection.recv_buf.size());
  if (n == 0) return 0;
  out.append(ByteView(connection.recv_buf.data(), n));
  connection.recv_buf.erase(connection.recv_buf.begin(), connection.recv_buf.begin() + static_cast<std::ptrdiff_t>(n));
  return n;
}

void Router::flush_stream_outbound(SamSession& session, streaming::StreamConnection& connection,
                                   const common::Hash& peer_hash, ByteView peer_key, const common::Hash& gateway,
                                   std::uint32_t tunnel_id, bool force, const Now& now) {
  if (peer_key.size() != 32) return;
  if (connection.outbox.empty()) return;
  std::vector<Bytes> payloads(std::make_move_iterator(connection.outbox.begin()),
                              std::make_move_iterator(connection.outbox.end()));
  connection.outbox.clear();
  if (!session.ratchet) return;
  const std::uint32_t now_s = now.wall_s();

  // One lease for the whole call: a current one of the peer's LeaseSet2 in turn, else any
  // of its leases, else the caller's.
  common::Hash to_gateway = gateway;
  std::uint32_t to_tunnel = tunnel_id;
  if (const netdb::LeaseSet2Ptr lease_set = netdb.get_lease_set2(peer_hash, now_s);
      lease_set && !lease_set->leases.empty()) {
    const common::Lease2& chosen = choose_peer_lease(*lease_set, now_s, lease_rotation);
    to_gateway = chosen.gateway;
    to_tunnel = chosen.tunnel_id;
  }

  const bool bundle = force || !session.ratchet->has_active_session(peer_key, now_s);
  const ratchet::RandomSource random = [] { return next_rand_32(); };
  for (std::size_t i = 0; i < payloads.size(); ++i) {
    ratchet::RatchetBlocks blocks;
    if (i == 0 && bundle) {
      auto clove = own_leaseset_clove(session, now);
      if (!clove) continue;
      if (*clove) blocks.push_back(std::move(**clove));
    }
    auto data = ratchet::garlic_clove_block(ratchet::CloveDelivery::Destination{peer_hash}, take_id(next_msg_id),
                                            now_s + kCloveExpirationS,
                                            i2np::I2npPayload{i2np::I2npPayload::Data{std::move(payloads[i])}});
    if (!data) continue;
    blocks.push_back(std::move(*data));
    auto garlic = session.ratchet->encrypt_to_peer(peer_key, blocks, now_s, random);
    if (!garlic) continue;
    if (debug) {
      print_debug_line(debug, "[debug] send Garlic (" + std::to_string(garlic->size()) +
                                  "B, ls2=" + (bundle ? "true" : "false") + ") -> gw=" + to_gateway.to_b32_address() +
                                  " tid=" + std::to_string(to_tunnel));
    }
    send_routed_i2np(to_gateway, to_tunnel, i2np::I2npPayload{i2np::I2npPayload::Garlic{std::move(*garlic)}}, now);
  }
}

bool Router::step_stream_connections(const Now& now) {
  // A window's packets, and the acknowledgements of all streams, leave in one write per link.
  return holding_link_sends(now, [&] {
    bool did_work = false;
    const std::uint64_t base = public_mode ? kResendPublicMs : kResendLocalMs;
    const std::uint32_t now_s = now.wall_s();
    for (SamSession& session : sessions) {
      if (!session.streams) continue;
      if (session.streams->resend_due(now.mono_ms, base)) did_work = true;
      if (session.streams->send_due_acks(now.mono_ms)) did_work = true;
      // A flush may change the session's list only by what it sends, never the list itself;
      // the connection is held while it is flushed.
      for (std::size_t i = 0; i < session.streams->connections.size(); ++i) {
        const streaming::ConnectionPtr c = session.streams->connections[i];
        if (c->outbox.empty()) continue;
        const netdb::LeaseSet2Ptr lease_set = netdb.get_lease_set2(c->peer_hash, now_s);
        if (!lease_set || lease_set->leases.empty()) continue;
        const std::optional<std::array<std::uint8_t, 32>> key = extract_x25519_key(*lease_set);
        if (!key) continue;
        // The SYN and its resends carry the session's LeaseSet2: the peer needs it to answer.
        const bool force = c->state == streaming::StreamState::SynSent;
        flush_stream_outbound(session, *c, c->peer_hash, *key, lease_set->leases.front().gateway,
                              lease_set->leases.front().tunnel_id, force, now);
        did_work = true;
      }
    }
    return did_work;
  });
}

// The earliest timed resend or delayed acknowledgement of any stream: a packet is sent
// again once its interval, doubled per resend so far, has passed since its last send.
std::uint64_t next_streams_wake_ms(const Router& r, const Now& now) {
  std::uint64_t wake = kNoWakeDeadline;
  const std::uint64_t base = r.public_mode ? kResendPublicMs : kResendLocalMs;
  for (const SamSession& session : r.sessions) {
    if (!session.streams) continue;
    for (const streaming::ConnectionPtr& c : session.streams->connections) {
      if (c->state == streaming::StreamState::Reset) continue;
      if (const std::optional<std::uint64_t> ack = c->ack_due_ms()) wake = std::min(wake, std::max(*ack, now.mono_ms));
      for (const streaming::UnackedPacket& u : c->unacked) {
        const std::uint64_t interval =
            std::min<std::uint64_t>(base << std::min<std::uint32_t>(u.resends, 16), streaming::kMaxResendIntervalMs);
        wake = std::min(wake, std::max(u.last_send_ms + interval, now.mono_ms));
      }
    }
  }
  return wake;
}

}  // namespace router
