// Both handshakes over loopback TCP: our initiator against our responder, then each of
// them against a hand-driven peer that forges, cuts or corrupts messages. The forging peer
// runs on a helper thread with blocking sockets; the side under test is stepped without
// waiting, as the router loop does.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <thread>

#include "ntcp2/frame.h"
#include "ntcp2_net/glue.h"
#include "ntcp2_net/pending_accept.h"
#include "ntcp2_net/pending_dial.h"
#include "ntcp2_net/replay_cache.h"
#include "ntcp2_net/tcp_listener.h"
#include "tests/ntcp2_net/ntcp2_test_util.h"

namespace ntcp2_net {
namespace {

using ntcp2::Ntcp2Block;
using ntcp2_test::TestRouter;
using Blocks = std::vector<Ntcp2Block>;

std::uint64_t now_ms() { return ondrel_i2p_net_unix_time_ms(); }

// ---- a hand-driven peer with blocking I/O ----

struct RawPeer {
  int fd = -1;
  ntcp2::Ntcp2Handshake hs;

  ~RawPeer() {
    if (fd >= 0) ::close(fd);
  }
  bool send(ByteView b) const {
    std::size_t done = 0;
    while (done < b.size()) {
      const ssize_t n = ::send(fd, b.data() + done, b.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }
  std::optional<Bytes> recv_exact(std::size_t n) const {
    Bytes out;
    while (out.size() < n) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 3000) != 1) return std::nullopt;
      std::uint8_t buf[4096];
      const ssize_t k = ::recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
      if (k <= 0) return std::nullopt;
      out.insert(out.end(), buf, buf + k);
    }
    return out;
  }
  // True once the other side has closed the connection.
  bool sees_close() const {
    for (;;) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 3000) != 1) return false;
      std::uint8_t buf[256];
      const ssize_t k = ::recv(fd, buf, sizeof buf, 0);
      if (k == 0 || (k < 0 && errno == ECONNRESET)) return true;
      if (k < 0) return false;
    }
  }
};

int connect_to(int port) {
  const std::string host = "127.0.0.1";
  return ondrel_i2p_net_tcp_connect(reinterpret_cast<const std::uint8_t*>(host.data()),
                                    static_cast<std::int32_t>(host.size()), port);
}

// The initiator's SessionConfirmed blocks as our dialler sends them.
Blocks own_blocks(const TestRouter& r) {
  return {Ntcp2Block::RouterInfo{0, *r.info.to_bytes()}, Ntcp2Block::Padding{Bytes(16, 0)}};
}

// ---- the honest pair ----

struct Net {
  TestRouter responder;
  TestRouter initiator;
  TcpListener listener;
  ReplayCache cache;
};

std::unique_ptr<Net> make_net() {
  auto listener = TcpListener::bind("127.0.0.1", 0);
  EXPECT_TRUE(listener);
  auto net = std::make_unique<Net>(
      Net{ntcp2_test::make_router(listener->port), ntcp2_test::make_router(1), std::move(*listener), {}});
  return net;
}

Result<PendingNtcp2Accept> accept_one(Net& net, bool check_clock_skew = true) {
  auto s = net.listener.accept(3000);
  if (!s) return std::unexpected(s.error());
  if (!*s) return fail(NetError::Timeout);
  return PendingNtcp2Accept::start(std::move(**s), net.responder.static_keys, net.responder.hash.view(),
                                   net.responder.iv, check_clock_skew, read_now());
}

// Steps a pending dial or accept until it finishes or fails (3 s at most).
template <typename Step>
Result<Ntcp2Conn> drive_steps(Step step) {
  for (int i = 0; i < 3000; ++i) {
    auto r = step();
    if (!r) return std::unexpected(r.error());
    if (*r) return std::move(**r);
    ::usleep(1000);
  }
  return fail(NetError::Timeout);
}

Result<Ntcp2Conn> drive(PendingNtcp2Dial& dial) {
  return drive_steps([&] { return dial.step(read_now()); });
}

Result<Ntcp2Conn> drive(PendingNtcp2Accept& accept, ReplayCache& cache) {
  return drive_steps([&] { return accept.step(cache, read_now()); });
}

