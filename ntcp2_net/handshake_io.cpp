#include "ntcp2_net/handshake_io.h"

#include <utility>

#include "noise/key_pair.h"
#include "ntcp2_net/glue.h"
#include "ntcp2_net/random.h"

namespace ntcp2_net {

bool clock_skew_exceeds(std::uint32_t remote_s, std::uint32_t local_s, std::int32_t max_skew_sec) {
  const std::uint32_t diff = remote_s > local_s ? remote_s - local_s : local_s - remote_s;
  return max_skew_sec < 0 || diff > static_cast<std::uint32_t>(max_skew_sec);
}

void prepare_ntcp2_socket(int fd) {
  (void)ondrel_i2p_net_tcp_set_peer_timeouts(fd, kPeerTimeoutMs);
  (void)ondrel_i2p_net_tcp_set_nodelay(fd, 1);
}

Result<void> set_fresh_ephemeral(ntcp2::Ntcp2Handshake& handshake) {
  auto secret = random_bytes(32);
  if (!secret) return std::unexpected(std::move(secret.error()));
  auto ephemeral = noise::KeyPair::from_private(*secret);
  if (!ephemeral) return wrap(NetError::Noise, std::move(ephemeral.error()));
  handshake.local_ephemeral = std::move(*ephemeral);
  return {};
}

Result<std::optional<Bytes>> take_message(TcpSocket& socket, Bytes& rx, std::size_t want) {
  auto full = socket.fill_to(rx, want);
  if (!full) return std::unexpected(std::move(full.error()));
  if (!*full) return std::optional<Bytes>{};
  Bytes message = std::move(rx);
  rx.clear();
  return std::optional<Bytes>(std::move(message));
}

}  // namespace ntcp2_net
