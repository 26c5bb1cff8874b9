#include "router/router.h"

#include <gtest/gtest.h>

#include "encoding/text.h"
#include "crypto/ed25519.h"
#include "ntcp2_net/clock.h"
#include "ntcp2_net/glue.h"
#include "ntcp2_net/random.h"
#include "router/own_router_info.h"

#include <unistd.h>

#include <memory>

namespace router {
namespace {

StartOptions loopback_options() {
  StartOptions o;
  o.sam_port = 0;  // any free port
  return o;
}

std::string address_option(const common::RouterInfo& ri, const std::string& key) {
  return ri.addresses.at(0).options.get(key).value_or("<none>");
}

std::vector<std::string> keys_of(const common::Mapping& m) {
  std::vector<std::string> k;
  for (const auto& e : m.entries) k.push_back(e.first);
  return k;
}

TEST(OwnRouterInfo, ReachableAndUnreachableAddresses) {
  const Bytes x(32, 1), ed(32, 2), filler(320, 3), iv(16, 4);
  OwnIdentityKeys keys{x, ed, filler, iv};
  struct Case {
    OwnAddress address;
    std::string caps;
    int cost;
    std::vector<std::string> address_keys;
  };
  const std::vector<Case> cases = {
      {{"127.0.0.1", 1234, false, false}, "LR", 3, {"caps", "host", "i", "port", "s", "v"}},
      {{"127.0.0.1", 1234, true, false}, "LU", 14, {"caps", "s", "v"}},
      {{"0.0.0.0", 1234, true, false}, "LU", 14, {"caps", "s", "v"}},
      {{"203.0.113.5", 1234, true, false}, "LR", 3, {"caps", "host", "i", "port", "s", "v"}},
      {{"127.0.0.1", 1234, true, true}, "LRf", 14, {"caps", "s", "v"}},
      {{"127.0.0.1", 1234, false, true}, "LRf", 3, {"caps", "host", "i", "port", "s", "v"}},
  };
  for (const Case& c : cases) {
    auto ri = build_own_router_info(keys, c.address, 42);
    ASSERT_TRUE(ri);
    EXPECT_EQ(ri->options.entries, (std::vector<std::pair<std::string, std::string>>{
                                       {"caps", c.caps}, {"netId", "2"}, {"router.version", "0.9.64"}}));
    ASSERT_EQ(ri->addresses.size(), 1u);
    EXPECT_EQ(ri->addresses[0].cost, c.cost);
    EXPECT_EQ(ri->addresses[0].transport_style, "NTCP2");
    EXPECT_EQ(ri->addresses[0].expiration, 0u);
    EXPECT_EQ(keys_of(ri->addresses[0].options), c.address_keys);
    EXPECT_EQ(address_option(*ri, "s"), encoding::base64_encode(x));
    if (c.cost == 3) {
      EXPECT_EQ(address_option(*ri, "host"), c.address.host);
      EXPECT_EQ(address_option(*ri, "port"), "1234");
      EXPECT_EQ(address_option(*ri, "i"), encoding::base64_encode(iv));
    }
    EXPECT_EQ(ri->published, 42u);
  }
}

TEST(OwnRouterInfo, IdentityLayoutAndKeyChecks) {
  const Bytes x(32, 1), ed(32, 2), filler(320, 3), iv(16, 4);
  auto ri = build_own_router_info({x, ed, filler, iv}, {"127.0.0.1", 1, false, false}, 0);
  ASSERT_TRUE(ri);
  const auto& kc = ri->identity.keys_and_cert;
  EXPECT_EQ(kc.crypto_public_key(), x);
  EXPECT_EQ(kc.signing_public_key(), ed);
  EXPECT_EQ(kc.keys[32], 3);
  EXPECT_EQ(kc.keys[351], 3);
  EXPECT_EQ(kc.to_bytes().size(), 391u);

  const Bytes short_key(31, 1);
  auto bad = build_own_router_info({short_key, ed, filler, iv}, {"127.0.0.1", 1, false, false}, 0);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().message(), "X25519 public key must be 32 bytes, got 31");
  bad = build_own_router_info({x, short_key, filler, iv}, {"127.0.0.1", 1, false, false}, 0);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().message(), "Ed25519 public key must be 32 bytes, got 31");
}

