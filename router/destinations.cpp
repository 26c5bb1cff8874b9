// Local client destinations in the router: making a transient destination, the signed
// LeaseSet2 that announces a session (published by router/publication.cpp), the
// encryption key of a remote destination, and the throttle on ratchet resets.
#include "router/destinations.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "crypto/ed25519.h"
#include "encoding/text.h"
#include "router/random.h"
#include "router/router.h"

namespace router {

namespace {

constexpr std::size_t kFillerSize = 352;
constexpr std::size_t kMaxLeases = 3;
constexpr std::uint32_t kOwnLeaseS = 600;
constexpr std::uint32_t kMinExpiresS = 60;
constexpr std::uint32_t kMaxExpiresS = 660;

std::optional<Bytes> session_encryption_key(const SamSession& session) {
  if (session.x25519_public) return Bytes(session.x25519_public->begin(), session.x25519_public->end());
  Bytes own = session.destination.keys_and_cert.crypto_public_key();
  if (own.size() == 32) return own;
  return std::nullopt;
}

// When the LeaseSet2 is published. Two built within one second must not share the value
// when they differ: the NetDB and the floodfills keep the first of two equal values, and
// would go on serving stale leases. A changed LeaseSet2 is published later than the last
// one; an unchanged one never earlier.
std::uint32_t published_after(const common::LeaseSet2* last, const common::LeaseSet2& next, std::uint32_t now_s) {
  if (last == nullptr) return now_s;
  const bool changed = last->leases != next.leases || last->encryption_keys != next.encryption_keys;
  return std::max(now_s, changed ? last->published + 1 : last->published);
}

}  // namespace

Result<TransientDestination> generate_transient_destination() {
  auto seed = random_bytes(32);
  if (!seed) return std::unexpected(std::move(seed.error()));
  auto signing_public = crypto::ed25519_public_key(*seed);
  if (!signing_public) return wrap(RouterError::Crypto, std::move(signing_public.error()));
  auto encryption_private = random_bytes(32);
  if (!encryption_private) return std::unexpected(std::move(encryption_private.error()));
  auto keypair = noise::KeyPair::from_private(*encryption_private);
  if (!keypair) return wrap(RouterError::Noise, std::move(keypair.error()));
  auto filler = random_bytes(kFillerSize);
  if (!filler) return std::unexpected(std::move(filler.error()));

  TransientDestination t;
  common::KeysAndCert& kc = t.destination.keys_and_cert;
  std::copy(filler->begin(), filler->end(), kc.keys.begin());
  std::copy(signing_public->begin(), signing_public->end(), kc.keys.begin() + kFillerSize);
  kc.certificate = common::Certificate{common::KeyCertificate::create(common::CryptoPublicKeyType::ElGamal)};
  const Bytes destination_bytes = kc.to_bytes();
  t.public_b64 = encoding::base64_encode(destination_bytes);
  Bytes private_blob = destination_bytes;
  private_blob.insert(private_blob.end(), encryption_private->begin(), encryption_private->end());
  private_blob.insert(private_blob.end(), seed->begin(), seed->end());
  t.private_b64 = encoding::base64_encode(private_blob);
  t.encryption_keypair = std::move(*keypair);
  std::copy(seed->begin(), seed->end(), t.signing_key.begin());
  return t;
}

std::optional<std::array<std::uint8_t, 32>> extract_x25519_key(const common::LeaseSet2& lease_set) {
  std::array<std::uint8_t, 32> key{};
  for (const common::LeaseSet2EncryptionKey& k : lease_set.encryption_keys) {
    if (k.key_type != common::CryptoPublicKeyType::X25519 || k.key.size() != key.size()) continue;
    std::copy(k.key.begin(), k.key.end(), key.begin());
    return key;
  }
  const Bytes own = lease_set.destination.keys_and_cert.crypto_public_key();
  if (own.size() != key.size()) return std::nullopt;
  std::copy(own.begin(), own.end(), key.begin());
  return key;
}

bool Router::is_local_destination(const common::Hash& hash) const {
  return std::any_of(sessions.begin(), sessions.end(), [&](const SamSession& s) { return s.dest_hash == hash; });
}

Result<bool> Router::store_from_network(const i2np::I2npPayload::DatabaseStore& store, const Now& now) {
  if ((store.store_type & 0x0F) == common::LeaseSet2::kStoreType && is_local_destination(store.key)) return false;
  return netdb.handle_database_store(store.store_type, store.key, store.data, now.wall_s());
}

std::optional<common::LeaseSet2> Router::build_session_leaseset2(SamSession& session, const Now& now) {
  if (!session.signing_key) return std::nullopt;
  const std::uint32_t now_s = now.wall_s();

  common::LeaseSet2 ls;
  for (const tunnel::Tunnel& t : tunnels.inbound) {
    if (ls.leases.size() == kMaxLeases) break;
    if (t.expires_s <= now_s || t.hops.empty()) continue;
    ls.leases.push_back(common::Lease2{t.hops.front().router, t.hops.front().receive_tunnel_id, t.expires_s});
  }
  if (ls.leases.empty()) {
    // A lease naming the router itself tells everyone who receives the LeaseSet2 which
    // router serves the destination: only where there are no tunnels to hide behind.
    if (public_mode) return std::nullopt;
    // Outside public mode, while no inbound tunnel lives, messages to the destination
    // come to the router itself as TunnelGateway messages for this id.
    ls.leases.push_back(
        common::Lease2{router_hash(), static_cast<std::uint32_t>(session.tunnel_id), now_s + kOwnLeaseS});
  }
  const std::optional<Bytes> key = session_encryption_key(session);
  if (!key) return std::nullopt;
  ls.encryption_keys.push_back({common::CryptoPublicKeyType::X25519, *key});
  if (session.destination.keys_and_cert.signing_type() != common::SigningPublicKeyType::EdDsaSha512Ed25519) {
    return std::nullopt;
  }

  ls.destination = session.destination;
  ls.published = published_after(session.last_lease_set.get(), ls, now_s);
  std::uint64_t latest_end = 0;
  for (const common::Lease2& lease : ls.leases) latest_end = std::max<std::uint64_t>(latest_end, lease.end_date);
  const std::uint64_t until = std::max<std::uint64_t>(latest_end, std::uint64_t{ls.published} + kMinExpiresS);
  ls.expires = static_cast<std::uint16_t>(std::min<std::uint64_t>(until - ls.published, kMaxExpiresS));

  auto signing_bytes = ls.signing_bytes();
  if (!signing_bytes) return std::nullopt;
  const crypto::Ed25519Signature signature = crypto::ed25519_sign(*session.signing_key, *signing_bytes);
  ls.signature.assign(signature.begin(), signature.end());

  (void)netdb.store_lease_set2(ls, now_s);
  session.last_lease_set = std::make_shared<const common::LeaseSet2>(ls);
  return ls;
}

bool Router::try_acquire_ratchet_reset(const common::Hash& destination, std::uint64_t now_ms, std::uint64_t window_ms) {
  return try_acquire_reset(ratchet_resets, destination, now_ms, window_ms);
}

}  // namespace router
