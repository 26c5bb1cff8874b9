// The choice of peers for new links and of connected peers for tunnel hops. Both start at
// a random place and walk their list once, so every candidate has a chance.
#include "ntcp2_net/address_ranges.h"
#include "ntcp2_net/random.h"
#include "router/id_counters.h"
#include "router/router.h"

namespace router {

namespace {

bool has_x25519_key(const common::RouterInfo& info) {
  const common::KeyCertificate* key = info.identity.keys_and_cert.certificate.key();
  return key != nullptr && key->crypto_type == common::CryptoPublicKeyType::X25519;
}

// A random start in 0..n-1, or none when the random source cannot be read.
std::optional<std::size_t> random_start(std::size_t n) {
  auto bytes = ntcp2_net::random_bytes(4);
  if (!bytes || bytes->size() < 4) return std::nullopt;
  return static_cast<std::size_t>(u32_from_be_prefix(*bytes)) % n;
}

}  // namespace

bool is_usable_public_peer(const ntcp2_net::Ntcp2Peer& peer, bool allow_reserved) {
  if (peer.host.find(':') != std::string::npos || peer.host == "127.0.0.1" || peer.host == "0.0.0.0") return false;
  return allow_reserved || ntcp2_net::is_public_address(peer.host);
}

std::vector<common::Hash> Router::pick_usable_peers(std::size_t count, const std::vector<common::Hash>& excluded,
                                                    const Now& now) {
  std::vector<common::Hash> picked;
  const std::size_t n = netdb.router_infos().size();
  if (n == 0 || count == 0) return picked;
  const std::optional<std::size_t> start = random_start(n);
  if (!start) return picked;
  const common::Hash own = router_hash();
  for (std::size_t k = 0; k < n && picked.size() < count; ++k) {
    const netdb::RouterInfoEntry entry = netdb.router_infos()[(*start + k) % n];
    if (is_peer_in_list(entry.hash, excluded) || is_peer_in_list(entry.hash, picked) || entry.hash == own) continue;
    if (is_peer_backed_off(entry.hash, now)) continue;
    if (!has_x25519_key(*entry.router_info)) continue;
    auto target = ntcp2_net::extract_ntcp2_peer(*entry.router_info);
    if (!target || !is_usable_public_peer(*target, dial_reserved_addresses)) continue;
    picked.push_back(entry.hash);
  }
  return picked;
}

std::optional<common::Hash> Router::pick_connected_hop(const std::vector<common::Hash>& excluded, const Now& now) {
  const std::size_t n = peer_sessions.size();
  if (n == 0) return std::nullopt;
  const std::optional<std::size_t> start = random_start(n);
  if (!start) return std::nullopt;
  for (std::size_t k = 0; k < n; ++k) {
    const common::Hash peer = peer_sessions[(*start + k) % n].peer;
    if (is_peer_in_list(peer, excluded) || is_peer_backed_off(peer, now)) continue;
    const netdb::RouterInfoPtr info = netdb.get_router_info(peer);
    if (info && has_x25519_key(*info)) return peer;
  }
  return std::nullopt;
}

}  // namespace router
