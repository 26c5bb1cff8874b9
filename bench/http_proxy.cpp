// A 16 MiB download through the HTTP proxy of router 0 from a site on router 1 of the
// in-process test network (1-hop tunnels each way), beside the same 16 MiB sent over one
// raw stream between the same two destinations, in the same run. Both transfers step the
// routers alike, as rounds of their loops: every router's pass, and their shared wait only
// when no pass and no pump moved anything, so that neither waits out one router's sleep
// while the other holds the next packet. The browser and the site (non-blocking sockets)
// and the raw stream's two ends are pumped between the rounds. "proxy_MBps" and
// "stream_MBps" are the rates, "ratio" proxy over stream.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "ntcp2_net/clock.h"
#include "ntcp2_net/tcp_listener.h"
#include "router/destinations.h"
#include "router/router.h"
#include "tests/support/test_network.h"

namespace {

using clock_type = std::chrono::steady_clock;
constexpr std::size_t kTransfer = 16 << 20;
constexpr int kLimitMs = 300000;

// A non-blocking loopback client socket pumped between router passes.
class Sock {
 public:
  explicit Sock(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(0x7f000001);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) failed = true;
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
  }
  ~Sock() {
    if (fd_ >= 0) ::close(fd_);
  }
  Sock(const Sock&) = delete;
  Sock& operator=(const Sock&) = delete;

  void queue(std::string_view data) { out_.append(data); }
  bool all_sent() const { return sent_ == out_.size(); }
  // True when bytes moved either way or the peer hung up.
  bool pump() {
    bool moved = false;
    while (sent_ < out_.size()) {
      const ssize_t n = ::send(fd_, out_.data() + sent_, out_.size() - sent_, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent_ += static_cast<std::size_t>(n);
      moved = true;
    }
    char buf[65536];
    while (!eof) {
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n > 0) {
        received.append(buf, static_cast<std::size_t>(n));
        moved = true;
        continue;
      }
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
        eof = true;
        moved = true;
      }
      break;
    }
    return moved;
  }
  std::optional<std::string> take_line() {
    const std::size_t lf = received.find('\n');
    if (lf == std::string::npos) return std::nullopt;
    std::string line = received.substr(0, lf);
    received.erase(0, lf + 1);
    return line;
  }

  std::string received;
  bool eof = false;
  bool failed = false;

 private:
  int fd_ = -1;
  std::string out_;
  std::size_t sent_ = 0;
};

std::string payload() {
  std::string s(kTransfer, '\0');
  for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char>((i * 131) ^ (i >> 9));
  return s;
}

struct Setup {
  test_support::TestNetwork net;
  std::unique_ptr<Sock> site_ctl;
  std::string site_b32;
  int proxy_port = 0;
  router::SamSession* alice = nullptr;  // raw stream ends: the proxy's session on router 0,
  router::SamSession* bob = nullptr;    // the site's on router 1
  bool ok = false;

  // pump: true when it moved anything.
  bool run(const std::function<bool()>& condition, const std::function<bool()>& pump) {
    return net.run_loop_until(condition, kLimitMs, pump);
  }

  static std::unique_ptr<Setup> create() {
    auto s = std::make_unique<Setup>();
    auto net = test_support::TestNetwork::create({.routers = 2});
    if (!net) return s;
    s->net = std::move(*net);
    for (std::size_t owner : {0u, 1u}) {
      if (!s->net.install_tunnel(owner, {1 - owner}, true) || !s->net.install_tunnel(owner, {1 - owner}, false)) {
        return s;
      }
    }
    auto listener = ntcp2_net::TcpListener::bind("127.0.0.1", 0);
    if (!listener) return s;
    s->proxy_port = listener->port;
    s->net[0].http_proxy_listener = std::move(*listener);

    // The site: a SAM session on router 1 whose LeaseSet2 router 0 knows.
    s->site_ctl = std::make_unique<Sock>(s->net[1].sam_listener.port);
    s->site_ctl->queue("HELLO VERSION\nSESSION CREATE ID=site DESTINATION=TRANSIENT\n");
    std::optional<std::string> line;
    const auto session_line = [&] {
      while ((line = s->site_ctl->take_line()) && line->starts_with("HELLO REPLY RESULT=OK")) {
      }
      return line.has_value() || s->site_ctl->eof;
    };
    if (!s->run(session_line, [&] { return s->site_ctl->pump(); }) || !line ||
        !line->starts_with("SESSION STATUS RESULT=OK")) {
      return s;
    }
    router::SamSession* site = router::Router::find_session_by_id(s->net[1].sessions, "site");
    const ntcp2_net::Now now = ntcp2_net::read_now();
    auto ls = s->net[1].build_session_leaseset2(*site, now);
    if (!ls || !s->net[0].netdb.store_lease_set2(*ls, now.wall_s())) return s;
    s->site_b32 = site->b32_address;

    // The raw stream runs between the same two destinations as the proxy's streams: the
    // proxy's own session and the site's. (Garlic is matched against the sessions in list
    // order, so other sessions would change the cost of every message.)
    if (s->net[0].ensure_http_proxy_session(now) == nullptr) return s;
    s->ok = true;
    return s;
  }

