// Start-up of the router record: keys, transient identity, listeners, own RouterInfo.
#include <algorithm>

#include "crypto/ed25519.h"
#include "ntcp2_net/clock.h"
#include "ntcp2_net/glue.h"
#include "router/id_counters.h"
#include "router/own_router_info.h"
#include "router/random.h"
#include "router/router.h"

namespace router {

Result<Router> Router::start(const StartOptions& options) {
  auto seed = random_bytes(32);
  if (!seed) return std::unexpected(seed.error());
  auto ed_public = crypto::ed25519_public_key(*seed);
  if (!ed_public) return wrap(RouterError::Crypto, std::move(ed_public.error()));

  auto x_private = random_bytes(32);
  if (!x_private) return std::unexpected(x_private.error());
  auto keypair = noise::KeyPair::from_private(*x_private);
  if (!keypair) return wrap(RouterError::Noise, std::move(keypair.error()));

  auto iv = random_bytes(16);
  if (!iv) return std::unexpected(iv.error());
  auto filler = random_bytes(320);
  if (!filler) return std::unexpected(filler.error());

  auto ntcp2_listener = ntcp2_net::TcpListener::bind(options.ntcp2_host, options.ntcp2_port);
  if (!ntcp2_listener) return wrap(RouterError::Net, std::move(ntcp2_listener.error()));
  // On failure the NTCP2 listener closes as it goes out of scope.
  auto sam_listener = ntcp2_net::TcpListener::bind(options.sam_host, options.sam_port);
  if (!sam_listener) return wrap(RouterError::Net, std::move(sam_listener.error()));

  OwnIdentityKeys keys{keypair->public_key, *ed_public, *filler, *iv};
  OwnAddress address{options.ntcp2_host, static_cast<std::uint16_t>(ntcp2_listener->port), options.public_mode,
                     options.floodfill};
  auto info = build_own_router_info(keys, address, ntcp2_net::read_now().wall_ms);
  if (!info) return wrap(RouterError::Common, std::move(info.error()));
  if (auto signed_ok = sign_router_info(*info, *seed); !signed_ok) {
    return wrap(RouterError::Common, std::move(signed_ok.error()));
  }

  auto index_key = random_bytes(16);
  if (!index_key) return std::unexpected(index_key.error());
  std::array<std::uint8_t, 16> netdb_key{};
  std::ranges::copy(*index_key, netdb_key.begin());
  netdb::NetDb netdb(netdb_key);
  if (auto stored = netdb.store_router_info(*info); !stored) {
    return wrap(RouterError::NetDb, std::move(stored.error()));
  }

  auto counter_bytes = random_bytes(12);
  if (!counter_bytes) return std::unexpected(counter_bytes.error());
  const IdCounters counters = id_counters_from_random(*counter_bytes);

  Router r;
  std::copy(seed->begin(), seed->end(), r.signing_key.begin());
  r.static_keypair = std::move(*keypair);
  std::copy(iv->begin(), iv->end(), r.ntcp2_iv.begin());
  r.router_info = std::move(*info);
  r.netdb = std::move(netdb);
  r.ntcp2_listener = std::move(*ntcp2_listener);
  r.sam_listener = std::move(*sam_listener);
  r.check_clock_skew = options.check_clock_skew;
  r.public_mode = options.public_mode;
  r.tunnel_hops = std::clamp(options.hops, 1, 4);
  r.debug = options.debug;
  r.next_msg_id = counters.next_msg_id;
  r.next_tunnel_id = counters.next_tunnel_id;
  r.next_stream_id_seed = counters.next_stream_id_seed;
  const std::int32_t limit = ondrel_i2p_net_descriptor_limit();
  const std::int32_t open = ondrel_i2p_net_open_descriptors();
  r.descriptor_limit = limit > 0 ? limit : 0;
  r.descriptors_at_start = open > 0 ? open : 0;
  return r;
}

common::Hash Router::router_hash() const { return own_hash.get(router_info.identity.keys_and_cert); }

}  // namespace router
