// HTTP trackers: the URL rule, the percent-encoding (checked against python's urllib),
// the announce request, the reply status; the tracker steps with time passed in; and
// announces over streams of the test network to a tracker whose logic is a python3
// program (tests/torrent/tracker_model.py) behind a stream acceptor of the test.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "encoding/text.h"
#include "tests/torrent/torrent_net.h"
#include "router/poll_set.h"
#include "torrent/api_endpoints.h"
#include "torrent/engine.h"
#include "torrent/tracker_request.h"
#include "torrent/wake_deadlines.h"

namespace torrent_test {
namespace {

using bittorrent::HttpTrackerUrl;
using router::TrackerConnState;

// --- URLs, encoding, request, status ---------------------------------------------------

TEST(TrackerUrl, AcceptsHttpOnI2pHostsOnly) {
  struct Case {
    std::string url;
    std::optional<HttpTrackerUrl> want;
  };
  const std::vector<Case> cases = {
      {"HTTP://Tracker.I2P/announce", HttpTrackerUrl{"tracker.i2p", 80, "/announce"}},
      {"http://t.i2p:444?x=1", HttpTrackerUrl{"t.i2p", 444, "/?x=1"}},
      {"  http://t.i2p\t\r\n", HttpTrackerUrl{"t.i2p", 80, "/"}},
      {"http://t.i2p:0080/a?b=c/d", HttpTrackerUrl{"t.i2p", 80, "/a?b=c/d"}},
      {"http://t.i2p:65535/", HttpTrackerUrl{"t.i2p", 65535, "/"}},
      {"http://t.i2p:0/a", std::nullopt},
      {"http://t.i2p:/a", std::nullopt},
      {"http://t.i2p:65536/a", std::nullopt},
      {"http://t.i2p:+80/a", std::nullopt},
      {"http://.i2p/a", std::nullopt},
      {"http://t.example/a", std::nullopt},
      {"https://t.i2p/a", std::nullopt},
      {"udp://t.i2p/a", std::nullopt},
      {"http:/t.i2p/a", std::nullopt},
      {"http://t.i2p/a\r\nX-Evil: 1", std::nullopt},
      {"http://t.i2p/a b", std::nullopt},
      {"http://t.i2p/a\x7f", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(bittorrent::parse_http_tracker_url(c.url), c.want) << c.url;
}

TEST(TrackerUrl, TorrentKeepsOneCopyOfEachUsableUrl) {
  router::ActiveTorrent t;
  router::bt_add_tracker_url(t, "http://t.i2p:444?x=1");
  router::bt_add_tracker_url(t, "http://t.i2p:444?x=1");
  router::bt_add_tracker_url(t, "udp://t.i2p/a");
  router::bt_add_tracker_url(t, " HTTP://Tracker.I2P/announce");
  ASSERT_EQ(t.trackers.size(), 2u);
  EXPECT_EQ(t.trackers[0].path, "/?x=1");
  EXPECT_EQ(t.trackers[0].port, 444u);
  EXPECT_EQ(t.trackers[1].url, " HTTP://Tracker.I2P/announce");
  EXPECT_EQ(t.trackers[1].host, "tracker.i2p");
  EXPECT_EQ(t.trackers[1].state, static_cast<std::int32_t>(TrackerConnState::Idle));
  EXPECT_EQ(t.trackers[1].next_announce_ms, 0u);
}

TEST(TrackerRequest, PercentEncodingMatchesPython) {
  EXPECT_EQ(bittorrent::url_encode_bytes(bt_test::Unhex("00417eff")), "%00A~%FF");
  Bytes all(256);
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::uint8_t>(i);
  TempDir dir;
  const auto want =
      bt_test::Run(bt_test::Python() +
                   " -c \"import urllib.parse,sys; sys.stdout.write(urllib.parse.quote(bytes(range(256)), "
                   "safe='-._~'))\"");
  ASSERT_TRUE(want);
  EXPECT_EQ(bittorrent::url_encode_bytes(all), *want);
}

TEST(TrackerRequest, RequestLineQueryAndHead) {
  const Bytes ih = bt_test::Unhex("00417eff000000000000000000000000000000aa");
  const Bytes pid = to_bytes("-OI0100-abcdefghijkl");
  bittorrent::AnnounceParams p;
  p.info_hash = ih;
  p.peer_id = pid;
  p.uploaded = 5;
  p.downloaded = 7;
  p.left = 11;
  p.event = bittorrent::AnnounceEvent::Started;
  p.public_b64 = "AAAA";
  const std::string counts =
      "info_hash=%00A~%FF%00%00%00%00%00%00%00%00%00%00%00%00%00%00%00%AA&peer_id=-OI0100-abcdefghijkl"
      "&port=6881&uploaded=5&downloaded=7&left=11&compact=1&numwant=50";
  const std::string query = counts + "&event=started&ip=AAAA.i2p";
  const std::string tail = "User-Agent: ondrel-i2p/0.1\r\nAccept: */*\r\nConnection: close\r\n\r\n";
  EXPECT_EQ(bittorrent::build_http_announce_request("t.i2p", 80, "/announce", p),
            "GET /announce?" + query + " HTTP/1.1\r\nHost: t.i2p\r\n" + tail);
  // Each event once as trackers know them; none on the announces between.
  const std::vector<std::pair<bittorrent::AnnounceEvent, std::string>> events = {
      {bittorrent::AnnounceEvent::None, ""},
      {bittorrent::AnnounceEvent::Started, "&event=started"},
      {bittorrent::AnnounceEvent::Completed, "&event=completed"},
      {bittorrent::AnnounceEvent::Stopped, "&event=stopped"},
  };
  p.public_b64 = "";
  for (const auto& [event, param] : events) {
    p.event = event;
    EXPECT_EQ(bittorrent::build_http_announce_request("t.i2p", 444, "/announce?key=1", p),
              "GET /announce?key=1&" + counts + param + " HTTP/1.1\r\nHost: t.i2p:444\r\n" + tail)
        << param;
  }
}

TEST(TrackerRequest, ReplyStatusCode) {
  struct Case {
    std::string reply;
    std::optional<std::uint32_t> want;
  };
  const std::vector<Case> cases = {
      {"HTTP/1.1 200 OK\r\n\r\nd5:peers0:e", 200},
      {"HTTP/1.0 404 Not Found\r\n", 404},
      {"HTTP/1.1 503\r\n", 503},
      {"HTTP/1.1 204 No Content\n\n", 204},
      {"HTTP/1.1 200 OK", std::nullopt},  // no whole line yet
      {"d8:intervali1800ee\n", std::nullopt},
      {"HTTP/1.1 20 OK\r\n", std::nullopt},
      {"HTTP/1.1 2000 OK\r\n", std::nullopt},
      {"HTTP/1.1 2x0 OK\r\n", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(bittorrent::http_reply_status(to_bytes(c.reply)), c.want) << c.reply;
}

// --- Steps with time passed in ----------------------------------------------------------

ntcp2_net::Now at(const ntcp2_net::Now& base, std::uint64_t later_ms) {
  ntcp2_net::Now n = base;
  n.mono_ms += later_ms;
  n.wall_ms += later_ms;
  return n;
}

TEST(TrackerSteps, UnresolvedHostAndLeaseSetTimeoutRetryAfter30s) {
  auto t = TorrentNet::create(1);
  ASSERT_TRUE(t);
  router::Router& r = t->net[0];
  const ntcp2_net::Now now = ntcp2_net::read_now();
  auto hex = r.add_torrent_magnet(
      "magnet:?xt=urn:btih:" + std::string(40, 'a') + "&tr=http://nowhere.i2p/a&tr=http://known.i2p/a", "", now);
  ASSERT_TRUE(hex);
  // known.i2p names a destination whose LeaseSet2 nobody has.
  const common::Hash nobody = common::Hash::from_bytes(Bytes(32, 0x42)).value();
  r.register_alias("known.i2p", nobody.to_b32_address());
  router::ActiveTorrent& torrent = t->engine(0).torrents.front();
  router::SamSession& s = *t->session(0);

  EXPECT_TRUE(r.step_trackers(t->engine(0), s, *s.streams, now));
  const router::TorrentTrackerConn& unresolved = torrent.trackers[0];
  const router::TorrentTrackerConn& known = torrent.trackers[1];
  EXPECT_EQ(unresolved.state, static_cast<std::int32_t>(TrackerConnState::Idle));
  EXPECT_EQ(unresolved.next_announce_ms, now.mono_ms + 30'000);
  EXPECT_EQ(known.state, static_cast<std::int32_t>(TrackerConnState::LookingUp));
  ASSERT_TRUE(known.dest);
  EXPECT_EQ(*known.dest, nobody);

  // Nothing happens before the deadlines.
  EXPECT_FALSE(r.step_trackers(t->engine(0), s, *s.streams, at(now, 25'000)));
  EXPECT_EQ(known.state, static_cast<std::int32_t>(TrackerConnState::LookingUp));
  EXPECT_TRUE(torrent.tracker_status.empty());
  const ntcp2_net::Now late = at(now, 25'001);
  EXPECT_TRUE(r.step_trackers(t->engine(0), s, *s.streams, late));
  EXPECT_EQ(known.state, static_cast<std::int32_t>(TrackerConnState::Idle));
  EXPECT_EQ(known.next_announce_ms, late.mono_ms + 30'000);
  EXPECT_EQ(torrent.tracker_status, "ls2 timeout: known.i2p");

  // A paused torrent's trackers are not stepped.
  ASSERT_TRUE(r.pause_torrent(*hex, late));
  EXPECT_FALSE(r.step_trackers(t->engine(0), s, *s.streams, at(now, 100'000)));
  EXPECT_EQ(unresolved.next_announce_ms, now.mono_ms + 30'000);
}

// --- Announces to a python tracker over the test network -------------------------------

// A tracker destination on one router: the test takes its inbound streams, hands each
// request to the python tracker and writes its answer back, then closes the stream.
struct PythonTracker {
  TempDir dir;
  std::string mode = "ok";
  bool close_after_answer = true;
  std::size_t requests = 0;
  std::vector<std::string> request_lines;
  struct Conn {
    streaming::ConnectionPtr stream;
    Bytes got;
    Bytes answer;
    std::size_t sent = 0;
    bool answered = false;
    bool closed = false;
  };
  std::vector<Conn> conns;

  void step(router::SamSession& s, std::uint64_t now_ms) {
    while (!s.streams->accept_queue.empty()) {
      Conn c;
      c.stream = s.streams->accept_queue.front();
      conns.push_back(std::move(c));
      s.streams->accept_queue.pop_front();
    }
    for (Conn& c : conns) {
      if (c.closed) continue;
      const Bytes more = c.stream->read_available();
      c.got.insert(c.got.end(), more.begin(), more.end());
      const std::string text(c.got.begin(), c.got.end());
      if (!c.answered && text.find("\r\n\r\n") != std::string::npos) {
        c.answered = true;
        ++requests;
        request_lines.push_back(text.substr(0, text.find("\r\n")));
        bt_test::WriteFile(dir.path() / "request", c.got);
        const auto out =
            bt_test::Run(bt_test::Python() + " " + ONDREL_SOURCE_DIR "/tests/torrent/tracker_model.py " +
                         (dir.path() / "request").string() + " " + mode + " " + (dir.path() / "swarm.json").string());
        EXPECT_TRUE(out);
        c.answer = to_bytes(out.value_or(""));
      }
      if (c.answered && c.stream->state == streaming::StreamState::Established && c.sent < c.answer.size()) {
        auto n = c.stream->write(ByteView(c.answer).subspan(c.sent), now_ms);
        if (n) c.sent += *n;
      }
      if (c.answered && c.sent == c.answer.size() && close_after_answer) {
        (void)c.stream->close(now_ms);
        c.closed = true;
      }
    }
  }
};

// Router 0 announces; the tracker session lives on router 1; router 0 knows it as
// "tracker.i2p" and holds its LeaseSet2.
struct TrackerNet {
  std::unique_ptr<TorrentNet> t;
  router::SamSession* tracker = nullptr;
  PythonTracker py;
  ntcp2_net::Now last_now{};  // the time of router 0's latest pass

  explicit TrackerNet(std::size_t routers) {
    t = TorrentNet::create(routers);
    if (!t) return;
    t->net[1].sessions.push_back(stream_session(t->net[1], "tracker"));
    tracker = &t->net[1].sessions.back();
    t->share_lease_set(1, *tracker);
    for (std::size_t i = 0; i < routers; ++i) t->net[i].register_alias("tracker.i2p", tracker->b32_address);
  }

  bool run(const std::function<bool()>& condition, int limit_ms) {
    return t->run(condition, limit_ms, [&](std::size_t i, const ntcp2_net::Now& now) {
      if (i == 1) py.step(*tracker, now.mono_ms);
      if (i == 0) last_now = now;
    });
  }
};

router::TorrentTrackerConn& first_tracker(router::TorrentEngine& e) { return e.torrents.front().trackers.front(); }

// The model tracker's swarm of one info hash: the events of one announcer in order ("" for
// an announce without one), whether the tracker counts it now, and the downloads counted.
struct SwarmView {
  std::vector<std::string> events;
  bool counted = false;
  std::int64_t downloads = 0;
};

SwarmView swarm_view(const PythonTracker& py, const std::string& info_hash_hex, const router::SamSession& announcer) {
  const std::string announcer_hex = encoding::hex_encode(announcer.dest_hash.bytes);
  const auto out = bt_test::Run(bt_test::Python() +
                                " -c \"import json,sys; e=json.load(open(sys.argv[1])).get(sys.argv[2], {}); "
                                "print(e.get('downloads', 0)); print(int(sys.argv[3] in e.get('peers', []))); "
                                "[print('event:' + ev) for a, ev in e.get('events', []) if a == sys.argv[3]]\" " +
                                (py.dir.path() / "swarm.json").string() + " " + info_hash_hex + " " + announcer_hex);
  EXPECT_TRUE(out);
  SwarmView v;
  std::istringstream in(out.value_or(""));
  std::string line;
  if (std::getline(in, line)) v.downloads = std::stoll(line);
  if (std::getline(in, line)) v.counted = line == "1";
  while (std::getline(in, line)) {
    if (line.starts_with("event:")) v.events.push_back(line.substr(6));
  }
  return v;
}

// The event parameter of a request line, "" when it has none.
std::string event_of(const std::string& request_line) {
  const std::size_t at = request_line.find("&event=");
  if (at == std::string::npos) return "";
  const std::size_t from = at + 7;
  return request_line.substr(from, request_line.find_first_of("& ", from) - from);
}

TEST(TrackerNetwork, StatusAndNextAnnounceFollowTheReply) {
  struct Case {
    std::string mode;
    std::string status_prefix;
    std::uint64_t delay_ms;
  };
  const std::vector<Case> cases = {
      {"ok", "ok: 0p (1s/2l) int=1800s", 1'800'000},
      {"chunked", "ok: 0p (1s/2l) int=1800s", 1'800'000},
      {"short", "ok: 0p (1s/0l) int=10s", 60'000},
      {"nointerval", "ok: 0p (0s/0l) int=300s", 300'000},
      {"failure", "err: torrent not registered", 300'000},
      {"404", "err: HTTP 404", 60'000},
      {"503", "err: HTTP 503", 60'000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    TrackerNet n(2);
    ASSERT_TRUE(n.t);
    n.py.mode = c.mode;
    auto hex = n.t->net[0].add_torrent_magnet(
        "magnet:?xt=urn:btih:" + std::string(40, 'b') + "&tr=http://tracker.i2p/announce", "", ntcp2_net::read_now());
    ASSERT_TRUE(hex);
    router::TorrentEngine& e = n.t->engine(0);
    ASSERT_TRUE(n.run([&] { return first_tracker(e).next_announce_ms != 0; }, 60'000))
        << e.torrents.front().tracker_status;
    const router::TorrentTrackerConn& tr = first_tracker(e);
    EXPECT_EQ(n.py.requests, 1u);
    EXPECT_EQ(tr.state, static_cast<std::int32_t>(TrackerConnState::Idle));
    EXPECT_EQ(tr.stream_id, 0u);
    EXPECT_TRUE(tr.response.empty());
    EXPECT_EQ(e.torrents.front().tracker_status, c.status_prefix);
    EXPECT_EQ(tr.next_announce_ms, n.last_now.mono_ms + c.delay_ms);
    ASSERT_EQ(n.py.request_lines.size(), 1u);
    EXPECT_TRUE(n.py.request_lines[0].starts_with("GET /announce?info_hash=%BB%BB")) << n.py.request_lines[0];
    EXPECT_NE(n.py.request_lines[0].find("&left=0&compact=1&numwant=50&event=started&ip="), std::string::npos);
  }
}

TEST(TrackerNetwork, ATrackerThatNeverClosesIsGivenUpAfter25sAndWhatCameIsParsed) {
  TrackerNet n(2);
  ASSERT_TRUE(n.t);
  n.py.close_after_answer = false;
  ASSERT_TRUE(n.t->net[0].add_torrent_magnet(
      "magnet:?xt=urn:btih:" + std::string(40, 'f') + "&tr=http://tracker.i2p/announce", "", ntcp2_net::read_now()));
  router::TorrentEngine& e = n.t->engine(0);
  router::TorrentTrackerConn& tr = first_tracker(e);
  ASSERT_TRUE(n.run(
      [&] {
        return !n.py.conns.empty() && n.py.conns[0].sent > 0 && tr.response.size() == n.py.conns[0].answer.size();
      },
      30'000));
  EXPECT_EQ(tr.state, static_cast<std::int32_t>(TrackerConnState::Requesting));
  router::SamSession& s = *n.t->session(0);
  ntcp2_net::Now at_limit = n.last_now;
  at_limit.mono_ms = tr.state_since_ms + 25'000;
  n.t->net[0].step_trackers(e, s, *s.streams, at_limit);
  EXPECT_EQ(tr.state, static_cast<std::int32_t>(TrackerConnState::Requesting));
  ntcp2_net::Now late = at_limit;
  late.mono_ms += 1;
  n.t->net[0].step_trackers(e, s, *s.streams, late);
  EXPECT_EQ(tr.state, static_cast<std::int32_t>(TrackerConnState::Idle));
  EXPECT_EQ(tr.stream_id, 0u);
  EXPECT_EQ(e.torrents.front().tracker_status, "ok: 0p (1s/2l) int=1800s");
  EXPECT_EQ(tr.next_announce_ms, late.mono_ms + 1'800'000);
}

TEST(TrackerNetwork, TrackerBringsTheSeederAndTheDownloadCompletes) {
  TrackerNet n(3);
  ASSERT_TRUE(n.t);
  TorrentNet& t = *n.t;
  const Bytes content = seeded_bytes(600 * 1024, 11);
  const Bytes file = t.make_torrent(2, "tracked.bin", content, 16);  // "-a http://tracker.i2p/announce"
  const ntcp2_net::Now now = ntcp2_net::read_now();
  auto seeder_hex = t.net[2].add_torrent_bytes(file, "", now);
  ASSERT_TRUE(seeder_hex);
  ASSERT_TRUE(t.engine(2).torrents.front().completed);
  // The seeder announces first, so the tracker knows it when the leecher asks.
  ASSERT_TRUE(n.run([&] { return n.py.requests >= 1 && first_tracker(t.engine(2)).next_announce_ms != 0; }, 60'000));
  EXPECT_EQ(t.engine(2).torrents.front().tracker_status, "ok: 0p (1s/2l) int=1800s");
  // A torrent added complete starts as a seeder: it did not complete a download here.
  EXPECT_NE(n.py.request_lines[0].find("&left=0&compact=1&numwant=50&event=started"), std::string::npos);

  auto hex = t.net[0].add_torrent_bytes(file, "", ntcp2_net::read_now());
  ASSERT_TRUE(hex);
  EXPECT_EQ(*hex, *seeder_hex);
  router::ActiveTorrent& leech = t.engine(0).torrents.front();
  EXPECT_FALSE(leech.completed);
  ASSERT_TRUE(n.run([&] { return leech.completed; }, 120'000)) << leech.tracker_status;
  EXPECT_EQ(leech.tracker_status, "ok: 1p (1s/2l) int=1800s");
  ASSERT_FALSE(leech.known_peers.empty());
  EXPECT_EQ(leech.known_peers.front(), t.dest(2));
  EXPECT_GE(t.engine(0).dht.peers_discovered, 1u);
  EXPECT_EQ(bt_test::ReadFile(t.folders[0] / "tracked.bin"), content);
  EXPECT_NE(n.py.request_lines[1].find("&left=" + std::to_string(content.size()) + "&"), std::string::npos);
  EXPECT_EQ(event_of(n.py.request_lines[1]), "started");

  // The completed download is announced at once, not at the next interval, and once.
  router::TorrentTrackerConn& tr = first_tracker(t.engine(0));
  ASSERT_TRUE(n.run([&] { return n.py.requests >= 3 && tr.completed_told; }, 60'000)) << leech.tracker_status;
  EXPECT_NE(n.py.request_lines[2].find("&left=0&compact=1&numwant=50&event=completed"), std::string::npos)
      << n.py.request_lines[2];
  ntcp2_net::Now interval = n.last_now;
  interval.mono_ms = tr.next_announce_ms;
  router::SamSession& s0 = *t.session(0);
  t.net[0].step_trackers(t.engine(0), s0, *s0.streams, interval);
  ASSERT_TRUE(
      n.run([&] { return n.py.requests >= 4 && tr.state == 0 && tr.next_announce_ms > interval.mono_ms; }, 60'000));
  EXPECT_EQ(event_of(n.py.request_lines[3]), "");
  const SwarmView leecher = swarm_view(n.py, *hex, *t.session(0));
  EXPECT_EQ(leecher.events, (std::vector<std::string>{"started", "completed", ""}));
  EXPECT_TRUE(leecher.counted);
  EXPECT_EQ(leecher.downloads, 1);
  EXPECT_EQ(swarm_view(n.py, *hex, *t.session(2)).events, std::vector<std::string>{"started"});
}

// One torrent's life as its tracker sees it, through the API's pause, resume and remove:
// "started" first, nothing on the interval announce, "stopped" on pause, "started" again on
// resume, "stopped" on remove, which takes the torrent away at once while the announce
// still goes out. The tracker then no longer counts us.
TEST(TrackerNetwork, EachEventReachesTheTrackerOnce) {
  TrackerNet n(2);
  ASSERT_TRUE(n.t);
  router::Router& r = n.t->net[0];
  router::TorrentEngine& e = n.t->engine(0);
  const std::string ih(40, 'c');
  ASSERT_TRUE(
      r.add_torrent_magnet("magnet:?xt=urn:btih:" + ih + "&tr=http://tracker.i2p/announce", "", ntcp2_net::read_now()));
  const std::string post = "{\"info_hash\":\"" + ih + "\"}";
  const router::ApiPost api{"application/json", as_bytes(post), post};
  auto idle_after = [&](std::size_t requests) {
    return [&, requests] {
      return n.py.requests >= requests && !e.torrents.empty() && first_tracker(e).state == 0 &&
             first_tracker(e).next_announce_ms > n.last_now.mono_ms;
    };
  };

  ASSERT_TRUE(n.run(idle_after(1), 60'000)) << e.torrents.front().tracker_status;
  EXPECT_EQ(event_of(n.py.request_lines[0]), "started");

  router::SamSession& s = *n.t->session(0);
  ntcp2_net::Now interval = n.last_now;
  interval.mono_ms = first_tracker(e).next_announce_ms;
  ntcp2_net::Now before = interval;
  before.mono_ms -= 1;
  EXPECT_FALSE(r.step_trackers(e, s, *s.streams, before));
  r.step_trackers(e, s, *s.streams, interval);
  ASSERT_TRUE(n.run(idle_after(2), 60'000));
  EXPECT_EQ(event_of(n.py.request_lines[1]), "");

  EXPECT_EQ(router::api_post_pause(r, api, n.last_now).status, 200);
  EXPECT_EQ(e.stopped_announces.size(), 1u);
  ASSERT_TRUE(n.run([&] { return n.py.requests >= 3 && e.stopped_announces.empty(); }, 60'000));
  EXPECT_EQ(event_of(n.py.request_lines[2]), "stopped");
  EXPECT_FALSE(swarm_view(n.py, ih, s).counted);
  // Paused, nothing more goes out.
  EXPECT_EQ(router::api_post_pause(r, api, n.last_now).status, 200);
  EXPECT_TRUE(e.stopped_announces.empty());

  EXPECT_EQ(router::api_post_resume(r, api, n.last_now).status, 200);
  ASSERT_TRUE(n.run(idle_after(4), 60'000));
  EXPECT_EQ(event_of(n.py.request_lines[3]), "started");
  EXPECT_TRUE(swarm_view(n.py, ih, s).counted);

  EXPECT_EQ(router::api_post_remove(r, api, n.last_now).status, 200);
  EXPECT_TRUE(e.torrents.empty());
  EXPECT_EQ(e.stopped_announces.size(), 1u);
  ASSERT_TRUE(n.run([&] { return n.py.requests >= 5 && e.stopped_announces.empty(); }, 60'000));
  EXPECT_EQ(event_of(n.py.request_lines[4]), "stopped");
  EXPECT_NE(n.py.request_lines[4].find("info_hash=%CC%CC"), std::string::npos) << n.py.request_lines[4];

  const SwarmView seen = swarm_view(n.py, ih, s);
  EXPECT_EQ(seen.events, (std::vector<std::string>{"started", "", "stopped", "started", "stopped"}));
  EXPECT_FALSE(seen.counted);
  EXPECT_EQ(seen.downloads, 0);
  EXPECT_EQ(n.py.requests, 5u);
  EXPECT_TRUE(s.streams->connections.empty());
}

// The "stopped" announces wait bounded: at most 16, the oldest giving way, each until its
// deadline when the tracker's LeaseSet2 never comes; a tracker never announced to hears
// nothing. Time is passed in.
TEST(TrackerSteps, StoppedAnnouncesAreBoundedAndGiveUpAtTheirDeadline) {
  auto t = TorrentNet::create(1);
  ASSERT_TRUE(t);
  router::Router& r = t->net[0];
  const ntcp2_net::Now now = ntcp2_net::read_now();
  std::string magnet = "magnet:?xt=urn:btih:" + std::string(40, 'd');
  for (int i = 0; i < 20; ++i) magnet += "&tr=http://t" + std::to_string(i) + ".i2p/a";
  auto hex = r.add_torrent_magnet(magnet, "", now);
  ASSERT_TRUE(hex);
  router::TorrentEngine& e = t->engine(0);
  router::ActiveTorrent& torrent = e.torrents.front();
  ASSERT_EQ(torrent.trackers.size(), 20u);
  // Trackers 1 to 19 were announced to; their LeaseSet2s are nowhere.
  for (std::size_t i = 1; i < 20; ++i) {
    torrent.trackers[i].announced = true;
    torrent.trackers[i].started = true;
    torrent.trackers[i].dest = common::Hash::from_bytes(Bytes(32, static_cast<std::uint8_t>(i))).value();
  }
  ASSERT_TRUE(r.pause_torrent(*hex, now));
  ASSERT_EQ(e.stopped_announces.size(), router::kMaxStoppedAnnounces);
  for (std::size_t k = 0; k < e.stopped_announces.size(); ++k) {
    const router::StoppedAnnounce& a = e.stopped_announces[k];
    EXPECT_EQ(a.dest, *torrent.trackers[k + 4].dest) << k;  // the three oldest gave way
    EXPECT_EQ(event_of(a.request.substr(0, a.request.find("\r\n"))), "stopped");
    EXPECT_EQ(a.deadline_ms, now.mono_ms + 30'000);
  }
  for (const router::TorrentTrackerConn& tr : torrent.trackers) {
    EXPECT_FALSE(tr.started || tr.announced);
    EXPECT_EQ(tr.state, static_cast<std::int32_t>(TrackerConnState::Idle));
  }
  EXPECT_EQ(router::next_torrent_trackers_wake_ms(r, now), now.mono_ms + 30'000);

  router::SamSession& s = *t->session(0);
  EXPECT_FALSE(r.step_trackers(e, s, *s.streams, now.after(29'999)));
  EXPECT_EQ(e.stopped_announces.size(), router::kMaxStoppedAnnounces);
  EXPECT_TRUE(r.step_trackers(e, s, *s.streams, now.after(30'000)));
  EXPECT_TRUE(e.stopped_announces.empty());
  EXPECT_EQ(router::next_torrent_trackers_wake_ms(r, now), router::kNoWakeDeadline);
}

}  // namespace
}  // namespace torrent_test
