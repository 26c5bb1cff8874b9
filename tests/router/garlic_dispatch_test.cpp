// Garlic on one router: the order in which its openers are tried, what the answer to an own
// lookup and a client session's garlic may carry, the two passes over a session's cloves,
// and public mode, where sessions open garlic only out of an own inbound tunnel.
#include <gtest/gtest.h>

#include "ratchet/lookup_reply.h"
#include "router/router.h"
#include "tests/router/dispatch_test_util.h"
#include "tests/router/peers_test_util.h"
#include "tests/support/test_network.h"

namespace router {
namespace {

using dispatch_test::clove;
using dispatch_test::contains;
using dispatch_test::debug_network;
using dispatch_test::dispatch_captured;
using dispatch_test::garlic_probe;
using dispatch_test::header_of;
using dispatch_test::in_tunnel_gateway;
using dispatch_test::now_s;
using dispatch_test::probe_line;
using dispatch_test::random_of;
using dispatch_test::router_random;
using dispatch_test::store_of;
using dispatch_test::TestDestination;
using ntcp2_net::read_now;
using peers_test::database_store_of;
using peers_test::hash_of;
using peers_test::reference_router_info;
using test_support::TestNetwork;
using P = i2np::I2npPayload;

const Arrival kOverLink{std::nullopt, MessageOrigin::Direct, 0};
const Arrival kOutOfInbound{std::nullopt, MessageOrigin::OwnInbound, 1};

struct OneTimeSeal {
  std::array<std::uint8_t, 32> key{};
  std::array<std::uint8_t, 8> tag{};

  static OneTimeSeal create() {
    OneTimeSeal s;
    const Bytes k = random_of(32), t = random_of(8);
    std::copy(k.begin(), k.end(), s.key.begin());
    std::copy(t.begin(), t.end(), s.tag.begin());
    return s;
  }
  P seal(const ratchet::RatchetBlocks& blocks) const {
    auto sealed = ratchet::encrypt_ecies_lookup_reply(key, tag, blocks);
    EXPECT_TRUE(sealed);
    return P{P::Garlic{sealed.value_or(Bytes{})}};
  }
  PendingNetDbLookup lookup() const {
    PendingNetDbLookup l;
    l.replies = {ReplySeal{key, tag}};
    return l;
  }
};

// A client destination hosted on the router under test ("mine") and a remote one that
// sends it garlic.
struct HostedDestination {
  TestDestination mine = TestDestination::create();
  TestDestination peer = TestDestination::create();
  ratchet::RatchetSessionManager sender = ratchet::RatchetSessionManager::create(peer.encryption);