TEST(RouterStart, OwnSignedRouterInfoFirstInTheNetDb) {
  auto r = Router::start(loopback_options());
  ASSERT_TRUE(r) << to_string(r.error());
  EXPECT_GT(r->ntcp2_listener.port, 0);
  EXPECT_GT(r->sam_listener.port, 0);
  EXPECT_TRUE(r->router_info.verify_signature());
  ASSERT_EQ(r->netdb.router_infos().size(), 1u);
  EXPECT_EQ(r->netdb.router_infos()[0].hash, r->router_hash());
  EXPECT_EQ(address_option(r->router_info, "port"), std::to_string(r->ntcp2_listener.port));
  EXPECT_EQ(address_option(r->router_info, "i"), encoding::base64_encode(r->ntcp2_iv));
  EXPECT_EQ(r->router_info.options.get("caps"), "LR");
  EXPECT_EQ(r->next_msg_id & 1u, 1u);
  EXPECT_GE(r->next_tunnel_id, 10000u);
  EXPECT_GE(r->next_stream_id_seed, 100u);
  const std::uint64_t now = ntcp2_net::read_now().wall_ms;
  EXPECT_LE(r->router_info.published, now);
  EXPECT_GT(r->router_info.published + 60000, now);
}

TEST(RouterStart, HopsAreClampedAndFlagsKept) {
  StartOptions o = loopback_options();
  o.hops = 9;
  o.check_clock_skew = false;
  o.debug = true;
  auto r = Router::start(o);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->tunnel_hops, 4);
  EXPECT_FALSE(r->check_clock_skew);
  EXPECT_TRUE(r->debug);
}

TEST(RouterStart, TakenSamPortFailsAndFreesTheNtcp2Port) {
  auto first = Router::start(loopback_options());
  ASSERT_TRUE(first);
  StartOptions o = loopback_options();
  o.sam_port = static_cast<std::uint16_t>(first->sam_listener.port);
  auto ntcp2_probe = ntcp2_net::TcpListener::bind("127.0.0.1", 0);
  ASSERT_TRUE(ntcp2_probe);
  o.ntcp2_port = static_cast<std::uint16_t>(ntcp2_probe->port);
  ntcp2_probe->close();

  auto second = Router::start(o);
  ASSERT_FALSE(second);
  EXPECT_TRUE(second.error().is(RouterError::Net));
  EXPECT_TRUE(ntcp2_net::TcpListener::bind("127.0.0.1", o.ntcp2_port).has_value());
}

// A connected client socket to a local port, by the platform glue.
int connect_to(int port) {
  const std::string host = "127.0.0.1";
  return ondrel_i2p_net_tcp_connect(reinterpret_cast<const std::uint8_t*>(host.data()),
                                    static_cast<std::int32_t>(host.size()), port);
}

TEST(RouterStep, AcceptsSamClientsAndKeepsThem) {
  auto r = Router::start(loopback_options());
  ASSERT_TRUE(r);
  r->step(ntcp2_net::read_now());  // nothing to do: waits for a client and returns
  EXPECT_TRUE(r->sam_clients.empty());
  const int a = connect_to(r->sam_listener.port);
  const int b = connect_to(r->sam_listener.port);
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  for (int i = 0; i < 20 && r->sam_clients.size() < 2; ++i) r->step(ntcp2_net::read_now());
  ASSERT_EQ(r->sam_clients.size(), 2u);
  EXPECT_FALSE(r->sam_clients[0].closed);
  EXPECT_GE(r->sam_clients[0].socket.fd, 0);
  ondrel_i2p_net_tcp_close(a);
  ondrel_i2p_net_tcp_close(b);
}

TEST(RouterClose, ClosesEverySocketAndKeepsTheLists) {
  auto r = Router::start(loopback_options());
  ASSERT_TRUE(r);
  const int c = connect_to(r->sam_listener.port);
  for (int i = 0; i < 20 && r->sam_clients.empty(); ++i) r->step(ntcp2_net::read_now());
  ASSERT_EQ(r->sam_clients.size(), 1u);
  auto proxy = ntcp2_net::TcpListener::bind("127.0.0.1", 0);
  ASSERT_TRUE(proxy);
  r->http_proxy_listener = std::move(*proxy);
  r->remote_bridges.push_back({});
  r->remote_bridges.back().removed = true;

  r->close();
  EXPECT_EQ(r->sam_listener.fd, -1);
  EXPECT_EQ(r->ntcp2_listener.fd, -1);
  EXPECT_FALSE(r->http_proxy_listener.has_value());
  ASSERT_EQ(r->sam_clients.size(), 1u);
  EXPECT_TRUE(r->sam_clients[0].closed);
  EXPECT_EQ(r->sam_clients[0].socket.fd, -1);
  EXPECT_EQ(r->remote_bridges.size(), 1u);
  ondrel_i2p_net_tcp_close(c);
  r->step(ntcp2_net::read_now());  // a closed router's pass reopens nothing
  EXPECT_EQ(r->sam_listener.fd, -1);
  EXPECT_EQ(r->ntcp2_listener.fd, -1);
  EXPECT_TRUE(r->sam_clients.empty());  // the closed client is forgotten
  EXPECT_TRUE(r->pending_accepts.empty());
}

