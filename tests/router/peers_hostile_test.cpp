// Peers that try to exhaust the router: one identity connecting again and again, more
// connections than the router holds, connections that reach into the descriptors kept for
// the router's own needs, and frames that never complete or do not authenticate. The
// hostile peer is built from the project's own handshake code with an identity of its own;
// every bound is read from the router record.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "ntcp2/frame.h"
#include "ntcp2_net/clock.h"
#include "ntcp2_net/glue.h"
#include "ntcp2_net/pending_dial.h"
#include "router/router.h"
#include "tests/router/peers_test_util.h"
#include "tests/support/test_network.h"

namespace router {
namespace {

using ntcp2_net::Now;
using ntcp2_net::read_now;
using peers_test::database_store_of;
using peers_test::hash_of;
using peers_test::kLimitMs;
using peers_test::make_network;
using peers_test::reference_router_info;
using peers_test::wait_accept_queue;
using peers_test::wait_readable_bytes;
using test_support::TestNetwork;

// n handshakes with the target at once, made with the keys and RouterInfo of `from` (which
// is never stepped itself), while the target's peer management runs. Gives the links that
// finished on the dialling side, once the target has no handshake left in progress. Every
// step gets the same instant, so no handshake limit fires however slow the machine is; the
// wall-time limit only ends a test that went wrong.
std::vector<ntcp2_net::Ntcp2Conn> handshakes(Router& target, const Router& from, int n) {
  std::vector<ntcp2_net::Ntcp2Conn> done;
  const auto peer = ntcp2_net::extract_ntcp2_peer(target.router_info);
  if (!peer) {
    ADD_FAILURE() << to_string(peer.error());
    return done;
  }
  std::vector<ntcp2_net::PendingNtcp2Dial> dials;
  for (int i = 0; i < n; ++i) {
    auto dial = ntcp2_net::PendingNtcp2Dial::start(*peer, target.router_info, from.static_keypair, from.router_info,
                                                   true, read_now());
    if (!dial) {
      ADD_FAILURE() << to_string(dial.error());
      return done;
    }
    dials.push_back(std::move(*dial));
  }
  const Now now = read_now();
  const std::uint64_t deadline = now.mono_ms + 60000;
  while ((!dials.empty() || !target.pending_accepts.empty()) && read_now().mono_ms < deadline) {
    target.step_ntcp2_peers(now);
    std::erase_if(dials, [&](ntcp2_net::PendingNtcp2Dial& dial) {
      auto stepped = dial.step(now);
      if (stepped && !*stepped) return false;
      if (stepped) done.push_back(std::move(**stepped));
      return true;
    });
  }
  return done;
}

// A plain TCP connection to the router's NTCP2 port that never says anything.
int connect_silently(const Router& r) {
  const std::string host = "127.0.0.2";
  return ondrel_i2p_net_tcp_connect_nb(reinterpret_cast<const std::uint8_t*>(host.data()),
                                       static_cast<std::int32_t>(host.size()), r.ntcp2_listener.port);
}

// A silent connection that the router has taken from its listener in one pass (kept or
// refused); the caller holds its end.
ntcp2_net::TcpSocket arrive(Router& r) {
  ntcp2_net::TcpSocket client(connect_silently(r));
  EXPECT_GE(client.fd, 0);
  EXPECT_TRUE(wait_accept_queue(r.ntcp2_listener.fd, 1));
  r.step_ntcp2_peers(read_now());
  return client;
}

// True when the other end closed the connection (within 2 s).
bool closed_by_peer(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, 2000) != 1) return false;
  char byte = 0;
  return ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0 || (p.revents & (POLLHUP | POLLERR)) != 0;
}

// The lowest descriptor the system would hand out next.
int next_descriptor() {
  const int fd = ::dup(0);
  if (fd >= 0) ::close(fd);
  return fd;
}

// An identity that connects again and again holds one session: each newer one replaces the
// older, whose socket the router closes.
TEST(HostilePeers, OneIdentityConnectingAgainAndAgainHoldsOneSession) {
  TestNetwork net;
  ASSERT_NO_FATAL_FAILURE(make_network(net, 2));
  Router& r = net[0];
  std::vector<ntcp2_net::Ntcp2Conn> links = handshakes(r, net[1], 20);
  ASSERT_EQ(links.size(), 20u);
  EXPECT_TRUE(r.pending_accepts.empty());
  ASSERT_EQ(r.peer_sessions.size(), 1u);
  EXPECT_EQ(r.peer_sessions[0].peer, net.hash(1));
  EXPECT_TRUE(r.peer_sessions[0].inbound);

  // Nineteen links were closed by the router; the one it kept still carries messages.
  std::vector<std::size_t> open;
  for (std::size_t i = 0; i < links.size(); ++i) {
    if (!closed_by_peer(links[i].socket.fd)) open.push_back(i);
  }
  ASSERT_EQ(open.size(), 1u);
  const auto info = reference_router_info("ff-127.0.0.2.dat");
  ASSERT_TRUE(links[open[0]].send_i2np_nb(1, 0xFFFFFFFF, database_store_of(info), read_now()));
  ASSERT_TRUE(wait_readable_bytes(r.peer_sessions[0].conn.socket.fd, 1));
  r.step_ntcp2_peers(read_now());
  EXPECT_NE(r.netdb.get_router_info(hash_of(info)), nullptr);
}

