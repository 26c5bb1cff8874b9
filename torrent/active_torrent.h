#pragma once
// One torrent of the engine's registry, with the pieces being downloaded.
//
// Times are monotonic milliseconds unless a field says otherwise.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bittorrent/metainfo.h"
#include "common/hash.h"
#include "encoding/bytes.h"
#include "torrent/peer_conn.h"
#include "torrent/piece_flags.h"
#include "torrent/tracker_conn.h"

namespace router {

// A piece being downloaded.
struct ActivePieceBuf {
  std::int32_t index = 0;
  Bytes data;      // the piece's size, zero-filled at creation
  Bytes received;  // one 0/1 flag per 16,384-byte block
  std::int32_t block_count = 0;
  // The peers that delivered its blocks, without repeats: a piece that fails its SHA-1
  // counts against its source only when there was one.
  std::vector<common::Hash> sources;
  // Set once the piece failed its SHA-1: it is then fetched again from one peer only, the
  // first that asks for it, so that a second failure names the culprit.
  bool retry = false;
  std::optional<common::Hash> owner;
};

struct TorrentBackoff {
  common::Hash peer;
  std::uint64_t until_ms = 0;  // not dialled before this

  friend bool operator==(const TorrentBackoff&, const TorrentBackoff&) = default;
};

struct MetadataPiece {
  std::int32_t index = 0;
  Bytes data;
};

struct ActiveTorrent {
  Bytes info_hash;            // 20 bytes: SHA-1 of the info dictionary
  std::string info_hash_hex;  // 40 lower-case hex digits
  std::string name;
  std::string download_dir;
  std::optional<bittorrent::TorrentMeta> meta;  // none while a magnet has not brought it
  Bytes info_bytes;                             // the exact info dictionary; empty while unknown
  bool paused = false;
  bool completed = false;
  std::string error;                          // empty, or the last fatal error
  std::string tracker_status;                 // the last tracker announce result
  std::uint64_t downloaded = 0;               // bytes of verified pieces
  std::uint64_t uploaded = 0;                 // bytes sent in Piece messages
  PieceFlags have;                            // one 0/1 flag per piece; empty while meta is none
  std::vector<ActivePieceBuf> active_pieces;  // at most kMaxActivePieces
  std::int32_t metadata_size = 0;
  // The peer whose handshake or data gave metadata_size: backed off when the pieces of
  // that size do not hash to the info hash.
  std::optional<common::Hash> metadata_size_from;
  std::vector<MetadataPiece> metadata_pieces;
  std::uint64_t last_metadata_request_ms = 0;
  std::vector<common::Hash> known_peers;  // no repeats, never the own destination; bounded
  std::vector<TorrentBackoff> backoff;    // one entry per peer; expired entries go
  std::vector<TorrentPeerConn> peers;
  std::vector<TorrentTrackerConn> trackers;
  std::uint64_t last_get_peers_ms = 0;
  std::uint64_t last_pex_ms = 0;
};

}  // namespace router
