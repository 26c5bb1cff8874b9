// The end of a client session. A session lives as long as the SAM connection that created
// it, so an application that restarts gets its id back and a destination nobody uses is
// no longer published.
#include "services/client_sessions.h"

#include <algorithm>

#include "crypto/ed25519.h"
#include "router/destinations.h"
#include "router/id_counters.h"
#include "services/streams.h"

namespace router {

namespace {

void close_bridge(StreamBridge& b) {
  b.socket_a.close();
  b.socket_b.close();
}

}  // namespace

SamSession build_client_session(Router& r, std::string_view id, const common::Destination& destination,
                                std::string public_b64, const std::optional<ClientSessionKeys>& keys) {
  SamSession s;
  s.id = std::string(id);
  s.destination = destination;
  s.dest_hash = destination.keys_and_cert.hash();
  s.public_b64 = std::move(public_b64);
  s.b32_address = s.dest_hash.to_b32_address();
  s.tunnel_id = static_cast<std::int32_t>(take_id(r.next_tunnel_id));
  if (!keys) return s;
  // Expanded once here, the seed costs no work per LeaseSet2, packet or datagram signed.
  auto signer = crypto::ed25519_signing_key(keys->signing_seed);
  if (!signer) return s;  // never for a 32-byte seed
  s.x25519_public = keys->encryption.public_key;
  s.signing_key = *signer;
  s.ratchet = ratchet::RatchetSessionManager::create(keys->encryption);
  s.streams = streaming::StreamManager::create(destination, *signer, take_id(r.next_stream_id_seed));
  return s;
}

SamSession build_client_session(Router& r, std::string_view id, const TransientDestination& transient) {
  return build_client_session(r, id, transient.destination, transient.public_b64,
                              ClientSessionKeys{transient.encryption_keypair, transient.signing_key});
}

void Router::end_session(std::string_view first, const Now& now) {
  std::vector<std::string> ending{std::string(first)};
  while (!ending.empty()) {
    const std::string id = std::move(ending.back());
    ending.pop_back();
    const auto it = std::find_if(sessions.begin(), sessions.end(), [&](const SamSession& s) { return s.id == id; });
    if (it == sessions.end()) continue;
    // The peers of its open streams learn at once that they are gone, rather than resending
    // into a destination that no longer answers.
    if (it->streams) {
      for (const streaming::ConnectionPtr& c : it->streams->connections) {
        reset_stream(*c, now.mono_ms);
        const netdb::LeaseSet2Ptr lease_set = netdb.get_lease_set2(c->peer_hash, now.wall_s());
        if (!lease_set || lease_set->leases.empty()) continue;
        const std::optional<std::array<std::uint8_t, 32>> key = extract_x25519_key(*lease_set);
        if (!key) continue;
        flush_stream_outbound(*it, *c, c->peer_hash, *key, lease_set->leases.front().gateway,
                              lease_set->leases.front().tunnel_id, false, now);
      }
    }
    const common::Hash hash = it->dest_hash;
    sessions.erase(it);
    // Another session of the same destination (the same saved key) still speaks for it.
    if (std::none_of(sessions.begin(), sessions.end(), [&](const SamSession& s) { return s.dest_hash == hash; })) {
      netdb.remove_lease_set2(hash);
    }
    std::erase_if(bridges, [&](StreamBridge& b) {
      if (b.session_a != id && b.session_b != id) return false;
      close_bridge(b);
      for (std::string& s : b.owned_sessions) ending.push_back(std::move(s));
      return true;
    });
    std::erase_if(remote_bridges, [&](RemoteStreamBridge& b) {
      if (b.session_id != id) return false;
      b.socket.close();
      b.removed = true;
      for (std::string& s : b.owned_sessions) ending.push_back(std::move(s));
      return true;
    });
    for (SamClientConn& c : sam_clients) {
      if (!c.closed && c.state == SamClientState::Accepting && c.accept_id == id) close_sam_client(c);
    }
  }
}

}  // namespace router
