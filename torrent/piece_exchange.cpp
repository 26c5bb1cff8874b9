// What is said on a connected peer connection: the messages after the handshakes, the
// handling of every received message, the choice of blocks to request, the assembly and
// SHA-1 check of pieces with their writing and announcement, and serving from disk.
#include <algorithm>
#include <string>
#include <variant>

#include "bittorrent/bencode.h"
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
#include "torrent/piece_exchange.h"
#include "torrent/piece_storage.h"
#include "torrent/wake_deadlines.h"

namespace router {

namespace {

using bittorrent::PeerMessage;

void debug_peer(const Router& r, const common::Hash& peer, std::string_view text) {
  if (r.debug) print_debug_line(true, "[debug] bt peer " + bt_short_b32(peer) + std::string(text));
}

std::int64_t piece_count(const ActiveTorrent& t) {
  return t.meta ? static_cast<std::int64_t>(t.meta->pieces.size()) : 0;
}

bool send(Router& r, TorrentEngine& engine, SamSession& session, streaming::StreamConnection& stream,
          TorrentPeerConn& conn, const PeerMessage& m, const Now& now) {
  return r.bt_send_peer_wire(engine, session, stream, conn, bittorrent::encode_peer_message(m), now);
}

std::size_t count_ones(const Bytes& flags) {
  return static_cast<std::size_t>(std::count(flags.begin(), flags.end(), std::uint8_t{1}));
}

void remove_inflight(TorrentPeerConn& c, std::uint32_t index, std::uint32_t begin) {
  auto it = std::find_if(c.inflight.begin(), c.inflight.end(), [&](const InflightRequest& q) {
    return static_cast<std::uint32_t>(q.piece) == index && q.begin == begin;
  });
  if (it != c.inflight.end()) c.inflight.erase(it);
}

bool flagged(const TorrentPeerConn& c, std::int64_t index) {
  return index >= 0 && static_cast<std::size_t>(index) < c.peer_bitfield.size() &&
         c.peer_bitfield[static_cast<std::size_t>(index)] == 1;
}

// Every connection of the torrent, and the one being handled when it is not in the list
// yet (an inbound peer during its first messages).
template <typename F>
void for_each_conn(ActiveTorrent& t, TorrentPeerConn& current, F&& f) {
  bool seen = false;
  for (TorrentPeerConn& c : t.peers) {
    if (&c == &current) seen = true;
    f(c);
  }
  if (!seen) f(current);
}

bool requested_anywhere(ActiveTorrent& t, TorrentPeerConn& current, std::int32_t piece, std::uint32_t begin) {
  bool found = false;
  for_each_conn(t, current, [&](const TorrentPeerConn& c) {
    for (const InflightRequest& q : c.inflight) {
      if (q.piece == piece && q.begin == begin) found = true;
    }
  });
  return found;
}

// A connection to the peer that can still deliver: connected and not choking us.
bool peer_serving(ActiveTorrent& t, TorrentPeerConn& current, const common::Hash& peer) {
  bool found = false;
  for_each_conn(t, current, [&](const TorrentPeerConn& c) {
    if (c.peer == peer && peer_state(c) == PeerConnState::Connected && !c.peer_choking) found = true;
  });
  return found;
}

// The first instant at which a block request has gone unanswered too long: it is dropped
// (and the block asked for again) from then on, and the loop's wait ends then.
std::uint64_t request_due_ms(const Router& r, const InflightRequest& q) {
  return q.sent_ms + (r.public_mode ? kRequestTimeoutPublicMs : kRequestTimeoutLocalMs) + 1;
}

// Whether the connection's requests are scheduled (and so timed out) in its passes.
bool requests_scheduled(const ActiveTorrent& torrent, const TorrentPeerConn& conn) {
  if (!torrent.meta || torrent.completed || conn.peer_choking) return false;
  const auto pieces = static_cast<std::size_t>(piece_count(torrent));
  return conn.peer_has_pieces || (conn.peer_has_all && conn.peer_bitfield.size() < pieces);
}

std::size_t active_bytes(const ActiveTorrent& t) {
  std::size_t sum = 0;
  for (const ActivePieceBuf& p : t.active_pieces) sum += p.data.size();
  return sum;
}

}  // namespace

ActivePieceBuf bt_new_active_piece(std::int32_t index, std::int64_t size) {
  ActivePieceBuf p;
  p.index = index;
  p.data.assign(static_cast<std::size_t>(size), 0);
  p.block_count = static_cast<std::int32_t>((size + kBlockSize - 1) / kBlockSize);
  p.received.assign(static_cast<std::size_t>(p.block_count), 0);
  return p;
}

std::optional<InflightRequest> bt_pick_block(ActiveTorrent& torrent, TorrentPeerConn& conn, std::uint64_t now_ms) {
  if (!torrent.meta) return std::nullopt;
  const bittorrent::TorrentMeta& meta = *torrent.meta;
  for (ActivePieceBuf& p : torrent.active_pieces) {
    if (p.index < 0 || !flagged(conn, p.index)) continue;
    // A piece that failed once comes from one peer only, while that peer serves us.
    if (p.retry && p.owner && *p.owner != conn.peer && peer_serving(torrent, conn, *p.owner)) continue;
    const std::int64_t size = bt_piece_size(meta, p.index);
    for (std::int32_t k = 0; k < p.block_count; ++k) {
      if (p.received[static_cast<std::size_t>(k)] != 0) continue;
      const auto begin = static_cast<std::uint32_t>(k) * kBlockSize;
      if (requested_anywhere(torrent, conn, p.index, begin)) continue;
      if (p.retry) p.owner = conn.peer;
      const auto length = static_cast<std::uint32_t>(std::min<std::int64_t>(kBlockSize, size - begin));
      return InflightRequest{p.index, begin, length, now_ms};
    }
  }
  if (torrent.active_pieces.size() >= kMaxActivePieces) return std::nullopt;
  const std::size_t held = active_bytes(torrent);
  for (std::size_t i = 0; i < torrent.have.size(); ++i) {
    const auto index = static_cast<std::int32_t>(i);
    if (torrent.have[i] != 0 || !flagged(conn, index)) continue;
    if (std::any_of(torrent.active_pieces.begin(), torrent.active_pieces.end(),
                    [&](const ActivePieceBuf& p) { return p.index == index; })) {
      continue;
    }
    const std::int64_t size = bt_piece_size(meta, index);
    if (size <= 0) continue;
    // Piece buffers are bounded per torrent; one piece is always allowed.
    if (!torrent.active_pieces.empty() && held + static_cast<std::size_t>(size) > kMaxActivePieceBytes) {
      return std::nullopt;
    }
    torrent.active_pieces.push_back(bt_new_active_piece(index, size));
    return InflightRequest{index, 0, static_cast<std::uint32_t>(std::min<std::int64_t>(kBlockSize, size)), now_ms};
  }
  return std::nullopt;
}

void Router::bt_send_post_handshake(TorrentEngine& engine, SamSession& session, streaming::StreamConnection& stream,
                                    ActiveTorrent& torrent, TorrentPeerConn& conn, const Now& now) {
  conn.post_handshake_sent = true;
  // Extended messages only to peers that said they understand them.
  if (conn.peer_supports_ext) {
    send(*this, engine, session, stream, conn,
         PeerMessage{PeerMessage::Extended{0, bt_ext_handshake_payload(torrent.metadata_size)}}, now);
  }
  if (count_ones(torrent.have) > 0) {
    send(*this, engine, session, stream, conn, PeerMessage{PeerMessage::Bitfield{bt_encode_bitfield(torrent.have)}},
         now);
  }
  if (conn.am_choking) {
    conn.am_choking = false;
    send(*this, engine, session, stream, conn, PeerMessage{PeerMessage::Unchoke{}}, now);
  }
  if (!torrent.completed && !conn.am_interested) {
    conn.am_interested = true;
    send(*this, engine, session, stream, conn, PeerMessage{PeerMessage::Interested{}}, now);
  }
}

// A verified or failed piece leaves its buffer; a failure counts against a lone source.
static void bt_piece_complete(Router& r, TorrentEngine& engine, SamSession& session, ActiveTorrent& torrent,
                              TorrentPeerConn& conn, std::size_t slot, const Now& now) {
  ActivePieceBuf& p = torrent.active_pieces[slot];
  const std::int32_t i = p.index;
  const bittorrent::TorrentMeta& meta = *torrent.meta;
  const bool good = static_cast<std::size_t>(i) < meta.pieces.size() &&
                    crypto::ct_eq(crypto::sha1(p.data), meta.pieces[static_cast<std::size_t>(i)]);
  if (!good) {
    if (r.debug) print_debug_line(true, "[debug] bt piece #" + std::to_string(i) + " SHA-1 mismatch!");
    if (p.sources.size() == 1) {
      const common::Hash culprit = p.sources.front();
      for_each_conn(torrent, conn, [&](TorrentPeerConn& c) {
        if (c.peer != culprit || peer_state(c) == PeerConnState::Closed) return;
        c.failed_pieces += 1;
        if (c.failed_pieces >= kMaxFailedPiecesPerPeer) {
          set_peer_state(c, PeerConnState::Closed);
          c.close_reason = "too many failed pieces";
          bt_set_peer_backoff(torrent.backoff, c.peer, now.mono_ms + kFailedPiecesBackoffMs, now.mono_ms);
        }
      });
    }
    // Fetched again from its first block, from one peer.
    std::fill(p.received.begin(), p.received.end(), 0);
    p.sources.clear();
    p.retry = true;
    p.owner.reset();
    return;
  }
  const ActivePieceBuf piece = std::move(p);
  torrent.active_pieces.erase(torrent.active_pieces.begin() + static_cast<std::ptrdiff_t>(slot));
  const PieceWriteOutcome written = bt_write_piece_to_files(torrent, i, piece.data);
  if (!written.ok) {
    torrent.error = "disk write failed: " + written.message;
    if (r.debug) print_debug_line(true, "[debug] bt write error: " + written.message);
    return;
  }
  torrent.error.clear();
  torrent.have[static_cast<std::size_t>(i)] = 1;
  torrent.downloaded += piece.data.size();
  if (r.debug) {
    print_debug_line(true, "[debug] bt piece #" + std::to_string(i) + " verified & written (" +
                               std::to_string(piece.data.size()) + "B, total=" + std::to_string(torrent.downloaded) +
                               ")");
  }
  const Bytes have = bittorrent::encode_peer_message(PeerMessage{PeerMessage::Have{static_cast<std::uint32_t>(i)}});
  for_each_conn(torrent, conn, [&](TorrentPeerConn& c) {
    if (peer_state(c) != PeerConnState::Connected || !session.streams) return;
    if (const streaming::ConnectionPtr s = find_stream_by_id(session.streams->connections, c.stream_id)) {
      r.bt_send_peer_wire(engine, session, *s, c, have, now);
    }
  });
  if (std::all_of(torrent.have.begin(), torrent.have.end(), [](std::uint8_t f) { return f == 1; })) {
    torrent.completed = true;
    if (r.debug) print_debug_line(true, "[debug] bt COMPLETED '" + torrent.name + "'!");
  }
}

namespace {

// The handling of each kind of message received on one connection, chosen by std::visit. A
// handler may close the connection; the caller then stops reading its messages.
struct ReceivedMessage {
  Router& r;
  TorrentEngine& engine;
  SamSession& session;
  streaming::StreamConnection& stream;
  ActiveTorrent& torrent;
  TorrentPeerConn& conn;
  const Now& now;

