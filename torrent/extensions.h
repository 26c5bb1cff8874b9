#pragma once
// The extension protocol's duties in the engine pass: asking for metadata pieces of a
// torrent added from a magnet link, and telling peers which other peers we know. The
// messages themselves are handled by Router::bt_handle_ext_message.
#include "ntcp2_net/clock.h"
#include "router/session_records.h"
#include "torrent/engine_records.h"

namespace router {

struct Router;

inline constexpr std::size_t kMetadataPieceSize = 16384;
inline constexpr std::int64_t kMaxMetadataSize = 8 * 1024 * 1024;
inline constexpr std::uint64_t kMetadataRequestIntervalMs = 2'500;
inline constexpr std::uint64_t kPexIntervalMs = 30'000;
inline constexpr std::uint64_t kLyingMetadataBackoffMs = 600'000;

// For a Connected connection, after its messages: while the metainfo is unknown and its
// size is, asks this peer (when it speaks ut_metadata) for the lowest missing piece, at
// most one request per torrent every 2,500 ms. True when a request was sent.
bool bt_request_metadata(Router& r, TorrentEngine& engine, SamSession& session, streaming::StreamConnection& stream,
                         ActiveTorrent& torrent, TorrentPeerConn& conn, const ntcp2_net::Now& now);

// After the peer steps of a running torrent: every 30,000 ms, each Connected peer that
// speaks i2p_pex gets the known peers other than itself. True when anything was sent.
bool bt_send_pex(Router& r, TorrentEngine& engine, SamSession& session, ActiveTorrent& torrent,
                 const ntcp2_net::Now& now);

}  // namespace router