struct Links {
  Ntcp2Conn initiator;
  Ntcp2Conn responder;
};

// Dials `to` from `from` and accepts on `listener`, stepping both sides in one loop.
Result<Links> connect(const TestRouter& from, const TestRouter& to, TcpListener& listener, ReplayCache& cache) {
  auto peer = extract_ntcp2_peer(to.info);
  if (!peer) return std::unexpected(peer.error());
  auto dial = PendingNtcp2Dial::start(*peer, to.info, from.static_keys, from.info, true, read_now());
  if (!dial) return std::unexpected(dial.error());
  std::optional<PendingNtcp2Accept> accept;
  std::optional<Ntcp2Conn> out, in;
  for (int i = 0; i < 3000 && (!out || !in); ++i) {
    if (!accept) {
      auto s = listener.accept(0);
      if (!s) return std::unexpected(s.error());
      if (*s) {
        auto a = PendingNtcp2Accept::start(std::move(**s), to.static_keys, to.hash.view(), to.iv, true, read_now());
        if (!a) return std::unexpected(a.error());
        accept.emplace(std::move(*a));
      }
    }
    if (!out) {
      auto r = dial->step(read_now());
      if (!r) return std::unexpected(r.error());
      if (*r) out.emplace(std::move(**r));
    }
    if (accept && !in) {
      auto r = accept->step(cache, read_now());
      if (!r) return std::unexpected(r.error());
      if (*r) in.emplace(std::move(**r));
    }
    ::usleep(200);
  }
  if (!out || !in) return fail(NetError::Timeout);
  return Links{std::move(*out), std::move(*in)};
}

Result<Links> connect_pair(Net& net) { return connect(net.initiator, net.responder, net.listener, net.cache); }

Result<std::optional<Blocks>> recv_frame(Ntcp2Conn& c) {
  for (int i = 0; i < 3000; ++i) {
    auto r = c.recv_blocks_nb(read_now());
    if (!r || *r) return r;
    ntcp2_test::wait_readable(c.socket.fd, 1);
  }
  return std::optional<Blocks>{};
}

