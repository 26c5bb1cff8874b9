// HTTP trackers over streams of the torrent session: each tracker of a running torrent is
// a small state machine stepped once per engine pass (look up the tracker's LeaseSet2,
// open a stream, write the announce, read until the tracker closes, learn the peers, wait
// for the next announce). The "stopped" announces of paused and removed torrents go their
// own way, bounded and without waiting for an answer. Times are monotonic ms.
#include <algorithm>
#include <string>

#include "bittorrent/tracker_reply.h"
#include "encoding/text.h"
#include "router/destinations.h"
#include "router/peer_log.h"
#include "router/poll_set.h"
#include "router/router.h"
#include "services/streams.h"
#include "torrent/engine.h"
#include "torrent/peer_steps.h"
#include "torrent/tracker_request.h"
#include "torrent/tracker_steps.h"
#include "torrent/wake_deadlines.h"

namespace router {

namespace {

constexpr std::uint64_t kTrackerLookupWaitMs = 25'000;
constexpr std::uint64_t kTrackerReplyWaitMs = 25'000;
constexpr std::uint64_t kRetryUnresolvedMs = 30'000;
constexpr std::uint64_t kRetryConnectMs = 20'000;
constexpr std::uint64_t kRetryBadReplyMs = 60'000;
constexpr std::uint64_t kMinIntervalS = 15;

// The first instant at which each wait of a tracker has passed: its step acts from then on,
// and the loop's wait ends then (next_torrent_trackers_wake_ms).
std::uint64_t lookup_due_ms(const TorrentTrackerConn& t) { return t.state_since_ms + kTrackerLookupWaitMs + 1; }
std::uint64_t reply_due_ms(const TorrentTrackerConn& t) { return t.state_since_ms + kTrackerReplyWaitMs + 1; }

void go_idle(TorrentTrackerConn& t, std::uint64_t next_announce_ms) {
  t.state = static_cast<std::int32_t>(TrackerConnState::Idle);
  t.next_announce_ms = next_announce_ms;
}

std::uint64_t bytes_left(const ActiveTorrent& torrent) {
  if (!torrent.meta || torrent.meta->total_length <= 0) return 0;
  const auto total = static_cast<std::uint64_t>(torrent.meta->total_length);
  return total > torrent.downloaded ? total - torrent.downloaded : 0;
}

using bittorrent::AnnounceEvent;

// The download completed while the tracker knew the torrent incomplete, and it has not
// taken "completed" yet.
bool completed_untold(const ActiveTorrent& torrent, const TorrentTrackerConn& t) {
  return t.started && torrent.completed && t.knew_incomplete && !t.completed_told;
}

// The event of the next announce to the tracker.
AnnounceEvent next_event(const ActiveTorrent& torrent, const TorrentTrackerConn& t) {
  if (!t.started) return AnnounceEvent::Started;
  if (completed_untold(torrent, t)) return AnnounceEvent::Completed;
  return AnnounceEvent::None;
}

// A completed download is announced at once, not at the next interval; only the first
// try is early (completed_tried), so a tracker that cannot be reached or does not answer
// is not asked again before its time.
bool completed_due_now(const ActiveTorrent& torrent, const TorrentTrackerConn& t) {
  return completed_untold(torrent, t) && !t.completed_tried;
}

// The announce request for the torrent to the tracker, with the torrent's counts now.
std::string announce_request(const TorrentEngine& engine, const SamSession& session, const ActiveTorrent& torrent,
                             const TorrentTrackerConn& t, AnnounceEvent event) {
  bittorrent::AnnounceParams params;
  params.info_hash = torrent.info_hash;
  params.peer_id = engine.peer_id;
  params.uploaded = torrent.uploaded;
  params.downloaded = torrent.downloaded;
  params.left = bytes_left(torrent);
  params.event = event;
  params.public_b64 = session.public_b64;
  return bittorrent::build_http_announce_request(t.host, t.port, t.path, params);
}

// The tracker answered the request on its stream: the event it carried is told.
void note_answered(TorrentTrackerConn& t) {
  if (t.sent_event == AnnounceEvent::Started) t.started = true;
  if (t.sent_event == AnnounceEvent::Completed) t.completed_told = true;
  if (t.sent_incomplete) t.knew_incomplete = true;
}

// Pushes the stream's queued packets out through the tracker's first lease, when its
// LeaseSet2 gives a key; otherwise the timed stream pass sends them once it can.
void flush_tracker_stream(Router& r, SamSession& session, streaming::StreamConnection& stream, const common::Hash& dest,
                          bool force, const Now& now) {
  const netdb::LeaseSet2Ptr ls = r.netdb.get_lease_set2(dest, now.wall_s());
  if (!ls || ls->leases.empty()) return;
  const std::optional<std::array<std::uint8_t, 32>> key = extract_x25519_key(*ls);
  if (!key) return;
  r.flush_stream_outbound(session, stream, dest, *key, ls->leases.front().gateway, ls->leases.front().tunnel_id, force,
                          now);
}

struct ReplyDigest {
  std::uint64_t delay_ms = 0;  // until the next announce
  bool answered = false;       // a reply of the tracker's own, not an error page or a failure
};

// What the finished exchange brought: the torrent's status, its peers and the delay until
// the next announce.
ReplyDigest digest_reply(Router& r, TorrentEngine& engine, const SamSession& session, ActiveTorrent& torrent,
                         TorrentTrackerConn& t) {
  const std::string& host = t.host;
  if (t.response.empty()) {
    torrent.tracker_status = "empty/timeout (" + host + ")";
    if (r.debug) {
      print_debug_line(
          true, "[debug] bt tracker " + host + " empty/timeout (sent_req=" + (t.sent_req ? "true" : "false") + ")");
    }
    return {kRetryBadReplyMs, false};
  }
  Bytes reply = std::move(t.response);
  t.response.clear();
  // An error page is not a reply: only a 200 answer is read for peers.
  if (const std::optional<std::uint32_t> status = bittorrent::http_reply_status(reply); status && *status != 200) {
    torrent.tracker_status = "err: HTTP " + std::to_string(*status);
    if (r.debug) print_debug_line(true, "[debug] bt tracker " + host + " HTTP " + std::to_string(*status));
    return {kRetryBadReplyMs, false};
  }
  auto parsed = bittorrent::parse_http_tracker_response(reply);
  if (!parsed) {
    const std::string text = bt_err_msg(parsed.error());
    const std::string size = std::to_string(reply.size());
    torrent.tracker_status = "parse err (" + size + "B): " + text;
    if (r.debug) print_debug_line(true, "[debug] bt tracker " + host + " parse error (" + size + "B): " + text);
    return {kRetryBadReplyMs, false};
  }
  for (const common::Hash& peer : parsed->peers) {
    if (bt_add_known_peer(torrent, peer, session.dest_hash)) engine.dht.peers_discovered += 1;
  }
  const std::string peers = std::to_string(parsed->peers.size());
  const std::string seeds = std::to_string(parsed->complete);
  const std::string leechers = std::to_string(parsed->incomplete);
  const std::string interval = std::to_string(parsed->interval);
  const bool failed = parsed->failure_reason && !parsed->failure_reason->empty();
  if (failed) {
    torrent.tracker_status = "err: " + *parsed->failure_reason;
    if (r.debug) print_debug_line(true, "[debug] bt tracker " + host + " failure: " + *parsed->failure_reason);
  } else {
    torrent.tracker_status = "ok: " + peers + "p (" + seeds + "s/" + leechers + "l) int=" + interval + "s";
    if (r.debug) {
      print_debug_line(true, "[debug] bt tracker " + host + " -> " + peers + " peers (" + seeds + "s/" + leechers +
                                 "l), interval=" + interval + "s");
    }
  }
  if (parsed->interval < static_cast<std::int32_t>(kMinIntervalS)) return {kRetryBadReplyMs, !failed};
  return {static_cast<std::uint64_t>(parsed->interval) * 1000, !failed};
}

// One visit of one tracker; true when it did work.
bool step_tracker(Router& r, TorrentEngine& engine, SamSession& session, streaming::StreamManager& streams,
                  ActiveTorrent& torrent, TorrentTrackerConn& t, const Now& now) {
  const std::uint64_t ms = now.mono_ms;
  switch (static_cast<TrackerConnState>(t.state)) {
    case TrackerConnState::Idle: {
      if (ms < t.next_announce_ms && !completed_due_now(torrent, t)) return false;
      if (completed_untold(torrent, t)) t.completed_tried = true;
      const std::optional<common::Hash> dest = r.resolve_i2p_host_hash(t.host, now);
      if (!dest) {
        t.next_announce_ms = ms + kRetryUnresolvedMs;
        return true;
      }
      t.dest = *dest;
      t.state = static_cast<std::int32_t>(TrackerConnState::LookingUp);
      t.state_since_ms = ms;
      t.response.clear();
      t.sent_req = false;
      r.start_proxy_netdb_lookup(*dest, now);
      return true;
    }
    case TrackerConnState::LookingUp: {
      if (!t.dest) {
        go_idle(t, ms + kRetryUnresolvedMs);
        return true;
      }
      const netdb::LeaseSet2Ptr ls = r.netdb.get_lease_set2(*t.dest, now.wall_s());
      if (ls && !ls->leases.empty()) {
        const auto to_port = static_cast<std::uint16_t>(t.port == 80 ? 0 : t.port);
        auto opened = streams.connect(*t.dest, ms, 0, to_port);
        if (!opened) {
          go_idle(t, ms + kRetryConnectMs);
          return true;
        }
        t.stream_id = (*opened)->local_stream_id;
        t.state = static_cast<std::int32_t>(TrackerConnState::Requesting);
        t.state_since_ms = ms;
        flush_tracker_stream(r, session, **opened, *t.dest, true, now);
        return true;
      }
      if (ms >= lookup_due_ms(t)) {
        torrent.tracker_status = "ls2 timeout: " + t.host;
        if (r.debug) print_debug_line(true, "[debug] bt tracker ls2 timeout " + t.host);
        go_idle(t, ms + kRetryUnresolvedMs);
        return true;
      }
      return false;
    }
    case TrackerConnState::Requesting: {
      if (!t.dest) {
        t.state = static_cast<std::int32_t>(TrackerConnState::Idle);
        return true;
      }
      const streaming::ConnectionPtr s = find_stream_by_id(streams.connections, t.stream_id);
      if (!s) {
        t.stream_id = 0;
        go_idle(t, ms + kRetryConnectMs);
        return true;
      }
      bool did_work = false;
      if (!t.sent_req && s->state == streaming::StreamState::Established) {
        const std::uint64_t left = bytes_left(torrent);
        t.sent_event = next_event(torrent, t);
        t.sent_incomplete = !torrent.completed;
        const std::string request = announce_request(engine, session, torrent, t, t.sent_event);
        (void)s->write(::as_bytes(request), ms);
        t.sent_req = true;
        t.announced = true;
        if (torrent.tracker_status.empty()) torrent.tracker_status = "announcing " + t.host;
        if (r.debug) {
          print_debug_line(true, "[debug] bt tracker GET http://" + t.host + ":" + std::to_string(t.port) + t.path +
                                     " (ih=" + torrent.info_hash_hex.substr(0, 12) + ", left=" + std::to_string(left) +
                                     ")");
        }
        flush_tracker_stream(r, session, *s, *t.dest, false, now);
        did_work = true;
      }
      const Bytes got = s->read_available();
      if (!got.empty()) {
        const std::size_t room = kTrackerMaxResponse - std::min(kTrackerMaxResponse, t.response.size());
        t.response.insert(t.response.end(), got.begin(),
                          got.begin() + static_cast<std::ptrdiff_t>(std::min(room, got.size())));
        did_work = true;
      }
      const bool ended =
          (s->peer_closed && s->recv_buf.empty()) || s->state > streaming::StreamState::Closed || ms >= reply_due_ms(t);
      if (!ended) return did_work;
      // The CLOSE goes out before the stream leaves the manager.
      (void)s->close(ms);
      flush_tracker_stream(r, session, *s, *t.dest, false, now);
      remove_stream_by_id(streams, t.stream_id);
      t.stream_id = 0;
      const ReplyDigest digest = digest_reply(r, engine, session, torrent, t);
      if (digest.answered) note_answered(t);
      go_idle(t, ms + digest.delay_ms);
      return true;
    }
  }
  t.state = static_cast<std::int32_t>(TrackerConnState::Idle);
  return true;
}

// One visit of one "stopped" announce; true when it is finished (sent and answered, or
// given up), and then its stream is closed and gone.
bool step_stopped_announce(Router& r, SamSession& session, streaming::StreamManager& streams, StoppedAnnounce& a,
                           const Now& now, bool& did_work) {
  const std::uint64_t ms = now.mono_ms;
  if (a.stream_id == 0) {
    if (ms >= a.deadline_ms) return true;
    const netdb::LeaseSet2Ptr ls = r.netdb.get_lease_set2(a.dest, now.wall_s());
    if (!ls || ls->leases.empty()) return false;
    auto opened = streams.connect(a.dest, ms, 0, static_cast<std::uint16_t>(a.port == 80 ? 0 : a.port));
    did_work = true;
    if (!opened) return true;
    a.stream_id = (*opened)->local_stream_id;
    flush_tracker_stream(r, session, **opened, a.dest, true, now);
    return false;
  }
  const streaming::ConnectionPtr s = find_stream_by_id(streams.connections, a.stream_id);
  if (!s) return true;
  if (!a.sent && s->state == streaming::StreamState::Established) {
    (void)s->write(::as_bytes(a.request), ms);
    a.sent = true;
    flush_tracker_stream(r, session, *s, a.dest, false, now);
    did_work = true;
  }
  if (!s->read_available().empty()) did_work = true;  // the answer changes nothing
  return (s->peer_closed && s->recv_buf.empty()) || s->state > streaming::StreamState::Closed || ms >= a.deadline_ms;
}

}  // namespace

void bt_announce_stopped(Router& r, TorrentEngine& engine, ActiveTorrent& torrent, const Now& now) {
  SamSession* session = bt_find_session(r.sessions, engine.session_id);
  for (TorrentTrackerConn& t : torrent.trackers) {
    // An exchange under way ends here; its answer would be for a torrent that stopped.
    if (session != nullptr && t.stream_id != 0) bt_close_stream(r, *session, t.stream_id, now);
    t.stream_id = 0;
    t.response.clear();
    t.sent_req = false;
    const bool tell = t.announced && t.dest && session != nullptr;
    t.announced = false;
    t.started = false;  // a resumed torrent starts again
    t.completed_tried = false;
    t.state = static_cast<std::int32_t>(TrackerConnState::Idle);  // its schedule stands
    if (!tell) continue;
    StoppedAnnounce a;
    a.dest = *t.dest;
    a.port = t.port;
    a.request = announce_request(engine, *session, torrent, t, AnnounceEvent::Stopped);
    a.deadline_ms = now.mono_ms + kStoppedAnnounceWaitMs;
    if (engine.stopped_announces.size() >= kMaxStoppedAnnounces) {
      if (session->streams) bt_close_stream(r, *session, engine.stopped_announces.front().stream_id, now);
      engine.stopped_announces.erase(engine.stopped_announces.begin());
    }
    engine.stopped_announces.push_back(std::move(a));
    r.start_proxy_netdb_lookup(*t.dest, now);
  }
}

// The next announce of idle trackers and the lookup and reply limits of busy ones, for every
// running torrent; a tracker whose LeaseSet2 is known is due at once.
std::uint64_t next_torrent_trackers_wake_ms(const Router& r, const Now& now) {
  if (bt_stepped_engine(r) == nullptr) return kNoWakeDeadline;
  std::uint64_t wake = kNoWakeDeadline;
  const auto due = [&](std::uint64_t at) { wake = std::min(wake, std::max(at, now.mono_ms)); };
  for (const ActiveTorrent& torrent : r.torrent_engine->torrents) {
    if (torrent.paused) continue;
    for (const TorrentTrackerConn& t : torrent.trackers) {
      switch (static_cast<TrackerConnState>(t.state)) {
        case TrackerConnState::Idle: due(completed_due_now(torrent, t) ? now.mono_ms : t.next_announce_ms); break;
        case TrackerConnState::LookingUp:
          if (!t.dest) {
            due(now.mono_ms);
          } else if (const netdb::LeaseSet2Ptr ls = r.netdb.get_lease_set2(*t.dest, now.wall_s());
                     ls && !ls->leases.empty()) {
            due(now.mono_ms);
          } else {
            due(lookup_due_ms(t));
          }
          break;
        case TrackerConnState::Requesting: due(t.dest ? reply_due_ms(t) : now.mono_ms); break;
        default:
          due(now.mono_ms);  // an unknown state is reset at once
          break;
      }
    }
  }
  for (const StoppedAnnounce& a : r.torrent_engine->stopped_announces) {
    const netdb::LeaseSet2Ptr ls = a.stream_id == 0 ? r.netdb.get_lease_set2(a.dest, now.wall_s()) : nullptr;
    due(ls && !ls->leases.empty() ? now.mono_ms : a.deadline_ms);
  }
  return wake;
}

bool Router::step_trackers(TorrentEngine& engine, SamSession& session, streaming::StreamManager& streams,
                           const Now& now) {
  bool did_work = false;
  for (ActiveTorrent& torrent : engine.torrents) {
    if (torrent.paused) continue;
    for (TorrentTrackerConn& t : torrent.trackers) {
      if (step_tracker(*this, engine, session, streams, torrent, t, now)) did_work = true;
    }
  }
  std::erase_if(engine.stopped_announces, [&](StoppedAnnounce& a) {
    if (!step_stopped_announce(*this, session, streams, a, now, did_work)) return false;
    bt_close_stream(*this, session, a.stream_id, now);
    did_work = true;
    return true;
  });
  return did_work;
}

}  // namespace router