  // One download through the proxy; its seconds, or a negative value when it failed.
  double proxy_download(const std::string& body) {
    const auto start = clock_type::now();
    auto acceptor = std::make_unique<Sock>(net[1].sam_listener.port);
    acceptor->queue("HELLO VERSION\nSTREAM ACCEPT ID=site SILENT=true\n");
    auto browser = std::make_unique<Sock>(proxy_port);
    browser->queue("GET http://" + site_b32 + "/file HTTP/1.1\r\nHost: " + site_b32 + "\r\n\r\n");
    bool answered = false;
    const std::string head =
        "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
    const std::size_t expected = head.size() + body.size();
    const bool done = run([&] { return browser->received.size() >= expected || browser->eof; },
                          [&] {
                            bool moved = browser->pump();
                            if (!acceptor) return moved;
                            moved = acceptor->pump() || moved;
                            if (!answered && acceptor->received.find("\r\n\r\n") != std::string::npos) {
                              answered = true;
                              acceptor->queue(head);
                              acceptor->queue(body);
                              moved = true;
                            }
                            if (answered && acceptor->all_sent()) {
                              acceptor.reset();  // the site hangs up
                              moved = true;
                            }
                            return moved;
                          });
    const double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    const bool whole = done && browser->received.size() == expected;
    if (!whole) std::fprintf(stderr, "proxy: browser got %zu of %zu\n", browser->received.size(), expected);
    // The browser hangs up too; the closes run out before the next round.
    browser.reset();
    (void)run([&] { return net[0].remote_bridges.empty() && net[1].remote_bridges.empty(); },
              [&] { return acceptor && acceptor->pump(); });
    return whole ? seconds : -1;
  }

  // The same bytes over one raw stream from bob to alice; its seconds, or negative.
  double stream_download(const std::string& body) {
    alice = router::Router::find_session_by_id(net[0].sessions, "__http_proxy__");
    bob = router::Router::find_session_by_id(net[1].sessions, "site");
    const auto start = clock_type::now();
    auto opened = alice->streams->connect(bob->dest_hash, ntcp2_net::read_now().mono_ms, 0, 0);
    if (!opened) return -1;
    streaming::ConnectionPtr from_alice = *opened;
    streaming::ConnectionPtr at_bob;
    std::size_t sent = 0, received = 0;
    const bool done =
        run([&] { return received >= body.size(); },
            [&] {
              bool moved = false;
              const std::uint64_t now_ms = ntcp2_net::read_now().mono_ms;
              if (!at_bob && !bob->streams->accept_queue.empty()) {
                at_bob = bob->streams->accept_queue.front();
                bob->streams->accept_queue.pop_front();
                moved = true;
              }
              if (at_bob && at_bob->state == streaming::StreamState::Established && sent < body.size()) {
                auto n = at_bob->write(
                    ByteView(reinterpret_cast<const std::uint8_t*>(body.data()) + sent, body.size() - sent), now_ms);
                if (n && *n > 0) {
                  sent += *n;
                  moved = true;
                }
              }
              const std::size_t got = from_alice->read_available().size();
              received += got;
              return moved || got > 0;
            });
    const double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    if (!done) std::fprintf(stderr, "stream: got %zu of %zu\n", received, body.size());
    std::erase(alice->streams->connections, from_alice);
    if (at_bob) std::erase(bob->streams->connections, at_bob);
    return done ? seconds : -1;
  }
};

void BM_HttpProxyDownload(benchmark::State& state) {
  auto setup = Setup::create();
  if (!setup->ok) {
    state.SkipWithError("test network setup failed");
    return;
  }
  const std::string body = payload();
  double proxy_s = 0, stream_s = 0;
  for (auto _ : state) {
    const double p = setup->proxy_download(body);
    const double s = setup->stream_download(body);
    if (p < 0 || s < 0) {
      state.SkipWithError("a transfer did not complete");
      return;
    }
    proxy_s += p;
    stream_s += s;
  }
  const double mb = static_cast<double>(kTransfer) * static_cast<double>(state.iterations()) / 1e6;
  state.counters["proxy_MBps"] = mb / proxy_s;
  state.counters["stream_MBps"] = mb / stream_s;
  state.counters["ratio"] = stream_s / proxy_s;
}
BENCHMARK(BM_HttpProxyDownload)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
