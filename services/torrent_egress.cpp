// Datagrams of the torrent session on their way out: one I2CP envelope becomes one garlic
// message to the destination, sent through a lease of its LeaseSet2 as streams are.
#include "i2np/payload.h"
#include "ratchet/clove.h"
#include "router/destinations.h"
#include "router/id_counters.h"
#include "router/random.h"
#include "router/router.h"
#include "services/streams.h"

namespace router {

namespace {

constexpr std::uint32_t kCloveExpirationS = 60;

}  // namespace

bool Router::send_torrent_i2cp(SamSession& session, const common::Hash& dest, ByteView payload, bool attach_leaseset,
                               const Now& now) {
  if (!session.ratchet) return false;
  const std::uint32_t now_s = now.wall_s();
  const netdb::LeaseSet2Ptr lease_set = netdb.get_lease_set2(dest, now_s);
  if (!lease_set || lease_set->leases.empty()) return false;
  const std::optional<std::array<std::uint8_t, 32>> key = extract_x25519_key(*lease_set);
  if (!key) return false;
  const common::Lease2& lease = choose_peer_lease(*lease_set, now_s, lease_rotation);
  const common::Hash gateway = lease.gateway;
  const std::uint32_t tunnel_id = lease.tunnel_id;

  ratchet::RatchetBlocks blocks;
  if (attach_leaseset) {
    auto clove = own_leaseset_clove(session, now);
    if (!clove) return false;
    if (*clove) blocks.push_back(std::move(**clove));
  }
  auto data = ratchet::garlic_clove_block(
      ratchet::CloveDelivery::Destination{dest}, take_id(next_msg_id), now_s + kCloveExpirationS,
      i2np::I2npPayload{i2np::I2npPayload::Data{Bytes(payload.begin(), payload.end())}});
  if (!data) return false;
  blocks.push_back(std::move(*data));
  const ratchet::RandomSource random = [] { return next_rand_32(); };
  auto garlic = session.ratchet->encrypt_to_peer(*key, blocks, now_s, random);
  if (!garlic) return false;
  send_routed_i2np(gateway, tunnel_id, i2np::I2npPayload{i2np::I2npPayload::Garlic{std::move(*garlic)}}, now);
  return true;
}

}  // namespace router