// True once the far end has hung up, waiting at most wait_ms for it.
bool sees_eof(int fd, int wait_ms) {
  std::uint8_t byte = 0;
  return ondrel_i2p_net_tcp_poll_readable(fd, wait_ms) == 1 && ondrel_i2p_net_tcp_recv_nb(fd, &byte, 1) == 0;
}

// Connections that never speak are held at most 64 at a time per listener: the oldest is
// closed for a newcomer, so they cannot use up the process's descriptors.
TEST(RouterStep, SilentConnectionsAreHeldAtMostSixtyFourAtATime) {
  struct Case {
    const char* name;
    bool sam;
  };
  for (const Case& c : {Case{"SAM clients", true}, Case{"NTCP2 handshakes", false}}) {
    SCOPED_TRACE(c.name);
    auto r = Router::start(loopback_options());
    ASSERT_TRUE(r);
    auto held = [&] { return c.sam ? r->sam_clients.size() : r->pending_accepts.size(); };
    std::vector<int> clients;
    for (int i = 0; i < 70; ++i) {
      const int fd = connect_to(c.sam ? r->sam_listener.port : r->ntcp2_listener.port);
      ASSERT_GE(fd, 0);
      clients.push_back(fd);
      // Each connection is taken on before the next comes, so they are taken in order.
      const std::size_t want = std::min<std::size_t>(clients.size(), 64);
      for (int pass = 0; pass < 500 && held() < want; ++pass) {
        c.sam ? (void)r->step(ntcp2_net::read_now()) : (void)r->step_ntcp2_peers(ntcp2_net::read_now());
      }
      ASSERT_EQ(held(), want);
    }
    for (int pass = 0; pass < 3; ++pass) r->step_pass(ntcp2_net::read_now());
    EXPECT_EQ(held(), 64u);
    for (std::size_t i = 0; i < clients.size(); ++i) {
      const bool closed_by_router = i < 6;
      EXPECT_EQ(sees_eof(clients[i], closed_by_router ? 2000 : 0), closed_by_router) << i;
      ondrel_i2p_net_tcp_close(clients[i]);
    }
    r->close();
  }
}

tunnel::Tunnel tunnel_through(std::uint8_t hop, std::uint32_t expires_s) {
  tunnel::Tunnel t;
  t.expires_s = expires_s;
  if (hop != 0) {
    tunnel::TunnelHop h;
    h.router.bytes.fill(hop);
    t.hops.push_back(h);
  }
  return t;
}

TEST(PublicMaintenance, RemovesTunnelsThatExpireSoonOrLostTheirHop) {
  auto r = Router::start(loopback_options());
  ASSERT_TRUE(r);
  r->public_mode = true;
  const ntcp2_net::Now now = ntcp2_net::read_now();
  const std::uint32_t now_s = now.wall_s();
  r->tunnels.inbound.push_back(tunnel_through(0, now_s + 600));  // no hops: judged by expiry
  r->tunnels.inbound.push_back(tunnel_through(0, now_s + 20));   // expires within 30 s
  r->tunnels.inbound.push_back(tunnel_through(9, now_s + 600));  // hop without a link
  r->tunnels.outbound.push_back(tunnel_through(0, now_s + 31 + 5));
  r->step_public_bootstrap(now);
  EXPECT_EQ(r->tunnels.inbound.size(), 1u);
  EXPECT_EQ(r->tunnels.inbound[0].expires_s, now_s + 600);
  EXPECT_EQ(r->tunnels.outbound.size(), 1u);
  EXPECT_EQ(r->last_maintenance_ms, now.mono_ms);

  // Not again within 1,500 ms; again after.
  r->tunnels.inbound.push_back(tunnel_through(0, now_s + 1));
  r->step_public_bootstrap(now.after(1499));
  EXPECT_EQ(r->tunnels.inbound.size(), 2u);
  r->step_public_bootstrap(now.after(1500));
  EXPECT_EQ(r->tunnels.inbound.size(), 1u);
}

