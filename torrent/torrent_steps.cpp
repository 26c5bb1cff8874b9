// The BitTorrent client as the router core calls it: creating the engine with its session
// "__torrent__", the registry's adds, pause and remove, and one pass of the engine.
#include <string>

#include "bittorrent/magnet.h"
#include "bittorrent/metainfo.h"
#include "encoding/text.h"
#include "ntcp2_net/files.h"
#include "ntcp2_net/glue.h"
#include "router/destinations.h"
#include "router/id_counters.h"
#include "router/peer_log.h"
#include "router/poll_set.h"
#include "router/random.h"
#include "router/router.h"
#include "services/client_sessions.h"
#include "services/streams.h"
#include "torrent/engine.h"
#include "torrent/extensions.h"
#include "torrent/peer_steps.h"
#include "torrent/piece_storage.h"
#include "torrent/tracker_steps.h"
#include "torrent/wake_deadlines.h"

namespace router {

namespace {

// The first instant of the session's next LeaseSet2 publication: two minutes after the last
// one, or at once when inbound tunnels appeared after a publication that had none.
std::uint64_t publish_due_ms(const Router& r, const TorrentEngine& engine, const Now& now) {
  if (!r.tunnels.inbound.empty() && engine.publish_inbound_tunnels == 0) return now.mono_ms;
  return engine.last_publish_ms + kPublishIntervalMs;
}

std::string default_download_dir() {
  std::array<std::uint8_t, 1024> buf{};
  const std::int32_t n = ondrel_i2p_net_home_dir(buf.data(), static_cast<std::int32_t>(buf.size()));
  if (n <= 0) return "./downloads";
  auto home = encoding::utf8_bytes_to_string(
      ByteView(buf.data(), std::min<std::size_t>(static_cast<std::size_t>(n), buf.size())));
  if (!home || home->empty()) return "./downloads";
  return *home + "/Downloads/ondrel-i2p";
}

// The folder a torrent is added under: the engine's default when none is given, else the
// given one (created).
Result<std::string> torrent_folder(const TorrentEngine& engine, std::string_view given) {
  const std::string_view trimmed = encoding::trim(given);
  if (trimmed.empty()) return engine.download_dir;
  std::string folder = bt_normalize_dir(trimmed);
  if (auto made = ntcp2_net::mkdir_p(folder); !made) return wrap(RouterError::Net, std::move(made.error()));
  return folder;
}

// The registry entry of a torrent not held yet, refused while the registry is full (before
// any file of the torrent is read).
Result<ActiveTorrent> new_torrent(const TorrentEngine& engine, const bittorrent::InfoHash& info_hash, std::string hex,
                                  std::string name, std::string folder) {
  if (engine.torrents.size() >= kMaxTorrents) {
    return fail(RouterError::Message, msg("too many torrents (", kMaxTorrents, ")"));
  }
  ActiveTorrent t;
  t.info_hash = Bytes(info_hash.begin(), info_hash.end());
  t.info_hash_hex = std::move(hex);
  t.name = std::move(name);
  t.download_dir = std::move(folder);
  return t;
}

// Adds the torrent to the registry; the DHT learns at once that this destination has it.
const ActiveTorrent& register_torrent(std::vector<SamSession>& sessions, TorrentEngine& engine, ActiveTorrent t,
                                      const Now& now) {
  engine.torrents.push_back(std::move(t));
  const ActiveTorrent& added = engine.torrents.back();
  if (const SamSession* session = bt_find_session(sessions, engine.session_id)) {
    engine.dht.store_peer(added.info_hash, session->dest_hash, now.wall_ms);
  }
  return added;
}

}  // namespace

std::string torrent_b32_address(const std::vector<SamSession>& sessions) {
  for (const SamSession& s : sessions) {
    if (s.id == kTorrentSessionId) return s.b32_address;
  }
  return "";
}

SamSession* bt_find_session(std::vector<SamSession>& sessions, std::string_view id) {
  for (SamSession& s : sessions) {
    if (s.id == id) return &s;
  }
  return nullptr;
}

const TorrentEngine* bt_stepped_engine(const Router& r) {
  if (!r.torrent_engine) return nullptr;
  const SamSession* session = Router::find_session_by_id(r.sessions, r.torrent_engine->session_id);
  return session != nullptr && session->streams ? &*r.torrent_engine : nullptr;
}

Result<void> Router::enable_torrent_engine(std::string_view download_dir, const Now& now) {
  const std::string_view trimmed = encoding::trim(download_dir);
  const std::string folder = trimmed.empty() ? default_download_dir() : bt_normalize_dir(trimmed);
  if (auto made = ntcp2_net::mkdir_p(folder); !made) return wrap(RouterError::Net, std::move(made.error()));
  if (torrent_engine) {
    if (!trimmed.empty()) torrent_engine->download_dir = folder;
    return {};
  }

  SamSession* session = bt_find_session(sessions, kTorrentSessionId);
  if (!session) {
    auto t = generate_transient_destination();
    if (!t) return fail(RouterError::Message, "failed to initialize __torrent__ I2P session");
    SamSession s = build_client_session(*this, kTorrentSessionId, *t);
    if (!s.signing_key) return fail(RouterError::Message, "failed to initialize __torrent__ I2P session");
    sessions.push_back(std::move(s));
    session = &sessions.back();
    publish_session_leaseset2(*session, now);
  }

  auto id_random = random_bytes(14);
  if (!id_random) return std::unexpected(std::move(id_random.error()));
  auto secret = random_bytes(32);
  if (!secret) return std::unexpected(std::move(secret.error()));
  auto peer_random = random_bytes(12);
  if (!peer_random) return std::unexpected(std::move(peer_random.error()));

  TorrentEngine engine;
  engine.session_id = kTorrentSessionId;
  const std::string_view prefix = kPeerIdPrefix;
  std::copy(prefix.begin(), prefix.end(), engine.peer_id.begin());
  std::copy(peer_random->begin(), peer_random->end(), engine.peer_id.begin() + 8);
  engine.download_dir = folder;
  engine.dht = bittorrent::I2pDht::create(session->dest_hash, std::span<const std::uint8_t, 14>(id_random->data(), 14),
                                          std::span<const std::uint8_t, 32>(secret->data(), 32));
  engine.last_dht_refresh_ms = 0;
  engine.last_publish_ms = now.mono_ms;
  engine.publish_inbound_tunnels = static_cast<std::int32_t>(tunnels.inbound.size());
  engine.publish_gen = 1;
  torrent_engine = std::move(engine);
  return {};
}

Result<std::string> Router::add_torrent_bytes(ByteView torrent_file, std::string_view download_dir, const Now& now) {
  if (auto enabled = enable_torrent_engine(download_dir, now); !enabled) return std::unexpected(enabled.error());
  if (!torrent_engine) return fail(RouterError::Message, "torrent engine unavailable");
  TorrentEngine& engine = *torrent_engine;
  auto meta = bittorrent::parse_torrent_file(torrent_file);
  if (!meta) return fail(RouterError::Message, "invalid .torrent metainfo: " + bt_err_msg(meta.error()));
  const std::string hex = encoding::hex_encode(meta->info_hash);
  auto folder = torrent_folder(engine, download_dir);
  if (!folder) return std::unexpected(std::move(folder.error()));
  // Two files on one name would overwrite each other and the torrent could never verify.
  if (auto paths = bt_check_file_paths(meta->files); !paths) return std::unexpected(std::move(paths.error()));

  if (ActiveTorrent* existing = bt_find_torrent_by_ih(engine.torrents, meta->info_hash)) {
    if (!existing->meta) bt_init_torrent_metainfo(*existing, *meta);
    for (const std::string& url : meta->trackers) bt_add_tracker_url(*existing, url);
    existing->paused = false;
    return hex;
  }
  auto t = new_torrent(engine, meta->info_hash, hex, meta->name, std::move(*folder));
  if (!t) return std::unexpected(std::move(t.error()));
  bt_init_torrent_metainfo(*t, *meta);
  const ActiveTorrent& added = register_torrent(sessions, engine, std::move(*t), now);
  if (debug) {
    print_debug_line(debug, "[debug] bt added torrent " + hex.substr(0, 12) + " '" + added.name + "' (" +
                                std::to_string(meta->pieces.size()) + " pcs, " + std::to_string(meta->total_length) +
                                "B, " + std::to_string(added.trackers.size()) + " trackers)");
  }
  return hex;
}

Result<std::string> Router::add_torrent_magnet(std::string_view uri, std::string_view download_dir, const Now& now) {
  if (auto enabled = enable_torrent_engine(download_dir, now); !enabled) return std::unexpected(enabled.error());
  if (!torrent_engine) return fail(RouterError::Message, "torrent engine unavailable");
  TorrentEngine& engine = *torrent_engine;
  auto link = bittorrent::parse_magnet(uri);
  if (!link) return fail(RouterError::Message, "invalid magnet URI: " + bt_err_msg(link.error()));
  const std::string hex = encoding::hex_encode(link->info_hash);
  auto folder = torrent_folder(engine, download_dir);
  if (!folder) return std::unexpected(std::move(folder.error()));

  // The magnet's DHT nodes wait for the DHT to ping them.
  for (const bittorrent::MagnetNode& node : link->dht_nodes) {
    if (const std::optional<common::Hash> h = resolve_i2p_host_hash(node.host, now)) {
      enqueue_dht_bootstrap(engine, *h, node.port, now);
    }
  }
  if (ActiveTorrent* existing = bt_find_torrent_by_ih(engine.torrents, link->info_hash)) {
    for (const std::string& url : link->trackers) bt_add_tracker_url(*existing, url);
    existing->paused = false;
    return hex;
  }
  auto t = new_torrent(engine, link->info_hash, hex, link->name.empty() ? hex : link->name, std::move(*folder));
  if (!t) return std::unexpected(std::move(t.error()));
  for (const std::string& url : link->trackers) bt_add_tracker_url(*t, url);
  const ActiveTorrent& added = register_torrent(sessions, engine, std::move(*t), now);
  if (debug) {
    print_debug_line(debug, "[debug] bt added magnet " + hex.substr(0, 12) + " '" + added.name + "' (" +
                                std::to_string(added.trackers.size()) + " trackers)");
  }
  return hex;
}

bool Router::pause_torrent(std::string_view info_hash_hex, const Now& now) {
  if (!torrent_engine) return false;
  ActiveTorrent* t = bt_find_torrent_by_hex(*torrent_engine, info_hash_hex);
  if (!t) return false;
  if (!t->paused) bt_announce_stopped(*this, *torrent_engine, *t, now);
  t->paused = true;
  if (SamSession* session = bt_find_session(sessions, torrent_engine->session_id)) {
    for (TorrentPeerConn& c : t->peers) {
      set_peer_state(c, PeerConnState::Closed);
      bt_close_stream(*this, *session, c.stream_id, now);
    }
  }
  t->peers.clear();
  return true;
}

bool Router::remove_torrent(std::string_view info_hash_hex, const Now& now) {
  if (!torrent_engine) return false;
  TorrentEngine& engine = *torrent_engine;
  const std::string key = bt_hex_lower(info_hash_hex);
  auto it = std::find_if(engine.torrents.begin(), engine.torrents.end(),
                         [&](const ActiveTorrent& t) { return t.info_hash_hex == key; });
  if (it == engine.torrents.end()) return false;
  if (!it->paused) bt_announce_stopped(*this, engine, *it, now);
  if (SamSession* session = bt_find_session(sessions, engine.session_id); session && session->streams) {
    for (const TorrentPeerConn& c : it->peers) bt_close_stream(*this, *session, c.stream_id, now);
    for (const TorrentTrackerConn& tr : it->trackers) {
      if (tr.stream_id != 0) remove_stream_by_id(*session->streams, tr.stream_id);
    }
  }
  engine.torrents.erase(it);
  return true;
}

// The session's LeaseSet2 publication. The engine's other timers are its parts': trackers,
// DHT, peer connections, block requests and extensions.
std::uint64_t next_torrent_engine_wake_ms(const Router& r, const Now& now) {
  const TorrentEngine* engine = bt_stepped_engine(r);
  if (engine == nullptr) return kNoWakeDeadline;
  return std::max(publish_due_ms(r, *engine, now), now.mono_ms);
}

bool Router::step_torrent_engine(const Now& now) {
  if (!torrent_engine) return false;
  TorrentEngine& engine = *torrent_engine;
  SamSession* session = bt_find_session(sessions, engine.session_id);
  if (!session || !session->streams) return false;
  bool did_work = false;

  // The session's LeaseSet2 is published again every two minutes, and at once when the
  // first inbound tunnels appear after a publication that had none.
  const auto inbound_now = static_cast<std::int32_t>(tunnels.inbound.size());
  if (now.mono_ms >= publish_due_ms(*this, engine, now)) {
    engine.last_publish_ms = now.mono_ms;
    engine.publish_inbound_tunnels = inbound_now;
    engine.publish_gen += 1;
    publish_session_leaseset2(*session, now);
    did_work = true;
  }

  // Trackers and the DHT join the pass here, before the peers, once they exist.
  if (step_trackers(engine, *session, *session->streams, now)) did_work = true;
  if (poll_dht_datagrams(engine, *session, *session->streams, now)) did_work = true;
  if (step_dht(engine, *session, now)) did_work = true;
  if (bt_step_inbound(*this, engine, *session, now)) did_work = true;
  for (ActiveTorrent& torrent : engine.torrents) {
    if (torrent.paused) continue;
    if (bt_step_torrent_peers(*this, engine, *session, torrent, now)) did_work = true;
    if (bt_send_pex(*this, engine, *session, torrent, now)) did_work = true;
  }
  return did_work;
}

}  // namespace router
