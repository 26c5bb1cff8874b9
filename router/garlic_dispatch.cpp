// Garlic as it arrives: offered to its openers in a fixed order, the first that opens it
// owning it -- the reply to an own tunnel build (by its one-time tag), the answer to an
// own lookup (by its one-time tag), the client sessions (all by their tags, then all as a
// NewSession, each time in list order), and last the router's own key. Only GarlicClove
// blocks are looked at; a clove's delivery instructions are never consulted, its message
// is handled here.
#include <string>
#include <utility>

#include "crypto/ct_eq.h"
#include "encoding/text.h"
#include "i2np/message.h"
#include "ratchet/clove.h"
#include "ratchet/lookup_reply.h"
#include "ratchet/router_garlic.h"
#include "router/destinations.h"
#include "router/peer_log.h"
#include "router/router.h"
#include "streaming/manager.h"

namespace router {

namespace {

constexpr std::size_t kTagSize = 8;

// Every GarlicClove block whose message decodes, in order; the others are skipped.
template <typename Fn>
void for_each_clove(const ratchet::RatchetBlocks& blocks, Fn&& fn) {
  for (const ratchet::RatchetBlock& block : blocks) {
    const auto* clove = block.get_if<ratchet::RatchetBlock::GarlicClove>();
    if (clove == nullptr) continue;
    auto message = ratchet::decode_garlic_clove_i2np(clove->message);
    if (message) fn(message->first, message->second);
  }
}

void dispatch_cloves(Router& r, const ratchet::RatchetBlocks& blocks, const Arrival& arrival, const Now& now) {
  for_each_clove(blocks, [&](const i2np::I2npShortHeader& header, const i2np::I2npPayload& payload) {
    r.dispatch_i2np_message(arrival, header, payload, now);
  });
}

// The answer to a pending lookup, found by the tag its request asked for. True when it
// opened; the lookup stays pending, its answer completes it.
bool try_lookup_reply(Router& r, const Arrival& arrival, ByteView garlic, const Now& now) {
  if (garlic.size() < ratchet::kLookupReplyMinLen) return false;
  const ByteView tag = garlic.first(kTagSize);
  for (const PendingNetDbLookup& lookup : r.pending_lookups) {
    for (const ReplySeal& seal : lookup.replies) {
      if (!crypto::ct_eq(tag, seal.tag)) continue;
      auto blocks = ratchet::decrypt_ecies_lookup_reply(seal.key, seal.tag, garlic);
      if (!blocks) return false;
      // The cloves may change the pending lookups; nothing of the list is used past here.
      dispatch_cloves(r, *blocks, arrival.inner(MessageOrigin::LookupReply), now);
      return true;
    }
  }
  return false;
}

// A Data clove of a session's garlic: its body is one I2CP envelope for the session's
// stream manager. What the packet produced goes out at once when the peer's LeaseSet2 is
// known (else the timed stream pass sends it later), with the session's LeaseSet2 along
// when the packet opened a new connection. A lone plain ACK waits for the stream pass at
// the end of this loop pass, so that the packets of one pass are acknowledged together; a
// packet whose acknowledgement is delayed leaves nothing to send and costs no lookup.
void deliver_session_data(Router& r, std::size_t session_index, const Bytes& body, const Now& now) {
  SamSession& session = r.sessions[session_index];
  if (!session.streams) return;
  const std::size_t connections_before = session.streams->connections.size();
  auto handled = session.streams->handle_incoming_i2cp(body, now.mono_ms);
  if (!handled) {
    print_debug_line(r.debug,
                     "[debug] incoming I2CP error on " + session.id + ": " + streaming::error_text(handled.error()));
    return;
  }
  const streaming::ConnectionPtr connection = *handled;
  if (!connection) return;
  const bool opened = session.streams->connections.size() > connections_before;
  if (!opened && (connection->outbox.empty() || connection->only_ack_waiting())) return;
  const netdb::LeaseSet2Ptr lease_set = r.netdb.get_lease_set2(connection->peer_hash, now.wall_s());
  if (!lease_set || lease_set->leases.empty()) return;
  const std::optional<std::array<std::uint8_t, 32>> key = extract_x25519_key(*lease_set);
  if (!key) return;
  r.flush_stream_outbound(session, *connection, connection->peer_hash, *key, lease_set->leases.front().gateway,
                          lease_set->leases.front().tunnel_id, opened, now);
}

// Cloves of garlic that a client session opened, in two passes: the LeaseSet2 stores
// first, so that the sender's LeaseSet2 is known before anything of its data is handled,
// then the other cloves in order.
void handle_session_cloves(Router& r, std::size_t session_index, const ratchet::RatchetBlocks& blocks,
                           const Arrival& arrival, const Now& now) {
  const Arrival clove_arrival = arrival.inner(MessageOrigin::SessionGarlic);
  for_each_clove(blocks, [&](const i2np::I2npShortHeader&, const i2np::I2npPayload& payload) {
    const auto* store = std::get_if<i2np::I2npPayload::DatabaseStore>(&payload.value);
    if (store == nullptr || !admit_message(r.debug, clove_arrival, payload)) return;
    // Neither acknowledged nor announced: the store is part of the sender's message.
    (void)r.store_from_network(*store, now);
  });
  for_each_clove(blocks, [&](const i2np::I2npShortHeader& header, const i2np::I2npPayload& payload) {
    if (std::holds_alternative<i2np::I2npPayload::DatabaseStore>(payload.value)) return;
    if (const auto* data = std::get_if<i2np::I2npPayload::Data>(&payload.value)) {
      if (admit_message(r.debug, clove_arrival, payload)) deliver_session_data(r, session_index, data->data, now);
      return;
    }
    r.dispatch_i2np_message(clove_arrival, header, payload, now);
  });
}

// The first session with a ratchet manager that opens the garlic owns it. Every session's
// tags are looked up before any session tries it as a NewSession: most garlic is tagged,
// and a NewSession attempt costs a key agreement per session it is not for.
bool try_sessions(Router& r, const Arrival& arrival, ByteView garlic, const Now& now) {
  const auto owned = [&](std::size_t i, const ratchet::IncomingGarlic& opened) {
    print_debug_line(r.debug, "[debug] Garlic decrypted for session " + r.sessions[i].id + " (" +
                                  std::to_string(opened.blocks.size()) + " blocks)");
    handle_session_cloves(r, i, opened.blocks, arrival, now);
    return true;
  };
  for (std::size_t i = 0; i < r.sessions.size(); ++i) {
    if (!r.sessions[i].ratchet) continue;
    auto tagged = r.sessions[i].ratchet->decrypt_tagged(garlic, now.wall_s());
    if (tagged && *tagged) return owned(i, **tagged);
  }
  for (std::size_t i = 0; i < r.sessions.size(); ++i) {
    if (!r.sessions[i].ratchet) continue;
    auto opened = r.sessions[i].ratchet->decrypt_new_session(garlic, now.wall_s());
    if (opened) return owned(i, *opened);
  }
  return false;
}

}  // namespace

void Router::handle_garlic(const Arrival& arrival, ByteView garlic, const Now& now) {
  if (garlic_arrival_tap) {
    // What the tap passes on is handled as if it had arrived, without the tap.
    auto tap = std::move(garlic_arrival_tap);
    garlic_arrival_tap = nullptr;
    for (const Bytes& passed : tap(garlic)) handle_garlic(arrival, passed, now);
    garlic_arrival_tap = std::move(tap);
    return;
  }
  if (try_handle_build_garlic_reply(garlic, now)) return;
  if (try_lookup_reply(*this, arrival, garlic, now)) return;
  // In public mode a destination takes garlic only out of an own inbound tunnel, where its
  // leases lead: garlic sent to the router directly and opened by a session would show
  // anyone that this router hosts the destination.
  if ((!public_mode || arrival.origin == MessageOrigin::OwnInbound) && try_sessions(*this, arrival, garlic, now)) {
    return;
  }
  if (auto blocks = ratchet::decrypt_router_garlic(static_keypair, garlic)) {
    // Router garlic keeps the way its Garlic message came in.
    dispatch_cloves(*this, *blocks, arrival.inner(arrival.origin), now);
    return;
  }
  if (debug) {
    const std::string tag = garlic.size() >= kTagSize ? encoding::hex_encode(garlic.first(kTagSize)) : "";
    print_debug_line(debug, "[debug] unhandled incoming Garlic (" + std::to_string(garlic.size()) + "B tag=" + tag +
                                " sessions=" + std::to_string(sessions.size()) + ")");
  }
}

bool Router::try_handle_build_garlic_reply(ByteView garlic, const Now& now) {
  if (garlic.size() < ratchet::kLookupReplyMinLen) return false;
  const ByteView tag = garlic.first(kTagSize);
  for (const PendingTunnelBuild& build : pending_builds) {
    if (!build.garlic_reply_key || !build.garlic_reply_tag || !crypto::ct_eq(tag, *build.garlic_reply_tag)) continue;
    auto blocks = ratchet::decrypt_ecies_lookup_reply(*build.garlic_reply_key, *build.garlic_reply_tag, garlic);
    if (!blocks) return false;
    // The first clove that decodes carries the reply records; anything else ends the build.
    std::vector<Bytes> records;
    bool found = false;
    for_each_clove(*blocks, [&](const i2np::I2npShortHeader&, const i2np::I2npPayload& payload) {
      if (found) return;
      found = true;
      if (const auto* reply = std::get_if<i2np::I2npPayload::OutboundTunnelBuildReply>(&payload.value)) {
        records = reply->records;
      } else if (const auto* build_message = std::get_if<i2np::I2npPayload::ShortTunnelBuild>(&payload.value)) {
        records = build_message->records;
      }
    });
    (void)try_complete_pending_tunnel_build(build.msg_id, records, now);
    return true;
  }
  return false;
}

}  // namespace router
