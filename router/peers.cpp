// NTCP2 peer management as the loop sees it. The router does not accept, dial or keep NTCP2
// links yet: the step and the dial operations change nothing and report no work, so the loop
// and shutdown run unchanged once links exist. Keep-alives go out on an existing link.
#include "ntcp2_net/glue.h"
#include "router/router.h"

namespace router {

bool Router::step_ntcp2_peers() { return false; }

bool Router::has_connected_peer(const common::Hash& peer) const {
  for (const PeerSession& s : peer_sessions) {
    if (s.peer == peer) return true;
  }
  return false;
}

void Router::mark_peer_failed(const common::Hash& peer, std::uint64_t backoff_ms) {
  backoff_peer(peer_backoff, peer, ondrel_i2p_net_unix_time_ms() + backoff_ms);
}

std::vector<common::Hash> Router::pick_usable_peers(std::size_t, const std::vector<common::Hash>&) { return {}; }

void Router::ensure_peer_dial(const common::Hash&) {}

Result<void> Router::send_keepalive(PeerSession& session) {
  std::vector<ntcp2::Ntcp2Block> blocks;
  blocks.emplace_back(ntcp2::Ntcp2Block::Padding{Bytes(4, 0)});
  return session.conn.send_blocks_nb(blocks);
}

}  // namespace router