  // Any message already counted as a sign of life; we never choke, and a request is served
  // when it comes, so there is none waiting for a Cancel to withdraw.
  void operator()(const PeerMessage::KeepAlive&) const {}
  void operator()(const PeerMessage::Interested&) const {}
  void operator()(const PeerMessage::NotInterested&) const {}
  void operator()(const PeerMessage::Cancel&) const {}

  void operator()(const PeerMessage::Choke&) const {
    conn.peer_choking = true;
    conn.inflight.clear();
    debug_peer(r, conn.peer, " CHOKE");
  }

  void operator()(const PeerMessage::Unchoke&) const {
    conn.peer_choking = false;
    debug_peer(r, conn.peer, " UNCHOKE");
  }

  void operator()(const PeerMessage::Have& have) const {
    const auto i = static_cast<std::int64_t>(static_cast<std::int32_t>(have.index));
    const std::int64_t pieces = piece_count(torrent);
    // Beyond the piece table (or, before the metainfo, beyond any table an info
    // dictionary can hold) a Have names nothing.
    const std::int64_t bound = torrent.meta ? pieces : kMaxPiecesWithoutMeta;
    if (i >= 0 && i < bound) {
      const auto want = static_cast<std::size_t>(std::max<std::int64_t>(i + 1, pieces));
      if (conn.peer_bitfield.size() < want) conn.peer_bitfield.resize(want, 0);
      conn.peer_bitfield[static_cast<std::size_t>(i)] = 1;
      conn.peer_has_pieces = true;
      if (!conn.seen_piece_info || i % 100 == 0) debug_peer(r, conn.peer, " Have(" + std::to_string(i) + ")");
    }
    conn.seen_piece_info = true;
  }

