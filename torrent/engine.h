#pragma once
// The torrent registry's small operations: lookups, peers and back-offs, the texts of
// errors, and installing metainfo on a torrent (which re-verifies what is on disk).
#include <cstdint>
#include <string>
#include <string_view>

#include "bittorrent/metainfo.h"
#include "common/hash.h"
#include "encoding/bytes.h"
#include "encoding/error.h"
#include "torrent/engine_records.h"

namespace router {

// The text trimmed of spaces, TAB, LF and CR at both ends, lower-cased.
std::string bt_hex_lower(std::string_view text);

// The first torrent whose info_hash_hex equals bt_hex_lower(hex), or null.
ActiveTorrent* bt_find_torrent_by_hex(TorrentEngine& engine, std::string_view hex);
// The first torrent whose info hash has the same length and bytes, or null.
ActiveTorrent* bt_find_torrent_by_ih(std::vector<ActiveTorrent>& torrents, ByteView info_hash);

// The first 16 characters of the hash's b32 address.
std::string bt_short_b32(const common::Hash& hash);

// The display text of an error of the BitTorrent code.
std::string bt_err_msg(const Error& error);

// Appends the peer to known_peers; false for the own hash, a repeat, or when the list
// already holds kMaxKnownPeers (trackers, the DHT, peer exchange and inbound connections
// all come through here).
bool bt_add_known_peer(ActiveTorrent& torrent, const common::Hash& peer, const common::Hash& own);

// Replaces the peer's back-off entry or appends one; entries whose deadline is at or
// before now are dropped on the way, and a full list drops its earliest deadline.
void bt_set_peer_backoff(std::vector<TorrentBackoff>& backoff, const common::Hash& peer, std::uint64_t until_ms,
                         std::uint64_t now_ms);
// True while the peer has an entry whose deadline is after now.
bool bt_peer_backed_off(const std::vector<TorrentBackoff>& backoff, const common::Hash& peer, std::uint64_t now_ms);

// Installs the metainfo on the torrent (name, info bytes, a fresh have list), offers its
// trackers, and reads and hashes every piece already on disk. True when all verified.
// Pieces in progress are dropped: they belong to no metainfo yet.
bool bt_init_torrent_metainfo(ActiveTorrent& torrent, const bittorrent::TorrentMeta& meta);

// Appends a tracker for an http URL on an .i2p host not yet present; anything else is
// ignored. The tracker steps that announce to it come separately.
void bt_add_tracker_url(ActiveTorrent& torrent, std::string_view url);

// One 0/1 flag per piece from a bit field (most significant bit first); pieces whose
// byte lies past a short field stay 0, bits past the piece count are ignored.
Bytes bt_decode_bitfield(ByteView bits, std::int64_t piece_count);
// The flags packed back into a bit field, spare bits 0.
Bytes bt_encode_bitfield(ByteView flags);
// Removes the first n bytes; n of 0 or less leaves the buffer as it is.
void bt_pop_front_bytes(Bytes& buffer, std::int64_t n);

// Our extension handshake: {"m": {"i2p_dht": 3, "i2p_pex": 1, "ut_metadata": 2},
// "metadata_size": size (only above 0), "reqq": 64, "v": "ondrel-i2p/0.1"}.
Bytes bt_ext_handshake_payload(std::int32_t metadata_size);

}  // namespace router
