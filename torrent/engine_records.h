#pragma once
// The torrent engine: the BitTorrent client's one record in the router, with its limits.
//
// Times are monotonic milliseconds (Now.mono_ms) unless a field says otherwise; the DHT's
// own tables keep unix milliseconds.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bittorrent/dht_table.h"
#include "common/hash.h"
#include "router/session_records.h"
#include "torrent/active_torrent.h"
#include "torrent/dht_cooldown.h"
#include "torrent/peer_conn.h"

namespace router {

// --- Limits and time-outs ---------------------------------------------------------------

inline constexpr std::size_t kMaxTorrents = 256;
inline constexpr std::size_t kMaxKnownPeers = 2000;
inline constexpr std::size_t kMaxBackoffEntries = 2000;
// Peers a torrent dials while it has fewer connections than this; accepted peers are
// added regardless.
inline constexpr std::size_t kMaxDialledPeers = 16;
inline constexpr std::size_t kMaxInboundPerPass = 8;
// Accepted streams waiting for their handshake.
inline constexpr std::size_t kMaxInboundWaiting = 64;
inline constexpr std::size_t kMaxMessagesPerCall = 64;
inline constexpr std::size_t kMaxInflightPerPeer = 8;
inline constexpr std::size_t kMaxActivePieces = 4;
inline constexpr std::size_t kMaxActivePieceBytes = 64u * 1024 * 1024;  // per torrent
inline constexpr std::uint32_t kBlockSize = 16384;
inline constexpr std::uint32_t kMaxServedRequest = 32768;
inline constexpr std::size_t kPeerSendBufMax = 1024 * 1024;
inline constexpr std::size_t kPeerRecvBufMax = 2 * 1024 * 1024;
inline constexpr std::uint32_t kMaxFailedPiecesPerPeer = 3;
// The largest piece table an info dictionary of at most 16 MiB can hold (20 bytes each):
// the bound of Have indexes and bit fields while the metainfo is unknown.
inline constexpr std::int64_t kMaxPiecesWithoutMeta = 16777215 / 20;

inline constexpr std::uint64_t kPublishIntervalMs = 120'000;
inline constexpr std::uint64_t kLeaseAttachIntervalMs = 180'000;
inline constexpr std::uint64_t kInboundHandshakeMs = 25'000;
inline constexpr std::uint64_t kLookupTimeoutMs = 30'000;
inline constexpr std::uint64_t kConnectTimeoutMs = 30'000;
inline constexpr std::uint64_t kStalledSynMs = 10'000;
inline constexpr std::uint64_t kHandshakeTimeoutPublicMs = 30'000;
inline constexpr std::uint64_t kHandshakeTimeoutLocalMs = 20'000;
inline constexpr std::uint64_t kIdleTimeoutMs = 90'000;
inline constexpr std::uint64_t kKeepAliveMs = 45'000;
inline constexpr std::uint64_t kRequestTimeoutPublicMs = 30'000;
inline constexpr std::uint64_t kRequestTimeoutLocalMs = 12'000;
inline constexpr std::uint64_t kLeaseRefreshLookupMs = 20'000;
inline constexpr std::uint64_t kRatchetResetWindowMs = 15'000;
inline constexpr std::uint64_t kFailedPiecesBackoffMs = 600'000;
// "stopped" announces under way; a further one replaces the oldest.
inline constexpr std::size_t kMaxStoppedAnnounces = 16;
inline constexpr std::uint64_t kStoppedAnnounceWaitMs = 30'000;

// Our extension message ids.
inline constexpr std::uint8_t kExtIdI2pPex = 1;
inline constexpr std::uint8_t kExtIdUtMetadata = 2;
inline constexpr std::uint8_t kExtIdI2pDht = 3;
inline constexpr std::int32_t kExtReqq = 64;
inline constexpr const char* kClientVersion = "ondrel-i2p/0.1";
inline constexpr const char* kPeerIdPrefix = "-OI0100-";

// A DHT node queued for a ping.
struct DhtBootstrapEntry {
  common::Hash dest;
  std::uint32_t port = 0;
  std::uint64_t queued_ms = 0;

  friend bool operator==(const DhtBootstrapEntry&, const DhtBootstrapEntry&) = default;
};

struct TorrentEngine {
  std::string session_id{kTorrentSessionId};
  std::array<std::uint8_t, 20> peer_id{};  // "-OI0100-" and 12 random bytes
  std::string download_dir;                // default folder, no trailing "/"
  bittorrent::I2pDht dht;
  std::vector<ActiveTorrent> torrents;      // in the order added; at most kMaxTorrents
  std::vector<TorrentInboundConn> inbound;  // at most kMaxInboundWaiting
  std::vector<DhtBootstrapEntry> dht_bootstrap;
  std::vector<DhtCooldownEntry> get_peers_cooldown;  // unix ms
  std::vector<DhtCooldownEntry> announce_cooldown;   // unix ms
  std::vector<StoppedAnnounce> stopped_announces;    // at most kMaxStoppedAnnounces, oldest first
  std::uint64_t last_dht_refresh_ms = 0;
  std::uint64_t last_publish_ms = 0;
  std::int32_t publish_inbound_tunnels = 0;
  std::int32_t publish_gen = 1;
};

}  // namespace router
