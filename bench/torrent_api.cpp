// GET /api/torrents of an engine holding 256 torrents of 1,000 pieces each, answered by the
// router's API over loopback: requests per second. Reference in the same run: a plain
// loopback HTTP exchange of the same answer size (accept, read the request head, write a
// prepared answer of that size, close), driven by the same single-threaded client loop.
// The counter "size" is the answer's byte count; compare the items_per_second of the two.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "encoding/text.h"
#include "ntcp2_net/glue.h"
#include "ntcp2_net/tcp_listener.h"
#include "router/router.h"

namespace {

constexpr int kTorrents = 256;
constexpr int kPieces = 1000;
const std::string kRequest = "GET /api/torrents HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: bench\r\n\r\n";

void fill_engine(router::Router& r) {
  router::TorrentEngine engine;
  engine.download_dir = "/tmp/bench-downloads";
  for (int i = 0; i < kTorrents; ++i) {
    router::ActiveTorrent t;
    t.info_hash = Bytes(20, static_cast<std::uint8_t>(i));
    t.info_hash_hex = encoding::hex_encode(t.info_hash);
    t.name = "Some torrent name number " + std::to_string(i) + " (with \"quotes\")";
    t.download_dir = engine.download_dir;
    bittorrent::TorrentMeta meta;
    meta.name = t.name;
    meta.piece_length = 262'144;
    meta.total_length = static_cast<std::int64_t>(kPieces) * meta.piece_length;
    t.meta = std::move(meta);
    t.have.assign(kPieces, 0);
    for (int p = 0; p < kPieces; p += 3) t.have[static_cast<std::size_t>(p)] = 1;
    t.downloaded = 334ull * 262'144;
    t.tracker_status = "announce ok: 12 peers";
    engine.torrents.push_back(std::move(t));
  }
  r.torrent_engine = std::move(engine);
}

int connect_nb(int port) {
  constexpr std::string_view kHost = "127.0.0.1";
  const int fd = ondrel_i2p_net_tcp_connect(reinterpret_cast<const std::uint8_t*>(kHost.data()),
                                            static_cast<std::int32_t>(kHost.size()), port);
  if (fd >= 0) (void)ondrel_i2p_net_tcp_set_nonblocking(fd, 1);
  return fd;
}

// Sends the request and reads until the server closes, calling serve between reads; the
// byte count received, or -1.
template <typename Serve>
long exchange(int port, Serve&& serve) {
  const int fd = connect_nb(port);
  if (fd < 0) return -1;
  if (::send(fd, kRequest.data(), kRequest.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(kRequest.size())) {
    ::close(fd);
    return -1;
  }
  long total = 0;
  char buf[65536];
  for (int pass = 0; pass < 1'000'000; ++pass) {
    serve();
    for (;;) {
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n > 0) {
        total += n;
        continue;
      }
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
        ::close(fd);
        return total;
      }
      break;
    }
  }
  ::close(fd);
  return -1;
}

long api_answer_size() {
  router::Router r;
  fill_engine(r);
  const std::string body = r.build_api_torrents_json(r.torrent_engine);
  // Status line and the fixed head lines of an answer without CORS lines.
  return static_cast<long>(body.size() +
                           std::string("HTTP/1.1 200 OK\r\nContent-Type: application/json; charset=utf-8\r\n"
                                       "Content-Length: \r\nCache-Control: no-store\r\n"
                                       "Connection: close\r\n\r\n")
                               .size() +
                           std::to_string(body.size()).size());
}

void BM_ApiTorrents(benchmark::State& state) {
  router::Router r;
  fill_engine(r);
  auto listener = ntcp2_net::TcpListener::bind("127.0.0.1", 0);
  if (!listener) {
    state.SkipWithError("listen failed");
    return;
  }
  const int port = listener->port;
  r.torrent_api_listener = std::move(*listener);
  ntcp2_net::Now now{1'000'000, 1'700'000'000'000};
  long size = 0;
  for (auto _ : state) {
    size = exchange(port, [&] { r.step_torrent_api(now); });
    if (size <= 0) {
      state.SkipWithError("exchange failed");
      break;
    }
  }
  // Let the last connections go.
  for (int i = 0; i < 10 && !r.torrent_api_conns.empty(); ++i) r.step_torrent_api(now);
  r.close();
  state.SetItemsProcessed(state.iterations());
  state.counters["size"] = static_cast<double>(size);
}
BENCHMARK(BM_ApiTorrents)->Unit(benchmark::kMicrosecond);

// The reference: one connection at a time, accepted, its head read, a prepared answer of the
// same size written as the socket takes it, then closed.
void BM_PlainHttpSameSize(benchmark::State& state) {
  auto listener = ntcp2_net::TcpListener::bind("127.0.0.1", 0);
  if (!listener) {
    state.SkipWithError("listen failed");
    return;
  }
  const long size = api_answer_size();
  const std::string answer(static_cast<std::size_t>(size), 'x');
  const int port = listener->port;
  int server = -1;
  std::string head;
  std::size_t sent = 0;
  auto serve = [&] {
    if (server < 0) {
      server = ::accept(listener->fd, nullptr, nullptr);
      if (server < 0) return;
      ::fcntl(server, F_SETFL, ::fcntl(server, F_GETFL) | O_NONBLOCK);
      head.clear();
      sent = 0;
    }
    char buf[16384];
    while (head.find("\r\n\r\n") == std::string::npos) {
      const ssize_t n = ::recv(server, buf, sizeof buf, 0);
      if (n <= 0) return;
      head.append(buf, static_cast<std::size_t>(n));
    }
    while (sent < answer.size()) {
      const ssize_t n = ::send(server, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<std::size_t>(n);
    }
    ::close(server);
    server = -1;
  };
  long got = 0;
  for (auto _ : state) {
    got = exchange(port, serve);
    if (got != size) {
      state.SkipWithError("exchange failed");
      break;
    }
  }
  if (server >= 0) ::close(server);
  state.SetItemsProcessed(state.iterations());
  state.counters["size"] = static_cast<double>(got);
}
BENCHMARK(BM_PlainHttpSameSize)->Unit(benchmark::kMicrosecond);

// The document alone, without the socket: how much of a request goes into writing it.
void BM_BuildTorrentsDocument(benchmark::State& state) {
  router::Router r;
  fill_engine(r);
  std::size_t size = 0;
  for (auto _ : state) {
    const std::string doc = r.build_api_torrents_json(r.torrent_engine);
    size = doc.size();
    benchmark::DoNotOptimize(doc.data());
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["size"] = static_cast<double>(size);
}
BENCHMARK(BM_BuildTorrentsDocument)->Unit(benchmark::kMicrosecond);

}  // namespace
