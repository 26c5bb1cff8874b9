#pragma once
// Helpers of the lookup, answer and client destination tests: client sessions made as
// client services will make them, the messages a router queued for a peer, SAM clients on
// a loopback connection, and the independent references -- zlib for gzip, python3's
// 'cryptography' for ChaCha20-Poly1305.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/sha.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "encoding/text.h"
#include "i2np/payload.h"
#include "ntcp2_net/clock.h"
#include "ntcp2_net/random.h"
#include "router/destinations.h"
#include "router/router.h"
#include "services/client_sessions.h"
#include "tests/support/test_network.h"

namespace router::lookups_test {

using P = i2np::I2npPayload;

// A client session with a fresh transient destination, its keys and ratchet manager.
inline SamSession new_session(Router& r, const std::string& id) {
  auto t = generate_transient_destination();
  EXPECT_TRUE(t) << (t ? "" : to_string(t.error()));
  if (!t) return SamSession{};
  return build_client_session(r, id, *t);
}

// A test network of n routers, the given ones floodfills.
inline test_support::TestNetwork network(std::size_t n, std::vector<std::size_t> floodfills = {},
                                         bool public_mode = false) {
  auto net = test_support::TestNetwork::create(
      {.routers = n, .public_mode = public_mode, .floodfills = std::move(floodfills)});
  EXPECT_TRUE(net) << (net ? "" : to_string(net.error()));
  return std::move(*net);
}

inline common::Hash random_hash() {
  auto h = common::Hash::from_bytes(ntcp2_net::random_bytes(32).value_or(Bytes(32, 0x42)));
  return h.value_or(common::Hash{});
}

// An own inbound tunnel record whose gateway (its one hop, unless with_hop is false)
// receives on receive_id; no build stands behind it.
inline tunnel::Tunnel inbound_tunnel(const common::Hash& gateway, std::uint32_t receive_id, std::uint32_t expires_s,
                                     bool with_hop = true) {
  tunnel::Tunnel t;
  t.tunnel_id = receive_id + 1;
  t.expires_s = expires_s;
  if (with_hop) t.hops.push_back(tunnel::TunnelHop{gateway, receive_id, 0, {}, {}, {}});
  return t;
}

// The routers ordered by XOR distance from SHA-256(key || UTC date), computed here with
// OpenSSL and the C library's calendar.
inline std::vector<common::Hash> by_distance(const common::Hash& key, std::uint32_t now_s,
                                             std::vector<common::Hash> routers) {
  const std::time_t t = now_s;
  std::tm tm{};
  gmtime_r(&t, &tm);
  char date[16];
  std::strftime(date, sizeof date, "%Y%m%d", &tm);
  std::array<std::uint8_t, 40> input{};
  std::copy(key.bytes.begin(), key.bytes.end(), input.begin());
  std::copy(date, date + 8, input.begin() + 32);
  std::array<std::uint8_t, 32> rk{};
  SHA256(input.data(), input.size(), rk.data());
  auto distance = [&](const common::Hash& h) {
    std::array<std::uint8_t, 32> d{};
    for (std::size_t i = 0; i < 32; ++i) d[i] = h.bytes[i] ^ rk[i];
    return d;
  };
  std::sort(routers.begin(), routers.end(),
            [&](const common::Hash& a, const common::Hash& b) { return distance(a) < distance(b); });
  return routers;
}

// What the router queued for the peer (messages wait there while the link is dialled).
inline std::vector<P> queued_for(const Router& r, const common::Hash& peer) {
  std::vector<P> out;
  for (const PendingPeerSend& s : r.pending_sends) {
    if (s.peer == peer) out.push_back(s.payload);
  }
  return out;
}

template <typename T>
std::vector<T> queued_of(const Router& r, const common::Hash& peer) {
  std::vector<T> out;
  for (const P& p : queued_for(r, peer)) {
    if (const T* body = std::get_if<T>(&p.value)) out.push_back(*body);
  }
  return out;
}

// The remote end of one SAM client connection the router took on.
class SamClientEnd {
 public:
  // Connects to the router's SAM listener and has the router take the connection.
  explicit SamClientEnd(Router& r) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(r.sam_listener.port));
    ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      ADD_FAILURE() << "cannot connect to the SAM listener";
      return;
    }
    auto accepted = r.sam_listener.accept(5000);
    if (!accepted || !*accepted) {
      ADD_FAILURE() << "the SAM listener took no connection";
      return;
    }
    r.push_sam_client(std::move(**accepted));
    index_ = r.sam_clients.back().id;
  }
  ~SamClientEnd() {
    if (fd_ >= 0) ::close(fd_);
  }
  SamClientEnd(const SamClientEnd&) = delete;
  SamClientEnd& operator=(const SamClientEnd&) = delete;

  // The client's id, by which lookups name it.
  std::int32_t index() const { return index_; }

  // Everything the router wrote so far (lines are written whole before the call that
  // writes them returns), until the router closes its end or nothing more is there.
  std::string received() {
    std::string out;
    char buf[4096];
    for (;;) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 0) <= 0) break;
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) {
        closed_ = true;
        break;
      }
      out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
  }
  // True once the router closed its end (read to the end by received()).
  bool closed_by_router() {
    (void)received();
    return closed_;
  }

 private:
  int fd_ = -1;
  std::int32_t index_ = -1;
  bool closed_ = false;
};

// The payload of a gzip member, inflated by zlib; empty when zlib refuses it.
inline Bytes zlib_gunzip(ByteView member) {
  z_stream z{};
  if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) return {};
  Bytes out(1 << 20);
  z.next_in = const_cast<Bytef*>(member.data());
  z.avail_in = static_cast<uInt>(member.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  const int rc = inflate(&z, Z_FINISH);
  const std::size_t n = z.total_out;
  inflateEnd(&z);
  if (rc != Z_STREAM_END) return {};
  out.resize(n);
  return out;
}

// ChaCha20-Poly1305 opening by python3's 'cryptography' package: the plaintext of
// ciphertext-with-tag under key, nonce and ad, or nothing when it does not authenticate
// or python3 fails.
inline std::optional<Bytes> python_aead_open(ByteView key, ByteView nonce, ByteView ad, ByteView sealed) {
  namespace fs = std::filesystem;
  static int counter = 0;
  const fs::path dir =
      fs::temp_directory_path() / ("ondrel_aead_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
  fs::create_directories(dir);
  {
    std::ofstream s(dir / "open.py");
    s << "import sys\n"
         "from cryptography.hazmat.primitives.ciphers.aead import ChaCha20Poly1305\n"
         "key, nonce, ad, sealed = (bytes.fromhex(x) for x in sys.argv[1:5])\n"
         "open(sys.argv[5], 'w').write(ChaCha20Poly1305(key).decrypt(nonce, sealed, ad).hex())\n";
  }
  const std::string python = fs::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
  const std::string cmd = python + " " + (dir / "open.py").string() + " " + encoding::hex_encode(key) + " " +
                          encoding::hex_encode(nonce) + " " + encoding::hex_encode(ad) + " " +
                          encoding::hex_encode(sealed) + " " + (dir / "out.hex").string() + " 2>/dev/null";
  std::optional<Bytes> plain;
  if (std::system(cmd.c_str()) == 0) {
    std::ifstream f(dir / "out.hex");
    const std::string hex((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (auto bytes = encoding::hex_decode(hex)) plain = std::move(*bytes);
  }
  fs::remove_all(dir);
  return plain;
}

}  // namespace router::lookups_test