  void operator()(const PeerMessage::Bitfield& bits) const {
    const std::int64_t pieces = piece_count(torrent);
    if (torrent.meta ? bits.bits.size() != static_cast<std::size_t>((pieces + 7) / 8)
                     : bits.bits.size() * 8 > static_cast<std::size_t>(kMaxPiecesWithoutMeta) + 7) {
      set_peer_state(conn, PeerConnState::Closed);
      conn.close_reason = "bitfield length mismatch";
      return;
    }
    conn.peer_bitfield =
        bt_decode_bitfield(bits.bits, torrent.meta ? pieces : static_cast<std::int64_t>(bits.bits.size() * 8));
    conn.peer_has_pieces = true;
    conn.peer_has_all = false;
    conn.seen_piece_info = true;
    debug_peer(r, conn.peer,
               " Bitfield " + std::to_string(count_ones(conn.peer_bitfield)) + "/" +
                   std::to_string(conn.peer_bitfield.size()));
  }

  void operator()(const PeerMessage::Request& req) const {
    const auto i = static_cast<std::int64_t>(static_cast<std::int32_t>(req.index));
    if (req.length < 1 || req.length > kMaxServedRequest || i < 0 ||
        static_cast<std::size_t>(i) >= torrent.have.size() || torrent.have[static_cast<std::size_t>(i)] != 1) {
      return;
    }
    if (auto bytes = bt_read_span_from_files(torrent, i, req.begin, req.length)) {
      torrent.uploaded += bytes->size();
      send(r, engine, session, stream, conn, PeerMessage{PeerMessage::Piece{req.index, req.begin, std::move(*bytes)}},
           now);
    }
  }