TEST(Ntcp2Handshake, BothSidesOverLoopbackAndBlocksBothWays) {
  auto net = make_net();
  auto links = connect_pair(*net);
  ASSERT_TRUE(links) << to_string(links.error());
  Ntcp2Conn& a = links->initiator;
  Ntcp2Conn& b = links->responder;

  EXPECT_EQ(a.session.handshake_hash, b.session.handshake_hash);
  EXPECT_EQ(a.session.remote_static, net->responder.static_keys.public_key);
  EXPECT_EQ(b.session.remote_static, net->initiator.static_keys.public_key);
  EXPECT_EQ(a.peer_info, net->responder.info);
  EXPECT_EQ(b.peer_info.identity.keys_and_cert.hash(), net->initiator.hash);
  EXPECT_EQ(net->cache.entries.size(), 1u);
  // Both ends send small frames at once, without Nagle's wait for earlier acknowledgements.
  for (const Ntcp2Conn* c : {&a, &b}) {
    int nodelay = 0;
    socklen_t len = sizeof nodelay;
    ASSERT_EQ(::getsockopt(c->socket.fd, IPPROTO_TCP, TCP_NODELAY, &nodelay, &len), 0);
    EXPECT_EQ(nodelay, 1);
  }

  const i2np::I2npPayload message{i2np::I2npPayload::Data{Bytes{1, 2, 3, 4, 5}}};
  const Blocks others = {Ntcp2Block::DateTime{1700000000}, Ntcp2Block::Options{Bytes(12, 1)},
                         Ntcp2Block::Padding{Bytes(7, 0)}, Ntcp2Block::Termination{3, 0, {}}};
  for (auto [from, to] : {std::pair{&a, &b}, std::pair{&b, &a}}) {
    ASSERT_TRUE(from->send_i2np_nb(0x01020304, 1700000100, message, read_now()));
    auto got = recv_frame(*to);
    ASSERT_TRUE(got && *got);
    ASSERT_EQ((*got)->size(), 1u);
    const auto* i2np_block = (**got)[0].get_if<Ntcp2Block::I2np>();
    ASSERT_NE(i2np_block, nullptr);
    EXPECT_EQ(*i2np_block->data.data(), 20);  // short header: type Data
    EXPECT_EQ(i2np_block->data.size(), 9u + 4u + 5u);

    ASSERT_TRUE(from->send_blocks_nb(others, read_now()));
    got = recv_frame(*to);
    ASSERT_TRUE(got && *got);
    EXPECT_EQ(**got, others);
  }

  // One frame each way delivered one byte per TCP segment.
  int one = 1;
  for (auto [from, to] : {std::pair{&a, &b}, std::pair{&b, &a}}) {
    setsockopt(from->socket.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const Blocks blocks = {Ntcp2Block::I2np{Bytes(25, 9)}, Ntcp2Block::Padding{{}}};
    const Bytes frame = *ntcp2::seal_frame(from->session, *ntcp2::encode_blocks(blocks));
    for (std::size_t i = 0; i < frame.size(); ++i) {
      ASSERT_EQ(ondrel_i2p_net_tcp_send(from->socket.fd, frame.data(), static_cast<std::int32_t>(i), 1), 1);
      ASSERT_TRUE(ntcp2_test::wait_readable(to->socket.fd));
      auto r = to->recv_blocks_nb(read_now());
      ASSERT_TRUE(r);
      if (i + 1 < frame.size()) {
        ASSERT_FALSE(*r) << i;
      } else {
        ASSERT_TRUE(*r);
        EXPECT_EQ(**r, blocks);
      }
    }
  }
}

TEST(Ntcp2Handshake, TwoRoutersDialEachOther) {
  auto l1 = TcpListener::bind("127.0.0.1", 0);
  auto l2 = TcpListener::bind("127.0.0.1", 0);
  ASSERT_TRUE(l1 && l2);
  const TestRouter r1 = ntcp2_test::make_router(l1->port), r2 = ntcp2_test::make_router(l2->port);
  ReplayCache c1, c2;
  auto forth = connect(r1, r2, *l2, c2);
  auto back = connect(r2, r1, *l1, c1);
  ASSERT_TRUE(forth) << to_string(forth.error());
  ASSERT_TRUE(back) << to_string(back.error());
  EXPECT_EQ(forth->initiator.peer_info, r2.info);
  EXPECT_EQ(forth->responder.peer_info, r1.info);
  EXPECT_EQ(back->initiator.peer_info, r1.info);
  EXPECT_EQ(back->responder.peer_info, r2.info);
  EXPECT_NE(forth->initiator.session.handshake_hash, back->initiator.session.handshake_hash);
  // Each link carries its own traffic: the link r2 dialled and the one r1 dialled.
  const Blocks b1 = {Ntcp2Block::DateTime{1}}, b2 = {Ntcp2Block::DateTime{2}};
  ASSERT_TRUE(back->initiator.send_blocks_nb(b2, read_now()));
  ASSERT_TRUE(forth->initiator.send_blocks_nb(b1, read_now()));
  auto got2 = recv_frame(back->responder);
  auto got1 = recv_frame(forth->responder);
  ASSERT_TRUE(got1 && *got1 && got2 && *got2);
  EXPECT_EQ(**got1, b1);
  EXPECT_EQ(**got2, b2);
}

// ---- the responder against forged initiators ----

struct InboundCase {
  const char* name;
  // Runs the initiator's side of the conversation on the raw peer.
  std::function<void(RawPeer&, const TestRouter& me)> script;
  // Checks the responder's result: an error, or success when empty.
  std::function<void(const Error&)> refused;
  std::size_t cache_entries;  // replay cache size afterwards
};

ntcp2::SessionRequestOptions honest_options(std::size_t blocks_len, std::uint64_t at_ms) {
  return {2, 2, 16, static_cast<std::uint16_t>(blocks_len + 16), static_cast<std::uint32_t>(at_ms / 1000)};
}

// Message 1 with optional changes to its options; returns it unsent.
Bytes request(RawPeer& p, const TestRouter& me, std::function<void(ntcp2::SessionRequestOptions&)> change = {},
              std::size_t pad = 16) {
  const std::size_t len = ntcp2::encode_blocks(own_blocks(me))->size();
  auto options = honest_options(len, now_ms());
  options.pad_len = static_cast<std::uint16_t>(pad);
  if (change) change(options);
  return *p.hs.write_session_request_with(options, Bytes(pad, 0x5a));
}

// Reads message 2 whole.
bool created(RawPeer& p) {
  auto head = p.recv_exact(64);
  if (!head) return false;
  auto h = p.hs.read_session_created_head(*head);
  if (!h) return false;
  auto pad = p.recv_exact(h->pad_len);
  return pad && p.hs.finish_read_session_created(*pad);
}

// Sends message 1, reads message 2 and sends message 3 made of the given blocks.
void full(RawPeer& p, const TestRouter& me, const Blocks& blocks) {
  const std::size_t len = ntcp2::encode_blocks(blocks)->size();
  auto options = honest_options(len, now_ms());
  if (!p.send(*p.hs.write_session_request_with(options, Bytes(16, 1)))) return;
  if (!created(p)) return;
  (void)me;
  p.send(*p.hs.write_session_confirmed(blocks));
}

void expect_protocol(const Error& e, Ntcp2Error inner) {
  ASSERT_TRUE(e.is(NetError::Protocol)) << to_string(e);
  ASSERT_NE(e.inner(), nullptr);
  EXPECT_TRUE(e.inner()->is(inner));
}

void expect_peer(const Error& e, std::string_view text) {
  ASSERT_TRUE(e.is(NetError::Peer));
  EXPECT_EQ(e.message(), text);
}

TestRouter with_key(TestRouter r, ByteView s) {
  r.info.addresses = {ntcp2_test::ntcp2_address("127.0.0.1", 1, s, r.iv)};
  r.sign();
  return r;
}

TEST(Ntcp2Handshake, ResponderRefusalsCloseOnlyThatConnection) {
  const char* mismatch = "incoming RouterInfo static key mismatch";
  std::vector<InboundCase> cases = {
      {"network id 3",
       [](RawPeer& p, const TestRouter& me) { p.send(request(p, me, [](auto& o) { o.network_id = 3; })); },
       [](const Error& e) {
         expect_protocol(e, Ntcp2Error::NetworkIdMismatch);
         EXPECT_EQ(e.inner()->number(0), 3u);
       },
       0},
      {"version 1", [](RawPeer& p, const TestRouter& me) { p.send(request(p, me, [](auto& o) { o.version = 1; })); },
       [](const Error& e) {
         expect_protocol(e, Ntcp2Error::UnsupportedVersion);
         EXPECT_EQ(e.inner()->message(), "unsupported NTCP2 version: 1");
       },
       0},
      {"network id checked before version",
       [](RawPeer& p, const TestRouter& me) {
         p.send(request(p, me, [](auto& o) {
           o.network_id = 3;
           o.version = 1;
         }));
       },
       [](const Error& e) { expect_protocol(e, Ntcp2Error::NetworkIdMismatch); }, 0},
      {"clock 61 s behind",
       [](RawPeer& p, const TestRouter& me) { p.send(request(p, me, [](auto& o) { o.timestamp -= 61; })); },
       [](const Error& e) {
         expect_protocol(e, Ntcp2Error::ClockSkew);
         // 61 s, or 62 when a second boundary passed between the two clock readings.
         const std::uint32_t skew = *e.inner()->number(1) - *e.inner()->number(0);
         EXPECT_GE(skew, 61u);
         EXPECT_LE(skew, 62u);
       },
       0},
      {"options do not decrypt",
       [](RawPeer& p, const TestRouter& me) {
         Bytes m = request(p, me);
         m[40] ^= 0x80;
         p.send(m);
       },
       [](const Error& e) { expect_protocol(e, Ntcp2Error::Noise); }, 0},
      {"cut inside message 1", [](RawPeer& p, const TestRouter& me) { p.send(ByteView(request(p, me)).first(30)); },
       [](const Error& e) { EXPECT_TRUE(e.is(NetError::Closed)); }, 0},
      {"cut inside the padding of message 1",
       [](RawPeer& p, const TestRouter& me) { p.send(ByteView(request(p, me)).first(70)); },
       [](const Error& e) { EXPECT_TRUE(e.is(NetError::Closed)); }, 1},
      {"cut inside message 3",
       [](RawPeer& p, const TestRouter& me) {
         p.send(request(p, me));
         if (!created(p)) return;
         const Bytes m3 = *p.hs.write_session_confirmed(own_blocks(me));
         p.send(ByteView(m3).first(m3.size() / 2));
       },
       [](const Error& e) { EXPECT_TRUE(e.is(NetError::Closed)); }, 1},
      {"m3p2_len below 16",
       [](RawPeer& p, const TestRouter& me) {
         p.send(request(p, me, [](auto& o) { o.m3p2_len = 8; }));
         if (!created(p)) return;
         p.send(Bytes(48 + 8, 0x33));
       },
       [](const Error& e) { expect_protocol(e, Ntcp2Error::Noise); }, 1},
      {"message 3 with a bad MAC",
       [](RawPeer& p, const TestRouter& me) {
         p.send(request(p, me));
         if (!created(p)) return;
         Bytes m3 = *p.hs.write_session_confirmed(own_blocks(me));
         m3.back() ^= 1;
         p.send(m3);
       },
       [](const Error& e) { expect_protocol(e, Ntcp2Error::Noise); }, 1},
      {"RouterInfo names another static key",
       [](RawPeer& p, const TestRouter& me) { full(p, me, own_blocks(with_key(me, Bytes(32, 7)))); },
       [mismatch](const Error& e) { expect_peer(e, mismatch); }, 1},
      {"RouterInfo names the key and another one too",
       [](RawPeer& p, const TestRouter& me) {
         TestRouter r = me;
         r.info.addresses.push_back(ntcp2_test::ntcp2_address("127.0.0.2", 2, Bytes(32, 7), r.iv));
         r.sign();
         full(p, me, own_blocks(r));
       },
       [mismatch](const Error& e) { expect_peer(e, mismatch); }, 1},
      {"RouterInfo without an NTCP2 address",
       [](RawPeer& p, const TestRouter& me) {
         TestRouter r = me;
         r.info.addresses.clear();
         r.sign();
         full(p, me, own_blocks(r));
       },
       [mismatch](const Error& e) { expect_peer(e, mismatch); }, 1},
      {"no RouterInfo", [](RawPeer& p, const TestRouter& me) { full(p, me, {Ntcp2Block::Padding{Bytes(16, 0)}}); },
       [mismatch](const Error& e) { expect_peer(e, mismatch); }, 1},
      {"RouterInfo not first",
       [](RawPeer& p, const TestRouter& me) {
         Blocks b = own_blocks(me);
         std::swap(b[0], b[1]);
         full(p, me, b);
       },
       [mismatch](const Error& e) { expect_peer(e, mismatch); }, 1},
      {"RouterInfo with a bad signature",
       [](RawPeer& p, const TestRouter& me) {
         TestRouter r = me;
         r.info.signature[5] ^= 1;
         full(p, me, own_blocks(r));
       },
       [](const Error& e) { expect_peer(e, "incoming RouterInfo failed Ed25519 verification"); }, 1},
      {"RouterInfo that does not decode",
       [](RawPeer& p, const TestRouter& me) {
         full(p, me, {Ntcp2Block::RouterInfo{0, Bytes(20, 1)}});
       },
       [](const Error& e) { EXPECT_TRUE(e.is(NetError::Common)); }, 1},
      {"only an unknown block in message 3",
       [](RawPeer& p, const TestRouter& me) {
         full(p, me, {Ntcp2Block::Unknown{9, {}}});
       },
       [mismatch](const Error& e) { expect_peer(e, mismatch); }, 1},
  };

  auto net = make_net();
  for (const InboundCase& c : cases) {
    SCOPED_TRACE(c.name);
    net->cache.entries.clear();
    RawPeer peer{connect_to(net->listener.port), *ntcp2::Ntcp2Handshake::new_initiator(
                                                     net->initiator.static_keys, net->responder.static_keys.public_key,
                                                     net->responder.hash.view(), net->responder.iv)};
    ASSERT_GE(peer.fd, 0);
    peer.hs.local_ephemeral = ntcp2_test::random_key_pair();
    bool closed_seen = false;
    std::jthread client([&] {
      c.script(peer, net->initiator);
      if (std::string_view(c.name).starts_with("cut")) ::shutdown(peer.fd, SHUT_WR);
      closed_seen = peer.sees_close();
    });
    auto accept = accept_one(*net);
    ASSERT_TRUE(accept);
    auto result = drive(*accept, net->cache);
    client.join();
    ASSERT_FALSE(result) << "handshake was accepted";
    c.refused(result.error());
    EXPECT_LT(accept->socket.fd, 0);
    EXPECT_TRUE(closed_seen);
    EXPECT_EQ(net->cache.entries.size(), c.cache_entries);
  }

  // The listener and the router's shared state are unharmed: an honest peer still gets in.
  auto links = connect_pair(*net);
  ASSERT_TRUE(links) << to_string(links.error());
}

TEST(Ntcp2Handshake, ResponderAcceptsTheEdgesOfTheRules) {
  struct Case {
    const char* name;
    std::function<void(ntcp2::SessionRequestOptions&)> change;
    std::size_t pad;
    bool one_byte_at_a_time;
  };
  std::vector<Case> cases = {
      {"clock 60 s ahead", [](auto& o) { o.timestamp += 60; }, 16, false},
      {"no padding in message 1", {}, 0, false},
      {"message 1 one byte at a time", {}, 16, true},
  };
  auto net = make_net();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawPeer peer{connect_to(net->listener.port), *ntcp2::Ntcp2Handshake::new_initiator(
                                                     net->initiator.static_keys, net->responder.static_keys.public_key,
                                                     net->responder.hash.view(), net->responder.iv)};
    peer.hs.local_ephemeral = ntcp2_test::random_key_pair();
    const Blocks frame = {Ntcp2Block::DateTime{42}};
    bool ok = false;
    std::jthread client([&] {
      const Bytes m1 = request(peer, net->initiator, c.change, c.pad);
      if (c.one_byte_at_a_time) {
        for (std::uint8_t b : m1) {
          if (!peer.send(ByteView(&b, 1))) return;
          ::usleep(200);
        }
      } else if (!peer.send(m1)) {
        return;
      }
      if (!created(peer)) return;
      // Message 3 and the first data frame leave in one segment.
      Bytes m3 = *peer.hs.write_session_confirmed(own_blocks(net->initiator));
      auto session = *peer.hs.into_data_session();
      const Bytes f = *ntcp2::seal_frame(session, *ntcp2::encode_blocks(frame));
      m3.insert(m3.end(), f.begin(), f.end());
      ok = peer.send(m3);
    });
    auto accept = accept_one(*net);
    ASSERT_TRUE(accept);
    auto conn = drive(*accept, net->cache);
    client.join();
    ASSERT_TRUE(ok);
    ASSERT_TRUE(conn) << to_string(conn.error());
    // The frame that came with message 3 was carried into the link.
    auto got = conn->recv_blocks_nb(read_now());
    ASSERT_TRUE(got && *got);
    EXPECT_EQ(**got, frame);
  }
}