TEST(PublicMaintenance, KeepalivesToIdleNeighbours) {
  auto r = Router::start(loopback_options());
  ASSERT_TRUE(r);
  r->public_mode = true;
  const ntcp2_net::Now clock = ntcp2_net::read_now();
  const std::uint64_t now = clock.mono_ms;
  const std::uint32_t now_s = clock.wall_s();

  // A live link for peer 7: a loopback connection whose far end the test reads.
  auto far_listener = ntcp2_net::TcpListener::bind("127.0.0.1", 0);
  ASSERT_TRUE(far_listener);
  const int near_fd = connect_to(far_listener->port);
  ASSERT_GE(near_fd, 0);
  auto far = far_listener->accept(1000);
  ASSERT_TRUE(far && *far);

  auto session = [](std::uint8_t peer, std::uint64_t last_activity) {
    PeerSession s;
    s.peer.bytes.fill(peer);
    s.last_activity_ms = last_activity;
    return s;
  };
  r->peer_sessions.push_back(session(5, now - 100000));  // idle, link already closed
  r->peer_sessions.push_back(session(6, now));           // recently active
  r->peer_sessions.push_back(session(7, now - 100000));  // idle, live link
  r->peer_sessions.push_back(session(8, now - 100000));  // idle, but not a neighbouring hop
  r->peer_sessions[2].conn.socket = ntcp2_net::TcpSocket(near_fd);
  r->tunnels.inbound.push_back(tunnel_through(5, now_s + 600));
  r->tunnels.outbound.push_back(tunnel_through(6, now_s + 600));
  r->tunnels.outbound.push_back(tunnel_through(7, now_s + 600));

  r->step_public_bootstrap(clock);

  // The closed link could not take its keep-alive: session gone, peer backed off.
  ASSERT_EQ(r->peer_sessions.size(), 3u);
  EXPECT_EQ(r->peer_sessions[0].peer.bytes[0], 6);
  EXPECT_EQ(r->peer_sessions[0].last_activity_ms, now);
  EXPECT_EQ(r->peer_sessions[1].peer.bytes[0], 7);
  EXPECT_EQ(r->peer_sessions[1].last_activity_ms, now);
  EXPECT_EQ(r->peer_sessions[2].peer.bytes[0], 8);
  EXPECT_EQ(r->peer_sessions[2].last_activity_ms, now - 100000);
  ASSERT_EQ(r->peer_backoff.size(), 1u);
  EXPECT_EQ(r->peer_backoff[0].peer.bytes[0], 5);
  EXPECT_EQ(r->peer_backoff[0].until_ms, now + 60000);

  // One frame went out on the live link. The test link has no data-phase keys, so the frame
  // is the 2-byte length and the Padding block in the clear: type 254, length 4, 4 zeros.
  Bytes received;
  for (int i = 0; i < 100 && received.size() < 9; ++i) {
    auto pumped = (*far)->pump_nonblocking(received, 64);
    ASSERT_TRUE(pumped);
    if (received.size() < 9) usleep(1000);
  }
  ASSERT_EQ(received.size(), 9u);
  EXPECT_EQ(Bytes(received.begin() + 2, received.end()), (Bytes{254, 0, 4, 0, 0, 0, 0}));

  // Its inbound tunnel lost the neighbouring hop's link and is gone; the outbound stay.
  EXPECT_TRUE(r->tunnels.inbound.empty());
  EXPECT_EQ(r->tunnels.outbound.size(), 2u);
}

// A signed RouterInfo of a fresh identity whose NTCP2 address is host:port.
common::RouterInfo peer_info_at(const std::string& host, std::uint16_t port) {
  const Bytes seed = ntcp2_net::random_bytes(32).value();
  const Bytes x25519 = ntcp2_net::random_bytes(32).value();
  const Bytes filler(320, 7);
  const Bytes iv(16, 9);
  const auto ed = crypto::ed25519_public_key(seed).value();
  const Bytes ed_bytes(ed.begin(), ed.end());
  auto info =
      build_own_router_info({x25519, ed_bytes, filler, iv}, {host, port, false, false}, ntcp2_net::read_now().wall_ms);
  if (!info) {
    ADD_FAILURE() << to_string(info.error());
    return {};
  }
  EXPECT_TRUE(sign_router_info(*info, seed));
  return *info;
}