  void operator()(const PeerMessage::Piece& piece) const {
    if (!torrent.meta) return;
    conn.blocks_recv += 1;
    if (r.debug && (conn.blocks_recv == 1 || conn.blocks_recv % 8 == 0)) {
      print_debug_line(true, "[debug] bt recv " + bt_short_b32(conn.peer) + " piece=" + std::to_string(piece.index) +
                                 " begin=" + std::to_string(piece.begin) +
                                 " len=" + std::to_string(piece.block.size()) +
                                 " (blocks=" + std::to_string(conn.blocks_recv) + ")");
    }
    remove_inflight(conn, piece.index, piece.begin);
    if (piece.begin % kBlockSize != 0) return;
    auto slot = std::find_if(torrent.active_pieces.begin(), torrent.active_pieces.end(), [&](const ActivePieceBuf& p) {
      return p.index >= 0 && static_cast<std::uint32_t>(p.index) == piece.index;
    });
    if (slot == torrent.active_pieces.end()) return;
    const std::size_t k = piece.begin / kBlockSize;
    if (k < static_cast<std::size_t>(slot->block_count) &&
        std::uint64_t{piece.begin} + piece.block.size() <= slot->data.size()) {
      std::copy(piece.block.begin(), piece.block.end(), slot->data.begin() + piece.begin);
      slot->received[k] = 1;
      if (std::find(slot->sources.begin(), slot->sources.end(), conn.peer) == slot->sources.end()) {
        slot->sources.push_back(conn.peer);
      }
    }
    if (std::all_of(slot->received.begin(), slot->received.end(), [](std::uint8_t f) { return f == 1; })) {
      bt_piece_complete(r, engine, session, torrent, conn,
                        static_cast<std::size_t>(slot - torrent.active_pieces.begin()), now);
    }
  }

  void operator()(const PeerMessage::SuggestPiece& suggest) const {
    debug_peer(r, conn.peer, " SuggestPiece(" + std::to_string(suggest.index) + ")");
  }

  void operator()(const PeerMessage::HaveAll&) const {
    conn.peer_has_pieces = true;
    conn.peer_has_all = true;
    conn.seen_piece_info = true;
    if (torrent.meta) conn.peer_bitfield.assign(static_cast<std::size_t>(piece_count(torrent)), 1);
    debug_peer(r, conn.peer, " HaveAll (" + std::to_string(conn.peer_bitfield.size()) + " pcs)");
  }