// The replacement goes by direction: when two routers dial each other at once, both links
// stand and both carry messages, so neither side closes the link the other kept.
TEST(HostilePeers, EachDirectionOfAPeerHoldsOneSession) {
  TestNetwork net;
  ASSERT_NO_FATAL_FAILURE(make_network(net, 2));
  net[0].ensure_peer_dial(net.hash(1), read_now());
  net[1].ensure_peer_dial(net.hash(0), read_now());
  ASSERT_TRUE(net.run_until([&] { return net[0].peer_sessions.size() == 2 && net[1].peer_sessions.size() == 2; },
                            kLimitMs, TestNetwork::peers_step));
  EXPECT_NE(net[0].peer_sessions[0].inbound, net[0].peer_sessions[1].inbound);
  const auto a = reference_router_info("ff-127.0.0.2.dat");
  const auto b = reference_router_info("plain-127.0.0.3.dat");
  net[1].send_i2np_to_peer(net.hash(0), database_store_of(a), read_now());
  net[0].send_i2np_to_peer(net.hash(1), database_store_of(b), read_now());
  EXPECT_TRUE(net.run_until(
      [&] {
        return net[0].netdb.get_router_info(hash_of(a)) != nullptr &&
               net[1].netdb.get_router_info(hash_of(b)) != nullptr;
      },
      kLimitMs, TestNetwork::peers_step));

  // Another connection made with router 1's identity replaces only the inbound session.
  const int outbound_fd = net[0].peer_sessions[net[0].peer_sessions[0].inbound ? 1 : 0].conn.socket.fd;
  ASSERT_EQ(handshakes(net[0], net[1], 1).size(), 1u);
  ASSERT_EQ(net[0].peer_sessions.size(), 2u);
  EXPECT_FALSE(net[0].peer_sessions[0].inbound);
  EXPECT_EQ(net[0].peer_sessions[0].conn.socket.fd, outbound_fd);
  EXPECT_TRUE(net[0].peer_sessions[1].inbound);
}

// Sessions and handshakes together stay within 512: the connection that would be the 513th
// link is closed at accept, and no dial starts. Sessions of 512 identities are stood in by
// records without sockets, which the router drops in the same pass, after its accepts.
TEST(HostilePeers, TheFiveHundredThirteenthLinkIsRefusedAtAccept) {
  TestNetwork net;
  ASSERT_NO_FATAL_FAILURE(make_network(net, 2));
  Router& r = net[0];
  auto fill = [&](std::size_t links) {
    r.peer_sessions.clear();
    for (std::size_t i = 0; i < links - r.pending_accepts.size(); ++i) {
      common::Hash peer{};
      peer.bytes[0] = static_cast<std::uint8_t>(i);
      peer.bytes[1] = static_cast<std::uint8_t>(i >> 8);
      r.peer_sessions.push_back(PeerSession{peer, ntcp2_net::Ntcp2Conn{}, read_now().mono_ms, true, 0});
    }
  };

  fill(kMaxNtcp2Links);
  r.ensure_peer_dial(net.hash(1), read_now());
  EXPECT_TRUE(r.pending_dials.empty());
  const ntcp2_net::TcpSocket refused = arrive(r);
  EXPECT_TRUE(r.pending_accepts.empty());
  EXPECT_TRUE(closed_by_peer(refused.fd));

  fill(kMaxNtcp2Links - 1);
  const ntcp2_net::TcpSocket taken = arrive(r);
  EXPECT_EQ(r.pending_accepts.size(), 1u);
  fill(kMaxNtcp2Links);
  r.ensure_peer_dial(net.hash(1), read_now());
  EXPECT_EQ(r.pending_dials.size(), 0u) << "512 links with the handshake: no dial";
  fill(kMaxNtcp2Links - 1);
  r.ensure_peer_dial(net.hash(1), read_now());
  EXPECT_EQ(r.pending_dials.size(), 1u);
  r.peer_sessions.clear();
}

