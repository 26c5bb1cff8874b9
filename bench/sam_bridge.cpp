// Bytes per second through a local SAM bridge (a STREAM CONNECT joined to a client accepting
// on another session of the same router), beside the same bytes through a plain loopback TCP
// copy: a thread that reads one connection and writes another with blocking calls. The
// router is stepped by the benchmark's thread, as its loop would; a writer and a reader
// thread stand for the two applications. "bridge_MBps" and "copy_MBps" are the rates,
// "ratio" bridge over copy.
//   loop:1  the router's whole pass (r.step), whose wait ends when a bridge socket is
//           ready; each wait is bounded at 5 ms here, only so that the benchmark's thread
//           sees the reader finish ("idle_passes" counts passes of 5 ms or more);
//   loop:0  step_bridges alone, in a tight loop: the bridge's own cost.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/loopback_pair.h"
#include "cmd/router/startup.h"
#include "ntcp2_net/clock.h"
#include "ntcp2_net/glue.h"
#include "router/router.h"

namespace {

using clock_type = std::chrono::steady_clock;
constexpr std::size_t kTransfer = 16 << 20;

bool write_all(int fd, const char* data, std::size_t n) {
  while (n > 0) {
    const ssize_t k = ::send(fd, data, n, MSG_NOSIGNAL);
    if (k <= 0) return false;
    data += k;
    n -= static_cast<std::size_t>(k);
  }
  return true;
}

bool read_exactly(int fd, std::size_t n) {
  std::vector<char> buf(1 << 16);
  while (n > 0) {
    const ssize_t k = ::recv(fd, buf.data(), std::min(n, buf.size()), 0);
    if (k <= 0) return false;
    n -= static_cast<std::size_t>(k);
  }
  return true;
}

// A blocking SAM client of the benchmark; the router is stepped while it waits for lines.
class SamClient {
 public:
  explicit SamClient(router::Router& r) : r_(r) {
    const std::string host = "127.0.0.1";
    fd_ = ondrel_i2p_net_tcp_connect(reinterpret_cast<const std::uint8_t*>(host.data()),
                                     static_cast<std::int32_t>(host.size()), r.sam_listener.port);
    greeted_ = ask("HELLO VERSION") == "HELLO REPLY RESULT=OK VERSION=3.3";
  }
  ~SamClient() {
    if (fd_ >= 0) ::close(fd_);
  }
  int fd() const { return fd_; }
  bool greeted() const { return greeted_; }
  std::optional<std::string> ask(const std::string& command) {
    const std::string line = command + "\n";
    if (!write_all(fd_, line.data(), line.size())) return std::nullopt;
    return next_line();
  }
  std::optional<std::string> next_line() {
    std::string got;
    for (int pass = 0; pass < 10000; ++pass) {
      r_.step(ntcp2_net::read_now());
      char c = 0;
      while (ondrel_i2p_net_tcp_poll_readable(fd_, 0) == 1 && ::recv(fd_, &c, 1, 0) == 1) {
        if (c == '\n') return got;
        got.push_back(c);
      }
    }
    return std::nullopt;
  }

 private:
  router::Router& r_;
  int fd_ = -1;
  bool greeted_ = false;
};

void BM_LocalBridgeBesidePlainCopy(benchmark::State& state) {
  const bool whole_loop = state.range(0) != 0;
  router::StartOptions o;
  o.sam_port = 0;
  auto started = router::Router::start(o);
  if (!started || !cmd_router::add_loop_parts(*started)) {
    state.SkipWithError("router failed to start");
    return;
  }
  router::Router& r = *started;
  SamClient ctl(r), acc(r), con(r);
  if (!ctl.greeted() || !acc.greeted() || !con.greeted() || !ctl.ask("SESSION CREATE ID=a") ||
      !ctl.ask("SESSION CREATE ID=b") || acc.ask("STREAM ACCEPT ID=b") != "STREAM STATUS RESULT=OK") {
    state.SkipWithError("sessions failed");
    return;
  }
  const std::string b_pub = router::Router::find_session_by_id(r.sessions, "b")->public_b64;
  if (con.ask("STREAM CONNECT ID=a DESTINATION=" + b_pub) != "STREAM STATUS RESULT=OK" || !acc.next_line()) {
    state.SkipWithError("stream failed");
    return;
  }

  // The plain copy: writer -> [in] copier thread [out] -> reader.
  const auto [writer, copy_in] = bench_support::loopback_pair();
  const auto [copy_out, reader] = bench_support::loopback_pair();
  if (writer < 0 || copy_out < 0) {
    state.SkipWithError("loopback pairs failed");
    return;
  }
  std::thread copier([in = copy_in, out = copy_out] {
    std::vector<char> buf(1 << 16);
    for (;;) {
      const ssize_t k = ::recv(in, buf.data(), buf.size(), 0);
      if (k <= 0 || !write_all(out, buf.data(), static_cast<std::size_t>(k))) break;
    }
  });

  const std::string data(kTransfer, 'b');
  double bridge_s = 0, copy_s = 0, idle_passes = 0;
  for (auto _ : state) {
    auto t0 = clock_type::now();
    std::atomic<bool> read_done{false};
    bool ok = true;
    std::thread w([&] { ok = write_all(con.fd(), data.data(), data.size()) && ok; });
    std::thread rd([&] {
      if (!read_exactly(acc.fd(), data.size())) ok = false;
      read_done = true;
    });
    while (!read_done) {
      const ntcp2_net::Now now = ntcp2_net::read_now();
      if (!whole_loop) {
        (void)r.step_bridges(now);
        continue;
      }
      r.step(now, now.mono_ms + 5);
      if (ntcp2_net::read_now().mono_ms >= now.mono_ms + 5) ++idle_passes;
    }
    w.join();
    rd.join();
    auto t1 = clock_type::now();
    std::thread w2([&] { (void)write_all(writer, data.data(), data.size()); });
    const bool copied = read_exactly(reader, data.size());
    w2.join();
    auto t2 = clock_type::now();
    if (!ok || !copied) {
      state.SkipWithError("transfer failed");
      break;
    }
    bridge_s += std::chrono::duration<double>(t1 - t0).count();
    copy_s += std::chrono::duration<double>(t2 - t1).count();
  }
  ::close(writer);
  copier.join();
  for (int fd : {copy_in, copy_out, reader}) ::close(fd);
  const double bytes = static_cast<double>(state.iterations()) * static_cast<double>(kTransfer);
  state.counters["bridge_MBps"] = bytes / bridge_s / 1e6;
  state.counters["copy_MBps"] = bytes / copy_s / 1e6;
  state.counters["ratio"] = copy_s / bridge_s;
  state.counters["idle_passes"] = idle_passes / static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
  r.close();
}
BENCHMARK(BM_LocalBridgeBesidePlainCopy)
    ->ArgNames({"loop"})
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);

}  // namespace
