#pragma once
// The kept counts of set piece flags, checked against counting the flags afresh.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "torrent/active_torrent.h"

namespace torrent_test {

inline std::size_t recount(const router::PieceFlags& flags) {
  return static_cast<std::size_t>(std::count_if(flags.begin(), flags.end(), [](std::uint8_t f) { return f != 0; }));
}

// Whether the kept counts of a torrent's flags and of its peers' flags are exact.
inline bool flag_counts_exact(const router::ActiveTorrent& t) {
  if (t.have.count() != recount(t.have)) return false;
  for (const router::TorrentPeerConn& c : t.peers) {
    if (c.peer_bitfield.count() != recount(c.peer_bitfield)) return false;
  }
  return true;
}

}  // namespace torrent_test