// An inbound connection never keeps a descriptor of the reserve: one that lands there takes
// the place of the oldest handshake, or is closed when there is none.
TEST(HostilePeers, AConnectionInTheDescriptorReserveOnlyReplacesTheOldestHandshake) {
  TestNetwork net;
  ASSERT_NO_FATAL_FAILURE(make_network(net, 1));
  Router& r = net[0];

  // Every descriptor from the next free one up lies in the reserve.
  r.descriptor_limit = next_descriptor() + kDescriptorReserve;
  const ntcp2_net::TcpSocket refused = arrive(r);
  EXPECT_TRUE(r.pending_accepts.empty());
  EXPECT_TRUE(closed_by_peer(refused.fd));

  // Outside the reserve a handshake starts; the next connection, in the reserve, replaces it.
  r.descriptor_limit = 0;
  const ntcp2_net::TcpSocket first = arrive(r);
  ASSERT_EQ(r.pending_accepts.size(), 1u);
  const int first_fd = r.pending_accepts[0].socket.fd;
  r.descriptor_limit = next_descriptor() + kDescriptorReserve;
  ntcp2_net::TcpSocket second = arrive(r);
  ASSERT_EQ(r.pending_accepts.size(), 1u);
  EXPECT_NE(r.pending_accepts[0].socket.fd, first_fd);
  EXPECT_GE(r.pending_accepts[0].socket.fd, r.descriptor_limit - kDescriptorReserve);
  EXPECT_TRUE(closed_by_peer(first.fd));
  EXPECT_FALSE(closed_by_peer(second.fd));

  // Closed links leave holes below, so the count of what the router holds decides too: with
  // room for exactly one more link outside the reserve, a low descriptor number does not let
  // a second one in beside it.
  second.close();
  r.step_ntcp2_peers(read_now());  // the handshake of `second` fails on its close
  ASSERT_TRUE(r.pending_accepts.empty());
  r.descriptor_limit = 1 << 30;
  r.descriptors_at_start = r.descriptor_limit - kDescriptorReserve - 1;
  const ntcp2_net::TcpSocket third = arrive(r);
  ASSERT_EQ(r.pending_accepts.size(), 1u);
  const ntcp2_net::TcpSocket fourth = arrive(r);
  EXPECT_EQ(r.pending_accepts.size(), 1u);
  EXPECT_TRUE(closed_by_peer(third.fd));
  EXPECT_FALSE(closed_by_peer(fourth.fd));
}

// What a peer sends after the handshake either completes a frame within 10,000 ms of its
// first byte or ends the session; a frame that fails authentication ends it at once.
TEST(HostilePeers, StalledOrForgedFramesEndTheSession) {
  struct Case {
    const char* name;
    std::function<Bytes(ntcp2::Ntcp2DataSession&)> wire;
    std::uint64_t ends_after_ms;  // from the pass that first sees the bytes
  };
  const std::vector<Case> cases = {
      {"1 KB of garbage announcing the largest frame",
       [](ntcp2::Ntcp2DataSession& s) {
         const std::uint16_t m = *s.send_mask.xor_length(65535);
         Bytes wire{static_cast<std::uint8_t>(m >> 8), static_cast<std::uint8_t>(m)};
         for (int i = 0; i < 1022; ++i) wire.push_back(static_cast<std::uint8_t>(i * 37 + 11));
         return wire;
       },
       10001},
      {"the first 102 bytes of a large frame",
       [](ntcp2::Ntcp2DataSession& s) {
         Bytes frame = *ntcp2::seal_frame(s, *ntcp2::encode_blocks({ntcp2::Ntcp2Block::Padding{Bytes(60000, 1)}}));
         frame.resize(102);
         return frame;
       },
       10001},
      {"a whole frame whose tag does not match",
       [](ntcp2::Ntcp2DataSession& s) {
         Bytes frame = *ntcp2::seal_frame(s, *ntcp2::encode_blocks({ntcp2::Ntcp2Block::DateTime{1}}));
         frame[5] ^= 0x40;
         return frame;
       },
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestNetwork net;
    ASSERT_NO_FATAL_FAILURE(make_network(net, 2));
    Router& r = net[0];
    std::vector<ntcp2_net::Ntcp2Conn> links = handshakes(r, net[1], 1);
    ASSERT_EQ(links.size(), 1u);
    ASSERT_EQ(r.peer_sessions.size(), 1u);
    const Bytes wire = c.wire(links[0].session);
    ASSERT_EQ(::send(links[0].socket.fd, wire.data(), wire.size(), 0), static_cast<ssize_t>(wire.size()));
    ASSERT_TRUE(wait_readable_bytes(r.peer_sessions[0].conn.socket.fd, wire.size()));
    const Now t0 = read_now();
    r.step_ntcp2_peers(t0);
    if (c.ends_after_ms == 0) {
      EXPECT_TRUE(r.peer_sessions.empty());
      continue;
    }
    r.step_ntcp2_peers(t0.after(c.ends_after_ms - 1));
    EXPECT_EQ(r.peer_sessions.size(), 1u);
    r.step_ntcp2_peers(t0.after(c.ends_after_ms));
    EXPECT_TRUE(r.peer_sessions.empty());
    EXPECT_TRUE(closed_by_peer(links[0].socket.fd));
  }
}

}  // namespace
}  // namespace router