// Extra NTCP2 addresses whose "s" is no 32-byte key are not compared against the proven
// static key; the address that names it vouches for the RouterInfo.
TEST(Ntcp2Handshake, ResponderIgnoresAddressesWhoseStaticKeyIsNoKey) {
  auto net = make_net();
  TestRouter r = net->initiator;
  common::RouterAddress not_base64 = ntcp2_test::ntcp2_address("127.0.0.3", 3, Bytes(32, 7), r.iv);
  not_base64.options = common::Mapping::from_entries({{"host", "127.0.0.3"}, {"port", "3"}, {"s", "*not*"}});
  r.info.addresses.push_back(not_base64);
  r.info.addresses.push_back(ntcp2_test::ntcp2_address("127.0.0.4", 4, Bytes(31, 7), r.iv));
  r.sign();
  const Blocks sent = own_blocks(r);

  RawPeer peer{connect_to(net->listener.port),
               *ntcp2::Ntcp2Handshake::new_initiator(net->initiator.static_keys, net->responder.static_keys.public_key,
                                                     net->responder.hash.view(), net->responder.iv)};
  ASSERT_GE(peer.fd, 0);
  peer.hs.local_ephemeral = ntcp2_test::random_key_pair();
  std::jthread client([&] { full(peer, net->initiator, sent); });
  auto accept = accept_one(*net);
  ASSERT_TRUE(accept);
  auto conn = drive(*accept, net->cache);
  client.join();
  ASSERT_TRUE(conn) << to_string(conn.error());
  EXPECT_EQ(conn->session.remote_static, net->initiator.static_keys.public_key);
  EXPECT_EQ(*conn->peer_info.to_bytes(), sent.front().get_if<Ntcp2Block::RouterInfo>()->data);
}