  void operator()(const PeerMessage::HaveNone&) const {
    conn.peer_has_pieces = true;
    conn.peer_has_all = false;
    conn.seen_piece_info = true;
    if (torrent.meta) {
      conn.peer_bitfield.assign(static_cast<std::size_t>(piece_count(torrent)), 0);
    } else {
      conn.peer_bitfield.clear();
    }
    debug_peer(r, conn.peer, " HaveNone");
  }

  void operator()(const PeerMessage::RejectRequest& reject) const {
    remove_inflight(conn, reject.index, reject.begin);
    debug_peer(r, conn.peer,
               " REJECT piece=" + std::to_string(reject.index) + " begin=" + std::to_string(reject.begin));
  }

  void operator()(const PeerMessage::AllowedFast& fast) const {
    debug_peer(r, conn.peer, " AllowedFast(" + std::to_string(fast.index) + ")");
  }

  void operator()(const PeerMessage::Extended& ext) const {
    r.bt_handle_ext_message(engine, session, stream, torrent, conn, ext.id, ext.payload, now);
  }
};

}  // namespace

void Router::bt_process_peer_messages(TorrentEngine& engine, SamSession& session, streaming::StreamConnection& stream,
                                      ActiveTorrent& torrent, TorrentPeerConn& conn, const Now& now) {
  const ReceivedMessage handle{*this, engine, session, stream, torrent, conn, now};
  for (std::size_t n = 0; n < kMaxMessagesPerCall; ++n) {
    if (peer_state(conn) == PeerConnState::Closed) return;
    // Requests wait in the receive buffer while our answers fill the send buffer.
    if (conn.send_buf.size() + kMaxServedRequest + 13 > kPeerSendBufMax) return;
    auto decoded = bittorrent::decode_peer_frame(conn.recv_buf);
    if (!decoded) {
      set_peer_state(conn, PeerConnState::Closed);
      conn.close_reason = "wire decode error: " + bt_err_msg(decoded.error());
      return;
    }
    if (!*decoded) return;
    conn.last_recv_ms = now.mono_ms;
    std::visit(handle, (*decoded)->kind);
  }
}

// The limits of the block requests of every connected peer whose requests are scheduled.
std::uint64_t next_torrent_requests_wake_ms(const Router& r, const Now& now) {
  if (bt_stepped_engine(r) == nullptr) return kNoWakeDeadline;
  std::uint64_t wake = kNoWakeDeadline;
  for (const ActiveTorrent& torrent : r.torrent_engine->torrents) {
    if (torrent.paused) continue;
    for (const TorrentPeerConn& c : torrent.peers) {
      if (peer_state(c) != PeerConnState::Connected || !requests_scheduled(torrent, c)) continue;
      for (const InflightRequest& q : c.inflight) wake = std::min(wake, std::max(request_due_ms(r, q), now.mono_ms));
    }
  }
  return wake;
}

void Router::bt_schedule_piece_requests(TorrentEngine& engine, SamSession& session, streaming::StreamConnection& stream,
                                        ActiveTorrent& torrent, TorrentPeerConn& conn, const Now& now) {
  if (!torrent.meta) return;
  const auto pieces = static_cast<std::size_t>(piece_count(torrent));
  if (conn.peer_has_all && conn.peer_bitfield.size() < pieces) {
    conn.peer_bitfield.assign(pieces, 1);
    conn.peer_has_pieces = true;
  }
  if (torrent.completed || conn.peer_choking || !conn.peer_has_pieces) return;
  std::erase_if(conn.inflight, [&](const InflightRequest& q) { return now.mono_ms >= request_due_ms(*this, q); });
  while (conn.inflight.size() < kMaxInflightPerPeer && peer_state(conn) == PeerConnState::Connected) {
    const std::optional<InflightRequest> pick = bt_pick_block(torrent, conn, now.mono_ms);
    if (!pick) return;
    conn.inflight.push_back(*pick);
    send(*this, engine, session, stream, conn,
         PeerMessage{PeerMessage::Request{static_cast<std::uint32_t>(pick->piece), pick->begin, pick->length}}, now);
    if (debug && (pick->begin == 0 || conn.blocks_recv == 0)) {
      print_debug_line(true, "[debug] bt req " + bt_short_b32(conn.peer) + " piece=" + std::to_string(pick->piece) +
                                 " begin=" + std::to_string(pick->begin) + " len=" + std::to_string(pick->length));
    }
  }
}

}  // namespace router
