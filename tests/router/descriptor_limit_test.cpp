// A router that runs out of descriptors: clients that connect and hang up are closed and
// forgotten, and the loop still waits its idle interval instead of spinning on a listener
// it cannot accept from. The router runs in a child process with a limit of 64 descriptors;
// the test sees it only through what the child reports.
#include <dirent.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "ntcp2_net/clock.h"
#include "ntcp2_net/glue.h"
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

constexpr int kIdlePasses = 30;

// The child: a router under a 64-descriptor limit, stepped while the parent floods it, then
// until nothing is left to do, then for kIdlePasses passes whose time it reports.
int run_router_at_descriptor_limit(LineChannel& parent) {
  rlimit limit{64, 64};
  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return 10;
  const int fds_before = open_descriptors();
  StartOptions options;
  options.sam_port = 0;
  auto r = Router::start(options);
  if (!r) return 11;
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
  // Each idle pass waits up to its 10 ms: a loop spinning on a listener it cannot accept
  // from would finish these passes in well under a millisecond. Half the nominal time leaves
  // room for a pass that had work (a timer) and for the clock's whole-millisecond reading.
  EXPECT_GE(number(*report, "idle_ms"), kIdlePasses * 10 / 2) << *report;
  // Only the two listeners stay open.
  EXPECT_LE(number(*report, "new_fds"), 2) << *report;
  EXPECT_GE(number(*report, "new_fds"), 0) << *report;
}

}  // namespace
}  // namespace router