TEST(Ntcp2Handshake, ReplayedSessionRequestIsRefused) {
  auto net = make_net();
  Bytes recorded;
  for (int attempt = 0; attempt < 2; ++attempt) {
    RawPeer peer{connect_to(net->listener.port), *ntcp2::Ntcp2Handshake::new_initiator(
                                                     net->initiator.static_keys, net->responder.static_keys.public_key,
                                                     net->responder.hash.view(), net->responder.iv)};
    peer.hs.local_ephemeral = ntcp2_test::random_key_pair();
    std::jthread client([&] {
      if (attempt == 0) {
        recorded = request(peer, net->initiator);
        peer.send(recorded);
        (void)peer.recv_exact(80);  // message 2 proves the first one passed
        ::shutdown(peer.fd, SHUT_WR);
      } else {
        peer.send(recorded);
      }
      (void)peer.sees_close();
    });
    auto accept = accept_one(*net);
    ASSERT_TRUE(accept);
    auto result = drive(*accept, net->cache);
    client.join();
    ASSERT_FALSE(result);
    if (attempt == 0) {
      EXPECT_TRUE(result.error().is(NetError::Closed));
    } else {
      expect_protocol(result.error(), Ntcp2Error::Replay);
    }
    EXPECT_EQ(net->cache.entries.size(), 1u);
  }
}

