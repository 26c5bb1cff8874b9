// Extended messages of peer connections: the extension handshake, ut_metadata (fetching
// and serving the info dictionary in 16 KiB pieces), i2p_pex (known peers) and i2p_dht
// (DHT ports). Malformed messages are ignored without a reply.
//
// A peer may announce a metadata size that is not the real one. The size kept is
// remembered with the peer that gave it; when the pieces of that size do not hash to the
// info hash, the pieces and the size are dropped, that peer is backed off and ignored for
// metadata, and the size is taken again from another peer.
#include "torrent/extensions.h"

#include <algorithm>
#include <string>

#include "bittorrent/bencode.h"
#include "bittorrent/metainfo.h"
#include "bittorrent/peer_wire.h"
#include "crypto/ct_eq.h"
#include "crypto/sha1.h"
#include "encoding/text.h"
#include "router/peer_log.h"
#include "router/poll_set.h"
#include "router/router.h"
#include "services/streams.h"
#include "torrent/engine.h"
#include "torrent/peer_steps.h"
#include "torrent/piece_storage.h"
#include "torrent/wake_deadlines.h"

namespace router {

namespace {

using bittorrent::BVal;
using bittorrent::PeerMessage;

void send_ext(Router& r, TorrentEngine& engine, SamSession& session, streaming::StreamConnection& stream,
              TorrentPeerConn& conn, std::int32_t peer_id, Bytes payload, const Now& now) {
  r.bt_send_peer_wire(engine, session, stream, conn,
                      bittorrent::encode_peer_message(
                          PeerMessage{PeerMessage::Extended{static_cast<std::uint8_t>(peer_id), std::move(payload)}}),
                      now);
}

Bytes dict_bytes(std::vector<std::pair<std::string, std::int64_t>> entries) {
  BVal::Dict d;
  for (auto& [k, v] : entries) d.push_back({std::move(k), BVal::integer(v)});
  return bittorrent::bencode_encode(BVal::dict(std::move(d)));
}

std::size_t metadata_piece_count(std::int64_t size) {
  return static_cast<std::size_t>((size + static_cast<std::int64_t>(kMetadataPieceSize) - 1) /
                                  static_cast<std::int64_t>(kMetadataPieceSize));
}

bool metadata_blocked(const ActiveTorrent& torrent, const common::Hash& peer, std::uint64_t now_ms) {
  return bt_peer_backed_off(torrent.backoff, peer, now_ms);
}

// The lowest metadata piece not yet received, while the metainfo is unknown and its size
// is.
std::optional<std::size_t> missing_metadata_piece(const ActiveTorrent& torrent) {
  if (torrent.meta || torrent.metadata_size <= 0) return std::nullopt;
  const std::size_t n = metadata_piece_count(torrent.metadata_size);
  for (std::size_t k = 0; k < n; ++k) {
    const bool have = std::any_of(torrent.metadata_pieces.begin(), torrent.metadata_pieces.end(),
                                  [&](const MetadataPiece& p) { return p.index == static_cast<std::int32_t>(k); });
    if (!have) return k;
  }
  return std::nullopt;
}

// The first instant of the torrent's next metadata request and of its next peer exchange;
// one never made is due at once. The loop's wait ends then (next_torrent_extensions_wake_ms).
std::uint64_t metadata_request_due_ms(const ActiveTorrent& torrent) {
  return torrent.last_metadata_request_ms == 0 ? 0 : torrent.last_metadata_request_ms + kMetadataRequestIntervalMs;
}
std::uint64_t pex_due_ms(const ActiveTorrent& torrent) {
  return torrent.last_pex_ms == 0 ? 0 : torrent.last_pex_ms + kPexIntervalMs;
}

// The size from a peer's handshake, when none is kept and the peer is not backed off.
void adopt_size(ActiveTorrent& torrent, const common::Hash& peer, std::int32_t size) {
  torrent.metadata_size = size;
  torrent.metadata_size_from = peer;
}

void handle_handshake(Router& r, TorrentEngine& engine, SamSession& session, streaming::StreamConnection& stream,
                      ActiveTorrent& torrent, TorrentPeerConn& conn, ByteView payload, const Now& now) {
  auto decoded = bittorrent::bencode_decode(payload);
  if (!decoded || !decoded->as_dict()) return;
  PeerExtHandshake ext;
  auto small_id = [](const BVal* v, std::int32_t& out) {
    if (!v || !v->as_int()) return;
    const std::int64_t i = *v->as_int();
    if (i >= 1 && i <= 255) out = static_cast<std::int32_t>(i);
  };
  if (const BVal* m = bittorrent::bdict_get(*decoded, "m"); m && m->as_dict()) {
    small_id(bittorrent::bdict_get(*m, "ut_metadata"), ext.ut_metadata);
    small_id(bittorrent::bdict_get(*m, "i2p_pex"), ext.i2p_pex);
    small_id(bittorrent::bdict_get(*m, "i2p_dht"), ext.i2p_dht);
  }
  if (const auto size = bittorrent::bdict_get_int(*decoded, "metadata_size"); size && *size >= 1 && *size <= 16777215) {
    ext.metadata_size = static_cast<std::int32_t>(*size);
  }
  if (const BVal::Bytes* v = bittorrent::bdict_get_bytes(*decoded, "v")) {
    if (auto text = encoding::utf8_bytes_to_string(bittorrent::bytes_view(*v))) ext.client = *text;
  }
  if (!ext.client.empty()) conn.client = ext.client;
  if (r.debug) {
    print_debug_line(true, "[debug] bt peer " + bt_short_b32(conn.peer) + " ext_hs client=\"" + ext.client +
                               "\" meta_size=" + (ext.metadata_size ? std::to_string(*ext.metadata_size) : "none"));
  }
  if (ext.metadata_size && torrent.metadata_size == 0 && !torrent.meta &&
      !metadata_blocked(torrent, conn.peer, now.mono_ms)) {
    adopt_size(torrent, conn.peer, *ext.metadata_size);
  }
  const std::int32_t dht_id = ext.i2p_dht;
  conn.ext = std::move(ext);
  if (dht_id > 0) {
    send_ext(r, engine, session, stream, conn, dht_id,
             dict_bytes({{"port", engine.dht.query_port}, {"rport", engine.dht.reply_port}}), now);
  }
}

// The metadata of the kept size did not check: drop it, back off its source, and take
// the size from another connected peer that gave one.
void reject_metadata(Router& r, ActiveTorrent& torrent, const Now& now) {
  const std::uint64_t t = now.mono_ms;
  if (torrent.metadata_size_from) {
    bt_set_peer_backoff(torrent.backoff, *torrent.metadata_size_from, t + kLyingMetadataBackoffMs, t);
    if (r.debug) {
      print_debug_line(true, "[debug] bt metadata of " + std::to_string(torrent.metadata_size) + "B from " +
                                 bt_short_b32(*torrent.metadata_size_from) + " failed its check");
    }
  }
  torrent.metadata_pieces.clear();
  torrent.metadata_size = 0;
  torrent.metadata_size_from.reset();
  for (const TorrentPeerConn& c : torrent.peers) {
    if (peer_state(c) != PeerConnState::Connected || !c.ext || !c.ext->metadata_size) continue;
    if (metadata_blocked(torrent, c.peer, t)) continue;
    adopt_size(torrent, c.peer, *c.ext->metadata_size);
    break;
  }
}

void handle_metadata(Router& r, TorrentEngine& engine, SamSession& session, streaming::StreamConnection& stream,
                     ActiveTorrent& torrent, TorrentPeerConn& conn, ByteView payload, const Now& now) {
  auto head = bittorrent::decode_bval_at(payload, 0, 0);
  if (!head || !head->value.as_dict()) return;
  const auto msg_type = bittorrent::bdict_get_int(head->value, "msg_type");
  const auto piece = bittorrent::bdict_get_int(head->value, "piece");
  if (!msg_type || !piece || *piece < 0) return;
  const std::int64_t k = *piece;

  if (*msg_type == 0) {
    if (conn.ext && conn.ext->ut_metadata > 0) {
      const std::int32_t to = conn.ext->ut_metadata;
      if (!torrent.info_bytes.empty() && k <= INT32_MAX) {
        const auto start = static_cast<std::uint64_t>(k) * kMetadataPieceSize;
        if (start >= torrent.info_bytes.size()) return;
        const std::size_t end =
            std::min<std::size_t>(static_cast<std::size_t>(start) + kMetadataPieceSize, torrent.info_bytes.size());
        Bytes out = dict_bytes(
            {{"msg_type", 1}, {"piece", k}, {"total_size", static_cast<std::int64_t>(torrent.info_bytes.size())}});
        out.insert(out.end(), torrent.info_bytes.begin() + static_cast<std::ptrdiff_t>(start),
                   torrent.info_bytes.begin() + static_cast<std::ptrdiff_t>(end));
        send_ext(r, engine, session, stream, conn, to, std::move(out), now);
      } else {
        send_ext(r, engine, session, stream, conn, to, dict_bytes({{"msg_type", 2}, {"piece", k}}), now);
      }
    }
    return;
  }
  if (*msg_type != 1) return;

  const auto total = bittorrent::bdict_get_int(head->value, "total_size");
  if (!total || *total <= 0) return;
  if (torrent.meta || *total > kMaxMetadataSize) return;
  if (metadata_blocked(torrent, conn.peer, now.mono_ms)) return;
  // Pieces of another size cannot belong to the same dictionary: the sender's size
  // replaces the kept one and the pieces gathered for that are dropped.
  if (*total != torrent.metadata_size) {
    torrent.metadata_pieces.clear();
    adopt_size(torrent, conn.peer, static_cast<std::int32_t>(*total));
  }
  const std::size_t n = metadata_piece_count(*total);
  if (static_cast<std::uint64_t>(k) >= n) return;
  const ByteView bytes = payload.subspan(head->end);
  const std::size_t want = k + 1 == static_cast<std::int64_t>(n)
                               ? static_cast<std::size_t>(*total) - static_cast<std::size_t>(k) * kMetadataPieceSize
                               : kMetadataPieceSize;
  if (bytes.size() != want) return;
  const bool have = std::any_of(torrent.metadata_pieces.begin(), torrent.metadata_pieces.end(),
                                [&](const MetadataPiece& p) { return p.index == k; });
  if (!have)
    torrent.metadata_pieces.push_back(MetadataPiece{static_cast<std::int32_t>(k), Bytes(bytes.begin(), bytes.end())});
  if (torrent.metadata_pieces.size() < n) return;

  Bytes info;
  info.reserve(static_cast<std::size_t>(*total));
  for (std::size_t i = 0; i < n; ++i) {
    const auto found = std::find_if(torrent.metadata_pieces.begin(), torrent.metadata_pieces.end(),
                                    [&](const MetadataPiece& p) { return p.index == static_cast<std::int32_t>(i); });
    if (found == torrent.metadata_pieces.end()) return;
    info.insert(info.end(), found->data.begin(), found->data.end());
  }
  if (info.size() != static_cast<std::size_t>(*total) || !crypto::ct_eq(crypto::sha1(info), torrent.info_hash)) {
    reject_metadata(r, torrent, now);
    return;
  }
  auto meta = bittorrent::parse_info_dict(info, {});
  if (meta) {
    if (auto paths = bt_check_file_paths(meta->files); !paths) meta = std::unexpected(std::move(paths.error()));
  }
  if (!meta) {
    torrent.error = "metadata parse failed: " + bt_err_msg(meta.error());
    return;
  }
  torrent.metadata_pieces.clear();
  if (torrent.name == torrent.info_hash_hex) torrent.name = meta->name;
  bt_init_torrent_metainfo(torrent, *meta);
  if (r.debug) {
    print_debug_line(true, "[debug] bt metadata complete for " + torrent.info_hash_hex.substr(0, 12) + " (" +
                               std::to_string(info.size()) + "B)");
  }
}

void handle_pex(TorrentEngine& engine, const SamSession& session, ActiveTorrent& torrent, ByteView payload) {
  const auto peers = bittorrent::decode_i2p_pex(payload);
  if (!peers) return;
  for (const common::Hash& p : *peers) {
    if (bt_add_known_peer(torrent, p, session.dest_hash)) engine.dht.peers_discovered += 1;
  }
}

void handle_dht(Router& r, TorrentEngine& engine, SamSession& session, TorrentPeerConn& conn, ByteView payload,
                const Now& now) {
  auto decoded = bittorrent::bencode_decode(payload);
  if (!decoded || !decoded->as_dict()) return;
  const auto port = bittorrent::bdict_get_int(*decoded, "port");
  if (!port || *port < 1 || *port > 65535) return;
  if (conn.ext) conn.ext->dht_port = static_cast<std::uint32_t>(*port);
  if (conn.dht_pinged) return;
  conn.dht_pinged = true;
  r.send_dht_query(engine, session, conn.peer, static_cast<std::uint32_t>(*port),
                   bittorrent::KrpcQuery{bittorrent::KrpcQuery::Ping{}}, now);
}

}  // namespace

void Router::bt_handle_ext_message(TorrentEngine& engine, SamSession& session, streaming::StreamConnection& stream,
                                   ActiveTorrent& torrent, TorrentPeerConn& conn, std::uint8_t id, ByteView payload,
                                   const Now& now) {
  switch (id) {
    case 0: handle_handshake(*this, engine, session, stream, torrent, conn, payload, now); return;
    case kExtIdUtMetadata: handle_metadata(*this, engine, session, stream, torrent, conn, payload, now); return;
    case kExtIdI2pPex: handle_pex(engine, session, torrent, payload); return;
    case kExtIdI2pDht: handle_dht(*this, engine, session, conn, payload, now); return;
    default: return;
  }
}

// Each running torrent's next metadata request, while a connected peer that speaks
// ut_metadata and is not backed off can take it (a back-off's end is a timer of the peer
// steps), and its next peer exchange.
std::uint64_t next_torrent_extensions_wake_ms(const Router& r, const Now& now) {
  if (bt_stepped_engine(r) == nullptr) return kNoWakeDeadline;
  std::uint64_t wake = kNoWakeDeadline;
  const auto due = [&](std::uint64_t at) { wake = std::min(wake, std::max(at, now.mono_ms)); };
  for (const ActiveTorrent& torrent : r.torrent_engine->torrents) {
    if (torrent.paused) continue;
    const bool asker = std::any_of(torrent.peers.begin(), torrent.peers.end(), [&](const TorrentPeerConn& c) {
      return peer_state(c) == PeerConnState::Connected && c.ext && c.ext->ut_metadata > 0 &&
             !metadata_blocked(torrent, c.peer, now.mono_ms);
    });
    if (asker && missing_metadata_piece(torrent)) due(metadata_request_due_ms(torrent));
    if (!torrent.peers.empty() && !torrent.known_peers.empty()) due(pex_due_ms(torrent));
  }
  return wake;
}

bool bt_request_metadata(Router& r, TorrentEngine& engine, SamSession& session, streaming::StreamConnection& stream,
                         ActiveTorrent& torrent, TorrentPeerConn& conn, const Now& now) {
  const std::uint64_t t = now.mono_ms;
  if (torrent.meta || torrent.metadata_size <= 0) return false;
  if (t < metadata_request_due_ms(torrent)) return false;
  if (!conn.ext || conn.ext->ut_metadata <= 0 || metadata_blocked(torrent, conn.peer, t)) return false;
  const std::optional<std::size_t> k = missing_metadata_piece(torrent);
  if (!k) return false;
  torrent.last_metadata_request_ms = t;
  send_ext(r, engine, session, stream, conn, conn.ext->ut_metadata,
           dict_bytes({{"msg_type", 0}, {"piece", static_cast<std::int64_t>(*k)}}), now);
  return true;
}

bool bt_send_pex(Router& r, TorrentEngine& engine, SamSession& session, ActiveTorrent& torrent, const Now& now) {
  const std::uint64_t t = now.mono_ms;
  if (torrent.peers.empty() || torrent.known_peers.empty() || !session.streams) return false;
  if (t < pex_due_ms(torrent)) return false;
  torrent.last_pex_ms = t;
  bool sent = false;
  for (TorrentPeerConn& c : torrent.peers) {
    if (peer_state(c) != PeerConnState::Connected || !c.ext || c.ext->i2p_pex <= 0) continue;
    const streaming::ConnectionPtr s = find_stream_by_id(session.streams->connections, c.stream_id);
    if (!s) continue;
    std::vector<common::Hash> others;
    for (const common::Hash& p : torrent.known_peers) {
      if (p != c.peer) others.push_back(p);
    }
    if (others.empty()) continue;
    send_ext(r, engine, session, *s, c, c.ext->i2p_pex, bittorrent::encode_i2p_pex(others), now);
    sent = true;
  }
  return sent;
}

}  // namespace router
