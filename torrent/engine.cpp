// The registry's small operations and the re-verification of a torrent's files.
#include "torrent/engine.h"

#include <algorithm>

#include "bittorrent/bencode.h"
#include "crypto/ct_eq.h"
#include "crypto/sha1.h"
#include "encoding/text.h"
#include "torrent/piece_storage.h"
#include "torrent/tracker_request.h"

namespace router {

std::string bt_hex_lower(std::string_view text) { return encoding::ascii_lower(encoding::trim(text)); }

ActiveTorrent* bt_find_torrent_by_hex(TorrentEngine& engine, std::string_view hex) {
  const std::string key = bt_hex_lower(hex);
  for (ActiveTorrent& t : engine.torrents) {
    if (t.info_hash_hex == key) return &t;
  }
  return nullptr;
}

ActiveTorrent* bt_find_torrent_by_ih(std::vector<ActiveTorrent>& torrents, ByteView info_hash) {
  for (ActiveTorrent& t : torrents) {
    if (t.info_hash.size() == info_hash.size() &&
        std::equal(t.info_hash.begin(), t.info_hash.end(), info_hash.begin())) {
      return &t;
    }
  }
  return nullptr;
}

std::string bt_short_b32(const common::Hash& hash) { return hash.to_b32_address().substr(0, 16); }

std::string bt_err_msg(const Error& error) {
  const std::optional<BittorrentError> v = error.as<BittorrentError>();
  if (!v) return "I2P structure error";
  const std::string m(error.message());
  switch (*v) {
    case BittorrentError::Encoding: return "encoding error";
    case BittorrentError::Krpc: return "KRPC error: " + m;
    case BittorrentError::Wire: return "wire error: " + m;
    case BittorrentError::Magnet: return "invalid magnet: " + m;
    case BittorrentError::Metainfo: return "invalid metainfo: " + m;
    case BittorrentError::Bencode: return "invalid bencode: " + m;
    case BittorrentError::Common: break;
  }
  return "I2P structure error";
}

bool bt_add_known_peer(ActiveTorrent& torrent, const common::Hash& peer, const common::Hash& own) {
  if (peer == own) return false;
  if (std::find(torrent.known_peers.begin(), torrent.known_peers.end(), peer) != torrent.known_peers.end()) {
    return false;
  }
  if (torrent.known_peers.size() >= kMaxKnownPeers) return false;
  torrent.known_peers.push_back(peer);
  return true;
}

void bt_set_peer_backoff(std::vector<TorrentBackoff>& backoff, const common::Hash& peer, std::uint64_t until_ms,
                         std::uint64_t now_ms) {
  std::erase_if(backoff, [&](const TorrentBackoff& b) { return b.until_ms <= now_ms && b.peer != peer; });
  for (TorrentBackoff& b : backoff) {
    if (b.peer == peer) {
      b.until_ms = until_ms;
      return;
    }
  }
  if (backoff.size() >= kMaxBackoffEntries) {
    backoff.erase(
        std::min_element(backoff.begin(), backoff.end(),
                         [](const TorrentBackoff& a, const TorrentBackoff& b) { return a.until_ms < b.until_ms; }));
  }
  backoff.push_back(TorrentBackoff{peer, until_ms});
}

bool bt_peer_backed_off(const std::vector<TorrentBackoff>& backoff, const common::Hash& peer, std::uint64_t now_ms) {
  return std::any_of(backoff.begin(), backoff.end(),
                     [&](const TorrentBackoff& b) { return b.peer == peer && now_ms < b.until_ms; });
}

bool bt_init_torrent_metainfo(ActiveTorrent& torrent, const bittorrent::TorrentMeta& meta) {
  torrent.name = meta.name;
  torrent.info_bytes = meta.info_bytes;
  torrent.metadata_size = static_cast<std::int32_t>(meta.info_bytes.size());
  torrent.meta = meta;
  torrent.have.assign(meta.pieces.size(), 0);
  torrent.active_pieces.clear();
  for (TorrentPeerConn& c : torrent.peers) {
    c.inflight.clear();
    // Flags learnt before the piece count was known are cut to it.
    if (!c.peer_has_all) c.peer_bitfield.resize(meta.pieces.size(), 0);
  }
  for (const std::string& url : meta.trackers) bt_add_tracker_url(torrent, url);

  bool all = !meta.pieces.empty();
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < meta.pieces.size(); ++i) {
    const std::int64_t length = bt_piece_size(meta, static_cast<std::int64_t>(i));
    const std::optional<Bytes> bytes = bt_read_span_from_files(torrent, static_cast<std::int64_t>(i), 0, length);
    if (bytes && crypto::ct_eq(crypto::sha1(*bytes), meta.pieces[i])) {
      torrent.have[i] = 1;
      sum += static_cast<std::uint64_t>(length);
    } else {
      all = false;
    }
  }
  torrent.downloaded = sum;
  torrent.completed = all;
  return all;
}

void bt_add_tracker_url(ActiveTorrent& torrent, std::string_view url) {
  for (const TorrentTrackerConn& t : torrent.trackers) {
    if (t.url == url) return;
  }
  std::optional<bittorrent::HttpTrackerUrl> parsed = bittorrent::parse_http_tracker_url(url);
  if (!parsed) return;
  TorrentTrackerConn t;
  t.url = std::string(url);
  t.host = std::move(parsed->host);
  t.port = parsed->port;
  t.path = std::move(parsed->path);
  torrent.trackers.push_back(std::move(t));
}

Bytes bt_decode_bitfield(ByteView bits, std::int64_t piece_count) {
  if (piece_count <= 0) return {};
  Bytes flags(static_cast<std::size_t>(piece_count), 0);
  for (std::size_t i = 0; i < flags.size(); ++i) {
    const std::size_t byte = i / 8;
    if (byte >= bits.size()) break;
    if (bits[byte] & (0x80u >> (i % 8))) flags[i] = 1;
  }
  return flags;
}

Bytes bt_encode_bitfield(ByteView flags) {
  Bytes bits((flags.size() + 7) / 8, 0);
  for (std::size_t i = 0; i < flags.size(); ++i) {
    if (flags[i]) bits[i / 8] = static_cast<std::uint8_t>(bits[i / 8] | (0x80u >> (i % 8)));
  }
  return bits;
}

void bt_pop_front_bytes(Bytes& buffer, std::int64_t n) {
  if (n <= 0) return;
  buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(
                                                    static_cast<std::uint64_t>(n), buffer.size())));
}

Bytes bt_ext_handshake_payload(std::int32_t metadata_size) {
  using bittorrent::BVal;
  BVal::Dict m;
  m.push_back({std::string("i2p_dht"), BVal::integer(kExtIdI2pDht)});
  m.push_back({std::string("i2p_pex"), BVal::integer(kExtIdI2pPex)});
  m.push_back({std::string("ut_metadata"), BVal::integer(kExtIdUtMetadata)});
  BVal::Dict top;
  top.push_back({std::string("m"), BVal::dict(std::move(m))});
  if (metadata_size > 0) top.push_back({std::string("metadata_size"), BVal::integer(metadata_size)});
  top.push_back({std::string("reqq"), BVal::integer(kExtReqq)});
  top.push_back({std::string("v"), BVal::string(kClientVersion)});
  return bittorrent::bencode_encode(BVal::dict(std::move(top)));
}

}  // namespace router