// ---- the initiator against forged responders ----

struct OutboundCase {
  const char* name;
  bool check_clock_skew;
  std::int64_t skew_s;                        // added to the responder's timestamp
  std::uint16_t pad;                          // SessionCreated padding length
  int mode;                                   // 0 honest, 1 bad MAC, 2 cut, 3 head in 8-byte pieces
  std::function<void(const Error&)> refused;  // empty: must succeed
};

TEST(Ntcp2Handshake, InitiatorAgainstForgedResponders) {
  std::vector<OutboundCase> cases = {
      {"clock 60 s ahead passes", true, 60, 16, 0, {}},
      {"clock 61 s behind fails", true, -61, 16, 0, [](const Error& e) { expect_protocol(e, Ntcp2Error::ClockSkew); }},
      {"clock check off", false, -3600, 16, 0, {}},
      {"no padding in message 2", true, 0, 0, 0, {}},
      {"head in 8-byte pieces", true, 0, 16, 3, {}},
      {"bad MAC in message 2", true, 0, 16, 1, [](const Error& e) { expect_protocol(e, Ntcp2Error::Noise); }},
      {"cut inside message 2", true, 0, 16, 2, [](const Error& e) { EXPECT_TRUE(e.is(NetError::Closed)); }},
  };
  auto net = make_net();
  for (const OutboundCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto dial =
        PendingNtcp2Dial::start(*extract_ntcp2_peer(net->responder.info), net->responder.info,
                                net->initiator.static_keys, net->initiator.info, c.check_clock_skew, read_now());
    ASSERT_TRUE(dial);
    EXPECT_EQ(dial->msg1.size(), 80u);
    bool got_msg3 = false;
    std::jthread server([&] {
      auto s = net->listener.accept(3000);
      if (!s || !*s) return;
      RawPeer peer{(*s)->fd, *ntcp2::Ntcp2Handshake::new_responder(net->responder.static_keys,
                                                                   net->responder.hash.view(), net->responder.iv)};
      (*s)->fd = -1;
      peer.hs.local_ephemeral = ntcp2_test::random_key_pair();
      auto m1 = peer.recv_exact(80);
      if (!m1) return;
      auto req = peer.hs.read_session_request_head(ByteView(*m1).first(64));
      if (!req) return;
      (void)peer.hs.finish_read_session_request(ByteView(*m1).subspan(64));
      const std::uint64_t at = static_cast<std::uint64_t>(static_cast<std::int64_t>(now_ms()) + c.skew_s * 1000);
      Bytes m2 = *peer.hs.write_session_created(Bytes(c.pad, 3), at);
      if (c.mode == 1) m2[50] ^= 1;
      if (c.mode == 2) {
        peer.send(ByteView(m2).first(30));
        ::shutdown(peer.fd, SHUT_WR);
        (void)peer.sees_close();
        return;
      }
      if (c.mode == 3) {
        for (std::size_t i = 0; i < m2.size(); i += 8) {
          peer.send(ByteView(m2).subspan(i, std::min<std::size_t>(8, m2.size() - i)));
          ::usleep(2000);
        }
      } else {
        peer.send(m2);
      }
      auto m3 = peer.recv_exact(48 + static_cast<std::size_t>(peer.hs.m3p2_len));
      got_msg3 = m3 && peer.hs.read_session_confirmed(*m3).has_value();
      if (!got_msg3) (void)peer.sees_close();
    });
    auto result = drive(*dial);
    server.join();
    if (c.refused) {
      ASSERT_FALSE(result);
      c.refused(result.error());
      EXPECT_LT(dial->socket.fd, 0);
    } else {
      ASSERT_TRUE(result) << to_string(result.error());
      EXPECT_TRUE(got_msg3);
      EXPECT_EQ(result->peer_info, net->responder.info);
    }
  }
}