  // Garlic from the remote destination to mine, carrying the blocks.
  Bytes garlic(const ratchet::RatchetBlocks& blocks) {
    auto sealed = sender.encrypt_to_peer(mine.encryption.public_key, blocks, now_s(), router_random());
    EXPECT_TRUE(sealed);
    return sealed.value_or(Bytes{});
  }
};

TEST(GarlicOrder, ABuildReplyTagIsTriedBeforeLookupTags) {
  TestNetwork net = debug_network(1);
  Router& r = net[0];
  const TestDestination dest = TestDestination::create();
  const P store = store_of(dest.lease_set(net.hash(0), 5, now_s()));
  // A build and a lookup that would both open the same garlic.
  const OneTimeSeal seal = OneTimeSeal::create();
  PendingTunnelBuild build;
  build.msg_id = 4711;
  build.garlic_reply_key = seal.key;
  build.garlic_reply_tag = seal.tag;
  r.pending_builds.push_back(build);
  r.pending_lookups.push_back(seal.lookup());
  const P garlic = seal.seal({clove(store)});

  (void)dispatch_captured(r, kOutOfInbound, garlic);
  EXPECT_EQ(r.netdb.get_lease_set2(dest.hash(), now_s()), nullptr);  // the build took it

  r.pending_builds.clear();
  const std::string out = dispatch_captured(r, kOutOfInbound, garlic);
  EXPECT_NE(r.netdb.get_lease_set2(dest.hash(), now_s()), nullptr) << out;
  EXPECT_EQ(r.pending_lookups.size(), 1u);  // its answer, not its garlic, completes a lookup
}

TEST(GarlicOrder, ALookupReplyCarriesOnlyAnswers) {
  TestNetwork net = debug_network(2);
  Router& r = net[0];
  const TestDestination dest = TestDestination::create();
  const OneTimeSeal seal = OneTimeSeal::create();
  r.pending_lookups.push_back(seal.lookup());
  P acked = store_of(dest.lease_set(net.hash(0), 5, now_s()), 9);
  std::get<P::DatabaseStore>(acked.value).reply_gateway = net.hash(1);
  const P lookup{P::DatabaseLookup{dest.hash(), net.hash(1), 0, std::nullopt, {}, std::nullopt, {}}};
  const P search{P::DatabaseSearchReply{dest.hash(), {net.hash(1)}, net.hash(1)}};
  const P probe = garlic_probe(30);

  const std::string out =
      dispatch_captured(r, kOutOfInbound, seal.seal({clove(acked), clove(lookup), clove(search), clove(probe)}));
  EXPECT_EQ(out, "[debug] NetDB DatabaseStore type=3 stored=true key=" + dest.hash().to_b32_address() +
                     " (len=" + std::to_string(std::get<P::DatabaseStore>(acked.value).data.size()) +
                     ")\n"
                     "[debug] I2NP message type=2 from lookup reply dropped\n"
                     "[debug] NetDB DatabaseSearchReply key=" +
                     dest.hash().to_b32_address() + " refs=1 from=" + net.hash(1).to_b32_address() +
                     "\n"
                     "[debug] I2NP message type=11 from lookup reply dropped\n");
  EXPECT_NE(r.netdb.get_lease_set2(dest.hash(), now_s()), nullptr);
  EXPECT_TRUE(r.pending_sends.empty());  // not acknowledged
  EXPECT_EQ(r.pending_lookups.size(), 1u);
}

TEST(GarlicOrder, AnAnswerThatDoesNotOpenFallsThroughToTheSessions) {
  TestNetwork net = debug_network(1);
  Router& r = net[0];
  HostedDestination d;
  r.sessions.push_back(SamSession{"plain", "", "", std::nullopt});
  r.sessions.push_back(d.mine.session("mine"));
  const Bytes garlic = d.garlic({});
  ASSERT_GE(garlic.size(), 8u);
  // A lookup whose tag is the garlic's first 8 bytes, under another key.
  OneTimeSeal seal = OneTimeSeal::create();
  std::copy_n(garlic.begin(), 8, seal.tag.begin());
  r.pending_lookups.push_back(seal.lookup());

  EXPECT_EQ(dispatch_captured(r, kOverLink, P{P::Garlic{garlic}}),
            "[debug] Garlic decrypted for session mine (1 blocks)\n");
  EXPECT_EQ(r.pending_lookups.size(), 1u);
  EXPECT_EQ(r.sessions[1].ratchet->inbound_pending.size(), 1u);
}

TEST(SessionGarlic, StoresComeFirstAndOnlyWhatASessionMayReceiveIsHandled) {
  TestNetwork net = debug_network(2);
  Router& r = net[0];
  HostedDestination d;
  r.sessions.push_back(d.mine.session("mine"));
  const common::RouterInfo info = reference_router_info("ff-127.0.0.2.dat");
  P planted = database_store_of(info, 5);
  std::get<P::DatabaseStore>(planted.value).reply_gateway = net.hash(1);
  P lease_set = store_of(d.peer.lease_set(net.hash(1), 5, now_s()), 6);
  std::get<P::DatabaseStore>(lease_set.value).reply_gateway = net.hash(1);
  const P lookup{P::DatabaseLookup{d.peer.hash(), net.hash(1), 0, std::nullopt, {}, std::nullopt, {}}};

  const ratchet::RatchetBlocks blocks = {clove(lookup),    clove(P{P::DeliveryStatus{3, 4}}),
                                         clove(planted),   clove(P{P::Data{Bytes(20, 1)}}),
                                         clove(lease_set), clove(garlic_probe(30))};
  const Bytes garlic = d.garlic(blocks);
  // The first pass stores the LeaseSet2 (silently, unacknowledged) and refuses the
  // RouterInfo; the second refuses the lookup and the garlic in their order.
  EXPECT_EQ(dispatch_captured(r, kOverLink, P{P::Garlic{garlic}}),
            "[debug] Garlic decrypted for session mine (7 blocks)\n"
            "[debug] I2NP message type=1 from session garlic dropped\n"
            "[debug] I2NP message type=2 from session garlic dropped\n"
            "[debug] I2NP message type=11 from session garlic dropped\n");
  EXPECT_NE(r.netdb.get_lease_set2(d.peer.hash(), now_s()), nullptr);
  EXPECT_EQ(r.netdb.get_router_info(hash_of(info)), nullptr);
  EXPECT_TRUE(r.pending_sends.empty());
}

// Garlic for the last of three hosted destinations, first a NewSession and then, once the
// handshake is done, an ExistingSession: the destination it is for opens each, the others
// keep nothing of it.
TEST(SessionGarlic, EachMessageIsOpenedByTheDestinationItIsFor) {
  TestNetwork net = debug_network(1);
  Router& r = net[0];
  HostedDestination d;
  const TestDestination first = TestDestination::create(), second = TestDestination::create();
  r.sessions.push_back(first.session("first"));
  r.sessions.push_back(second.session("second"));
  r.sessions.push_back(d.mine.session("mine"));
  const P lease_set = store_of(d.peer.lease_set(net.hash(0), 5, now_s()));

  EXPECT_EQ(dispatch_captured(r, kOverLink, P{P::Garlic{d.garlic({clove(lease_set)})}}),
            "[debug] Garlic decrypted for session mine (2 blocks)\n");
  auto reply = r.sessions[2].ratchet->encrypt_to_peer(d.peer.encryption.public_key, {}, now_s(), router_random());
  ASSERT_TRUE(reply);
  ASSERT_TRUE(d.sender.decrypt_incoming(*reply, now_s()));
  // An ExistingSession: no DateTime block in front.
  EXPECT_EQ(dispatch_captured(r, kOverLink, P{P::Garlic{d.garlic({clove(lease_set)})}}),
            "[debug] Garlic decrypted for session mine (1 blocks)\n");
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_TRUE(r.sessions[i].ratchet->sessions.empty()) << i;
    EXPECT_TRUE(r.sessions[i].ratchet->inbound_pending.empty()) << i;
  }
  EXPECT_EQ(r.sessions[2].ratchet->sessions.size(), 1u);
}

// Sent to the router directly, garlic that a session opened would show anyone that this
// router hosts the destination.
TEST(SessionGarlic, InPublicModeSessionsOpenGarlicOnlyOutOfAnOwnInboundTunnel) {
  TestNetwork net = debug_network(1);
  Router& r = net[0];
  HostedDestination d;
  r.sessions.push_back(d.mine.session("mine"));
  const P lease_set = store_of(d.peer.lease_set(net.hash(0), 5, now_s()));
  struct Case {
    const char* name;
    bool public_mode;
    Arrival arrival;
    bool via_tunnel_gateway;  // inside a TunnelGateway for no hop of ours
    bool opened;
  };
  const std::vector<Case> cases = {
      {"public, over a link", true, kOverLink, false, false},
      {"public, by a TunnelGateway to this router", true, kOverLink, true, false},
      {"public, out of an own inbound tunnel", true, kOutOfInbound, false, true},
      {"not public, over a link", false, kOverLink, false, true},
      {"not public, by a TunnelGateway to this router", false, kOverLink, true, true},
  };
  for (const Case& c : cases) {
    r.public_mode = c.public_mode;
    r.netdb.remove_lease_set2(d.peer.hash());
    r.sessions[0].ratchet->inbound_pending.clear();
    const P garlic{P::Garlic{d.garlic({clove(lease_set)})}};
    const P message = c.via_tunnel_gateway ? in_tunnel_gateway(garlic) : garlic;
    const std::string out = dispatch_captured(r, c.arrival, message);
    EXPECT_EQ(r.netdb.get_lease_set2(d.peer.hash(), now_s()) != nullptr, c.opened) << c.name;
    EXPECT_EQ(r.sessions[0].ratchet->inbound_pending.size(), c.opened ? 1u : 0u) << c.name;
    if (c.opened) {
      EXPECT_EQ(out, "[debug] Garlic decrypted for session mine (2 blocks)\n") << c.name;
    } else {
      EXPECT_TRUE(contains(out, "[debug] unhandled incoming Garlic (")) << c.name << ": " << out;
      EXPECT_TRUE(contains(out, " sessions=1)")) << c.name << ": " << out;
    }
  }
}

}  // namespace
}  // namespace router
