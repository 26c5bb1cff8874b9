#pragma once
// The block choice of the piece exchange, apart for its tables of cases.
#include <cstdint>
#include <optional>

#include "torrent/engine_records.h"

namespace router {

// A zeroed piece buffer of the given size.
ActivePieceBuf bt_new_active_piece(std::int32_t index, std::int64_t size);

// The next block to ask this connection for: a missing block of an active piece the peer
// has and no connection of the torrent has asked for (a piece that failed once only from
// its one peer), else block 0 of the lowest missing piece the peer has, made active when
// fewer than 4 pieces and 64 MiB of buffers are active. None when nothing fits.
std::optional<InflightRequest> bt_pick_block(ActiveTorrent& torrent, TorrentPeerConn& conn, std::uint64_t now_ms);

}  // namespace router