TEST(PublicMaintenance, DialsOnlyWhileFewerThanSixLinksAndDials) {
  // Five dialable peers, each listening on its own loopback address.
  std::vector<ntcp2_net::TcpListener> listeners;
  std::vector<common::RouterInfo> peers;
  for (int i = 0; i < 5; ++i) {
    const std::string host = "127.0.0." + std::to_string(40 + i);
    auto listener = ntcp2_net::TcpListener::bind(host, 0);
    ASSERT_TRUE(listener) << host;
    peers.push_back(peer_info_at(host, static_cast<std::uint16_t>(listener->port)));
    listeners.push_back(std::move(*listener));
  }
  const common::Hash first_peer = peers[0].identity.keys_and_cert.hash();

  struct Case {
    std::size_t sessions;
    std::size_t dials;
    bool first_peer_linked;  // the first session is with peers[0], which must not be dialled again
    std::size_t new_dials;
  };
  const Case cases[] = {
      {5, 1, false, 0}, {2, 1, false, 3}, {2, 1, true, 3}, {0, 0, false, 5},  // six wanted, five known
  };
  for (const Case& c : cases) {
    auto r = Router::start(loopback_options());
    ASSERT_TRUE(r);
    r->public_mode = true;
    r->dial_reserved_addresses = true;  // the peers listen on 127.0.0.x
    for (const auto& info : peers) ASSERT_TRUE(r->netdb.store_router_info(info));
    for (std::size_t i = 0; i < c.sessions; ++i) {
      PeerSession s;
      s.peer.bytes.fill(static_cast<std::uint8_t>(0xA0 + i));
      if (i == 0 && c.first_peer_linked) s.peer = first_peer;
      s.last_activity_ms = ntcp2_net::read_now().mono_ms;
      r->peer_sessions.push_back(std::move(s));
    }
    for (std::size_t i = 0; i < c.dials; ++i) {
      PendingPeerDial d;
      d.peer.bytes.fill(static_cast<std::uint8_t>(0xB0 + i));
      r->pending_dials.push_back(std::move(d));
    }
    // Two inbound builds under way keep the build policy from starting one through the
    // linked peer, whose stand-in session has no socket: its build message would dial.
    r->pending_builds.resize(2);

    r->step_public_bootstrap(ntcp2_net::read_now());

    EXPECT_EQ(r->pending_dials.size(), c.dials + c.new_dials) << c.sessions << "+" << c.dials;
    if (c.first_peer_linked) {
      for (std::size_t i = c.dials; i < r->pending_dials.size(); ++i) EXPECT_NE(r->pending_dials[i].peer, first_peer);
    }
  }
}

}  // namespace
}  // namespace router

namespace router {
namespace {

// A router record may be moved while an inbound handshake is in progress: the handshake
// must keep using the replay cache of the record it now lives in, not the one it was
// started in (which is gone).
TEST(RouterMove, InboundHandshakeFinishesInTheMovedRecord) {
  StartOptions dialler_options = loopback_options();
  dialler_options.ntcp2_host = "127.0.0.2";
  auto dialler = Router::start(dialler_options);
  ASSERT_TRUE(dialler);
  auto first = std::make_unique<Router>(*Router::start(loopback_options()));
  const auto target = ntcp2_net::extract_ntcp2_peer(first->router_info);
  ASSERT_TRUE(target);
  auto dial = ntcp2_net::PendingNtcp2Dial::start(*target, first->router_info, dialler->static_keypair,
                                                 dialler->router_info, true, ntcp2_net::read_now());
  ASSERT_TRUE(dial);
  // The connection is accepted before the dialler sends anything, so the handshake's checks
  // (the replay cache among them) all run after the move.
  for (int i = 0; i < 2000 && first->pending_accepts.empty(); ++i) first->step_ntcp2_peers(ntcp2_net::read_now());
  ASSERT_EQ(first->pending_accepts.size(), 1u);
  ASSERT_TRUE(first->ntcp2_replay_cache.entries.empty());

  Router moved = std::move(*first);
  first.reset();

  std::optional<ntcp2_net::Ntcp2Conn> link;  // the dialler's end, kept open
  const std::uint64_t deadline = ntcp2_net::read_now().mono_ms + 5000;
  while ((!link || moved.peer_sessions.empty()) && ntcp2_net::read_now().mono_ms < deadline) {
    const ntcp2_net::Now now = ntcp2_net::read_now();
    if (!link) {
      auto stepped = dial->step(now);
      ASSERT_TRUE(stepped) << to_string(stepped.error());
      if (*stepped) link.emplace(std::move(**stepped));
    }
    moved.step_ntcp2_peers(now);
  }
  ASSERT_TRUE(link);
  ASSERT_EQ(moved.peer_sessions.size(), 1u);
  EXPECT_EQ(moved.peer_sessions[0].peer, dialler->router_hash());
  EXPECT_EQ(moved.ntcp2_replay_cache.entries.size(), 1u);
  moved.close();
  dialler->close();
}

}  // namespace
}  // namespace router
