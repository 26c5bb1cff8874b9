#include "router/sealed_for_router.h"

#include <utility>

#include "ratchet/block.h"
#include "ratchet/clove.h"
#include "ratchet/router_garlic.h"
#include "router/id_counters.h"
#include "router/random.h"
#include "router/router.h"

namespace router {

namespace {

constexpr std::uint32_t kCloveExpirationS = 60;

}  // namespace

std::optional<i2np::I2npPayload> seal_for_router(Router& r, const common::Hash& peer, const i2np::I2npPayload& message,
                                                 const ntcp2_net::Now& now) {
  const netdb::RouterInfoPtr info = r.netdb.get_router_info(peer);
  if (!info) return std::nullopt;
  const common::KeysAndCert& identity = info->identity.keys_and_cert;
  const common::KeyCertificate* cert = identity.certificate.key();
  if (cert == nullptr || cert->crypto_type != common::CryptoPublicKeyType::X25519) return std::nullopt;
  const Bytes key = identity.crypto_public_key();
  if (key.size() != 32) return std::nullopt;
  auto secret = next_rand_32();
  if (!secret) return std::nullopt;
  auto ephemeral = noise::KeyPair::from_private(*secret);
  if (!ephemeral) return std::nullopt;
  auto clove = ratchet::garlic_clove_block(ratchet::CloveDelivery::Local{}, take_id(r.next_msg_id),
                                           now.wall_s() + kCloveExpirationS, message);
  if (!clove) return std::nullopt;
  auto sealed =
      ratchet::encrypt_router_garlic(key, *ephemeral, {ratchet::RatchetBlock::DateTime{now.wall_s()}, *clove});
  if (!sealed) return std::nullopt;
  return i2np::I2npPayload{i2np::I2npPayload::Garlic{std::move(*sealed)}};
}

}  // namespace router