TEST(Ntcp2Handshake, DialRefusedConnectionFails) {
  auto net = make_net();
  Ntcp2Peer peer = *extract_ntcp2_peer(net->responder.info);
  net->listener.close();
  auto dial = PendingNtcp2Dial::start(peer, net->responder.info, net->initiator.static_keys, net->initiator.info, true,
                                      read_now());
  if (!dial) {
    EXPECT_TRUE(dial.error().is(NetError::Io));
    return;
  }
  auto r = drive(*dial);
  ASSERT_FALSE(r);
  EXPECT_TRUE(r.error().is(NetError::Io));
  EXPECT_TRUE(r.error().message().starts_with("non-blocking connect failed: ")) << to_string(r.error());
}

// ---- the replay cache ----

TEST(Ntcp2ReplayCache, WindowAndCapacity) {
  ReplayCache cache;
  const Bytes k1(32, 1), k2(32, 2);
  EXPECT_FALSE(cache.seen_or_record(k1, 1000));
  EXPECT_TRUE(cache.seen_or_record(k1, 1000));
  EXPECT_TRUE(cache.seen_or_record(k1, 1120));   // 120 s later: still live
  EXPECT_FALSE(cache.seen_or_record(k1, 1121));  // 121 s: expired, dropped, recorded anew
  EXPECT_EQ(cache.entries.size(), 1u);
  EXPECT_EQ(cache.entries.front().second, 1121u);
  EXPECT_FALSE(cache.seen_or_record(k2, 1121));

  ReplayCache full;
  for (int i = 0; i < 1024; ++i) {
    Bytes k(32, 0);
    k[0] = static_cast<std::uint8_t>(i);
    k[1] = static_cast<std::uint8_t>(i >> 8);
    ASSERT_FALSE(full.seen_or_record(k, 500));
  }
  EXPECT_EQ(full.entries.size(), 1024u);
  EXPECT_FALSE(full.seen_or_record(Bytes(32, 0xff), 500));
  EXPECT_EQ(full.entries.size(), 1024u);
  EXPECT_FALSE(full.seen_or_record(Bytes(32, 0), 500));  // the oldest was evicted
  EXPECT_TRUE(full.seen_or_record(Bytes(32, 0xff), 500));
}

}  // namespace
}  // namespace ntcp2_net
