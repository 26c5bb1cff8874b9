// A router that runs out of descriptors: clients that connect and hang up are closed and
// forgotten, and the loop still waits its idle interval instead of spinning on a listener
// it cannot accept from; a peer that holds many sessions and silent connections does not
// lock out a fresh one. The router runs in a child process with a limit of 64 descriptors;
// the test sees it only through what the child reports.
#include <dirent.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "cmd/router/startup.h"
#include "encoding/reader.h"
#include "encoding/text.h"
#include "ntcp2_net/clock.h"
#include "ntcp2_net/glue.h"
#include "ntcp2_net/pending_dial.h"
#include "router/router.h"
#include "tests/support/child_process.h"

namespace router {
namespace {

using test_support::ChildProcess;
using test_support::LineChannel;

int open_descriptors() {
  int n = 0;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (const dirent* e = ::readdir(dir)) {
      if (e->d_name[0] != '.') ++n;
    }
    ::closedir(dir);
  }
  return n - 1;  // the listing's own
}

bool readable(int fd) { return fd >= 0 && ondrel_i2p_net_tcp_poll_readable(fd, 0) == 1; }

// Each idle pass waits for the router's next timer (at most 1,000 ms), so a few show it.
constexpr int kIdlePasses = 3;

// The child: a router under a 64-descriptor limit, stepped while the parent floods it, then
// until nothing is left to do, then for kIdlePasses passes whose time it reports.
int run_router_at_descriptor_limit(LineChannel& parent) {
  rlimit limit{64, 64};
  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return 10;
  const int fds_before = open_descriptors();
  StartOptions options;
  options.sam_port = 0;
  auto r = Router::start(options);
  if (!r || !cmd_router::add_loop_parts(*r)) return 11;
  parent.send(std::to_string(r->sam_listener.port) + " " + std::to_string(r->ntcp2_listener.port));

  std::uint64_t deadline = ntcp2_net::read_now().mono_ms + 30000;
  while (!parent.has_line()) {
    r->step(ntcp2_net::read_now());
    if (ntcp2_net::read_now().mono_ms > deadline) return 12;
  }
  deadline = ntcp2_net::read_now().mono_ms + 5000;
  bool quiet = false;
  while (!quiet && ntcp2_net::read_now().mono_ms < deadline) {
    r->step(ntcp2_net::read_now());
    quiet = r->sam_clients.empty() && r->pending_accepts.empty() && !readable(r->sam_listener.fd) &&
            !readable(r->ntcp2_listener.fd);
  }
  const std::uint64_t t0 = ntcp2_net::read_now().mono_ms;
  for (int i = 0; i < kIdlePasses; ++i) r->step(ntcp2_net::read_now());
  const std::uint64_t elapsed = ntcp2_net::read_now().mono_ms - t0;
  parent.send("quiet=" + std::to_string(quiet ? 1 : 0) + " clients=" + std::to_string(r->sam_clients.size()) +
              " accepts=" + std::to_string(r->pending_accepts.size()) + " idle_ms=" + std::to_string(elapsed) +
              " new_fds=" + std::to_string(open_descriptors() - fds_before));
  r->close();
  return 0;
}

// Opens n connections to the port at once, waits (at most 3 s) for them to be established,
// then closes them all.
void connect_and_close(int port, int n) {
  const std::string host = "127.0.0.1";
  std::vector<pollfd> fds;
  for (int i = 0; i < n; ++i) {
    const int fd = ondrel_i2p_net_tcp_connect_nb(reinterpret_cast<const std::uint8_t*>(host.data()),
                                                 static_cast<std::int32_t>(host.size()), port);
    if (fd >= 0) fds.push_back({fd, POLLOUT, 0});
  }
  const std::uint64_t deadline = ntcp2_net::read_now().mono_ms + 3000;
  for (pollfd& p : fds) {
    const std::uint64_t now = ntcp2_net::read_now().mono_ms;
    if (now < deadline) (void)::poll(&p, 1, static_cast<int>(deadline - now));
  }
  for (const pollfd& p : fds) ::close(p.fd);
}

std::string field(const std::string& report, const std::string& name) {
  std::istringstream in(report);
  for (std::string word; in >> word;) {
    if (word.rfind(name + "=", 0) == 0) return word.substr(name.size() + 1);
  }
  return "";
}

// The number of a field, or -1 when the report lacks it.
long number(const std::string& report, const std::string& name) {
  const std::string text = field(report, name);
  return text.empty() ? -1 : std::strtol(text.c_str(), nullptr, 10);
}

TEST(DescriptorLimit, ClientsThatHangUpAreForgottenAndTheLoopStillWaits) {
  ChildProcess child(run_router_at_descriptor_limit);
  ASSERT_TRUE(child.started());
  const auto ports = child.channel().receive(20000);
  ASSERT_TRUE(ports) << "the router did not start under the limit";
  int sam_port = 0, ntcp2_port = 0;
  std::istringstream(*ports) >> sam_port >> ntcp2_port;
  ASSERT_GT(sam_port, 0);
  ASSERT_GT(ntcp2_port, 0);

  connect_and_close(sam_port, 80);
  connect_and_close(ntcp2_port, 80);
  ASSERT_TRUE(child.channel().send("go"));

  const auto report = child.channel().receive(60000);
  ASSERT_TRUE(report) << "no report from the router";
  EXPECT_EQ(child.wait(10000), 0);
  EXPECT_EQ(field(*report, "quiet"), "1") << *report;
  EXPECT_EQ(field(*report, "clients"), "0") << *report;
  EXPECT_EQ(field(*report, "accepts"), "0") << *report;
  // Each idle pass waits for the router's next timer, and at least 10 ms while a listener it
  // cannot accept from is left out of the wait: a loop spinning on such a listener would
  // finish these passes in well under a millisecond. Half of 10 ms a pass leaves room for a
  // pass that had work (a timer) and for the clock's whole-millisecond reading.
  EXPECT_GE(number(*report, "idle_ms"), kIdlePasses * 10 / 2) << *report;
  // Only the two listeners stay open.
  EXPECT_LE(number(*report, "new_fds"), 2) << *report;
  EXPECT_GE(number(*report, "new_fds"), 0) << *report;
}

constexpr int kAttackLimit = 64;

// The child: a router under a 64-descriptor limit that hands the parent its RouterInfo, then
// steps until told to quit, answering each "status" with what its record holds.
int run_router_under_attack(LineChannel& parent) {
  rlimit limit{kAttackLimit, kAttackLimit};
  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return 10;
  StartOptions options;
  options.sam_port = 0;
  auto r = Router::start(options);
  if (!r || !cmd_router::add_loop_parts(*r)) return 11;
  auto info = r->router_info.to_bytes();
  if (!info) return 12;
  parent.send(encoding::hex_encode(*info));
  const std::uint64_t deadline = ntcp2_net::read_now().mono_ms + 60000;
  while (ntcp2_net::read_now().mono_ms < deadline) {
    r->step(ntcp2_net::read_now());
    if (!parent.has_line()) continue;
    const auto line = parent.receive(0);
    if (!line || *line == "quit") break;
    std::string peers;
    for (const PeerSession& s : r->peer_sessions) peers += (peers.empty() ? "" : ",") + s.peer.to_b32_address();
    parent.send("limit=" + std::to_string(r->descriptor_limit) + " fds=" + std::to_string(open_descriptors()) +
                " accepts=" + std::to_string(r->pending_accepts.size()) +
                " sessions=" + std::to_string(r->peer_sessions.size()) +
                " waiting=" + std::to_string(readable(r->ntcp2_listener.fd) ? 1 : 0) + " peers=" + peers);
  }
  r->close();
  return 0;
}

// Handshakes with the target from the identity, `at_once` in flight at a time, until
// `count` were tried; gives the links that finished (the caller holds them open).
std::vector<ntcp2_net::Ntcp2Conn> hold_handshakes(const common::RouterInfo& target, const Router& identity, int count,
                                                  int at_once) {
  std::vector<ntcp2_net::Ntcp2Conn> links;
  const auto peer = ntcp2_net::extract_ntcp2_peer(target);
  if (!peer) return links;
  for (int started = 0; started < count;) {
    std::vector<ntcp2_net::PendingNtcp2Dial> dials;
    for (; started < count && static_cast<int>(dials.size()) < at_once; ++started) {
      auto dial = ntcp2_net::PendingNtcp2Dial::start(*peer, target, identity.static_keypair, identity.router_info, true,
                                                     ntcp2_net::read_now());
      if (dial) dials.push_back(std::move(*dial));
    }
    const std::uint64_t deadline = ntcp2_net::read_now().mono_ms + 8000;
    while (!dials.empty() && ntcp2_net::read_now().mono_ms < deadline) {
      const ntcp2_net::Now now = ntcp2_net::read_now();
      std::erase_if(dials, [&](ntcp2_net::PendingNtcp2Dial& dial) {
        auto stepped = dial.step(now);
        if (stepped && !*stepped) return false;
        if (stepped) links.push_back(std::move(**stepped));
        return true;
      });
      ::usleep(1000);
    }
  }
  return links;
}

// The child's status, asked for until the condition holds (at most 10 s); the last one.
std::string status_until(LineChannel& channel, const std::function<bool(const std::string&)>& condition) {
  std::string last;
  const std::uint64_t deadline = ntcp2_net::read_now().mono_ms + 10000;
  while (ntcp2_net::read_now().mono_ms < deadline) {
    if (!channel.send("status")) break;
    const auto report = channel.receive(5000);
    if (!report) break;
    last = *report;
    if (condition(last)) break;
    ::usleep(5000);
  }
  return last;
}

std::size_t count_in(const std::string& list, const std::string& item) {
  std::size_t n = 0;
  for (std::size_t at = list.find(item); at != std::string::npos; at = list.find(item, at + 1)) ++n;
  return n;
}

// One identity that completes 200 handshakes and holds every link, plus 100 connections that
// never speak, against a router allowed 64 descriptors: the router keeps one session of that
// identity and leaves its reserve of descriptors free, so a fresh peer still gets through.
TEST(DescriptorLimit, AFreshPeerGetsThroughWhileAnotherHoldsSessionsAndConnections) {
  ChildProcess child(run_router_under_attack);
  ASSERT_TRUE(child.started());
  const auto hex = child.channel().receive(20000);
  ASSERT_TRUE(hex) << "the router did not start under the limit";
  const auto bytes = encoding::hex_decode(*hex);
  ASSERT_TRUE(bytes);
  encoding::Reader reader(*bytes);
  const auto target = common::RouterInfo::decode(reader);
  ASSERT_TRUE(target);

  auto identity = [](const char* host) {
    StartOptions options;
    options.ntcp2_host = host;
    options.sam_port = 0;
    return Router::start(options);
  };
  auto attacker = identity("127.0.0.3");
  auto fresh = identity("127.0.0.4");
  ASSERT_TRUE(attacker && fresh);
  const std::string attacker_b32 = attacker->router_hash().to_b32_address();
  const std::string fresh_b32 = fresh->router_hash().to_b32_address();

  const std::vector<ntcp2_net::Ntcp2Conn> held = hold_handshakes(*target, *attacker, 200, 16);
  EXPECT_GE(held.size(), 100u) << "the attacker's handshakes did not go through";
  const auto port = ntcp2_net::extract_ntcp2_peer(*target)->port;
  std::vector<ntcp2_net::TcpSocket> silent;
  const std::string host = "127.0.0.1";
  for (int i = 0; i < 100; ++i) {
    const int fd = ondrel_i2p_net_tcp_connect_nb(reinterpret_cast<const std::uint8_t*>(host.data()),
                                                 static_cast<std::int32_t>(host.size()), port);
    if (fd >= 0) silent.emplace_back(fd);
  }
  // Everything connected has been taken from the listener, or refused.
  const std::string settled =
      status_until(child.channel(), [](const std::string& s) { return field(s, "waiting") == "0"; });
  ASSERT_EQ(field(settled, "waiting"), "0") << settled;
  EXPECT_EQ(count_in(field(settled, "peers"), attacker_b32), 1u) << settled;

  const std::vector<ntcp2_net::Ntcp2Conn> mine = hold_handshakes(*target, *fresh, 1, 1);
  ASSERT_EQ(mine.size(), 1u) << "the fresh peer's handshake did not finish";
  const std::string report =
      status_until(child.channel(), [&](const std::string& s) { return count_in(field(s, "peers"), fresh_b32) == 1; });
  EXPECT_EQ(count_in(field(report, "peers"), fresh_b32), 1u) << report;
  EXPECT_EQ(count_in(field(report, "peers"), attacker_b32), 1u) << report;
  EXPECT_EQ(number(report, "sessions"), 2) << report;
  EXPECT_EQ(number(report, "limit"), kAttackLimit) << report;
  // Inbound connections never hold the reserve.
  EXPECT_LE(number(report, "fds"), kAttackLimit - kDescriptorReserve) << report;
  EXPECT_GE(number(report, "accepts"), 1) << "the silent connections were not held at all: " << report;

  ASSERT_TRUE(child.channel().send("quit"));
  EXPECT_EQ(child.wait(10000), 0);
  attacker->close();
  fresh->close();
}

}  // namespace
}  // namespace router
