// A connected torrent peer's bytes on arbitrary input: the engine decodes and handles them
// (piece information, requests, blocks, extension handshakes) and schedules its requests
// without crashing, and everything a peer can grow stays within its bounds.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "fuzz/support/check.h"
#include "ntcp2_net/clock.h"
#include "router/router.h"
#include "torrent/engine.h"
#include "torrent/peer_steps.h"

namespace {

using fuzz_support::check;

struct Fixture {
  std::unique_ptr<router::Router> r;
  router::SamSession* session = nullptr;
  streaming::ConnectionPtr stream;
  router::ActiveTorrent torrent;
  ntcp2_net::Now now;

  Fixture() {
    router::StartOptions options;
    options.sam_port = 0;
    auto started = router::Router::start(options);
    check(started.has_value());
    r = std::make_unique<router::Router>(std::move(*started));
    now = ntcp2_net::read_now();
    char folder[] = "/tmp/fuzz_torrent_XXXXXX";
    check(mkdtemp(folder) != nullptr);
    check(r->enable_torrent_engine(folder, now).has_value());
    session = router::bt_find_session(r->sessions, "__torrent__");
    check(session != nullptr);
    std::array<std::uint8_t, 32> peer{};
    peer.fill(0x42);
    auto opened = session->streams->connect(common::Hash::from_bytes(peer).value(), now.mono_ms, 0, 0);
    check(opened.has_value());
    stream = *opened;
    bittorrent::TorrentMeta meta;
    meta.name = "t.bin";
    meta.piece_length = 32768;
    meta.total_length = 4 * 32768 - 7;
    meta.files = {bittorrent::TorrentFile{{"t.bin"}, meta.total_length}};
    meta.pieces.assign(4, bittorrent::PieceHash{});
    torrent.info_hash.assign(20, 0x11);
    torrent.download_dir = std::string(folder);
    router::bt_init_torrent_metainfo(torrent, meta);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Fixture f;
  router::ActiveTorrent t = f.torrent;
  // Half the inputs run while the metainfo is still unknown.
  if (size > 0 && (data[0] & 1) != 0) {
    t.meta.reset();
    t.have.clear();
  }
  router::TorrentPeerConn c;
  c.peer = f.stream->peer_hash;
  router::set_peer_state(c, router::PeerConnState::Connected);
  c.stream_id = f.stream->local_stream_id;
  c.recv_buf.assign(data, data + size);
  router::TorrentEngine& engine = *f.r->torrent_engine;
  for (int round = 0; round < 4 && router::peer_state(c) == router::PeerConnState::Connected; ++round) {
    f.r->bt_process_peer_messages(engine, *f.session, *f.stream, t, c, f.now);
    f.r->bt_schedule_piece_requests(engine, *f.session, *f.stream, t, c, f.now);
    f.stream->unacked.clear();
    f.stream->outbox.clear();
  }
  check(c.inflight.size() <= router::kMaxInflightPerPeer);
  check(t.active_pieces.size() <= router::kMaxActivePieces);
  check(static_cast<std::int64_t>(c.peer_bitfield.size()) <= router::kMaxPiecesWithoutMeta);
  if (t.meta) check(c.peer_bitfield.size() <= t.meta->pieces.size());
  // The kept count of set flags is the count of the flags.
  auto recount = [](const router::PieceFlags& flags) {
    return static_cast<std::size_t>(std::count_if(flags.begin(), flags.end(), [](std::uint8_t v) { return v != 0; }));
  };
  check(c.peer_bitfield.count() == recount(c.peer_bitfield));
  check(t.have.count() == recount(t.have));
  check(c.send_buf.size() <= router::kPeerSendBufMax + router::kMaxServedRequest + 64);
  return 0;
}
