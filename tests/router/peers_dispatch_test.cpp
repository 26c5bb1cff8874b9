// Received I2NP messages over a link: DatabaseStore goes into the NetDB and is acknowledged
// when asked; DeliveryStatus, Data and unknown types have no effect.
#include <gtest/gtest.h>

#include "ntcp2_net/clock.h"
#include "router/router.h"
#include "tests/router/peers_test_util.h"
#include "tests/support/test_network.h"

namespace router {
namespace {

using ntcp2_net::read_now;
using peers_test::database_store_of;
using peers_test::hash_of;
using peers_test::reference_router_info;
using test_support::TestNetwork;

i2np::I2npShortHeader header_of(const i2np::I2npPayload& p) { return {p.msg_type(), 99, 0}; }

TEST(I2npDispatch, DatabaseStoreIsStoredAndAcknowledgedToTheGatewayAsked) {
  auto net = TestNetwork::create({.routers = 2, .debug = true});
  ASSERT_TRUE(net);
  Router& r = (*net)[0];
  const common::Hash gateway = net->hash(1);
  struct Case {
    std::uint32_t reply_tunnel_id;
    i2np::I2npMessageType sent_type;
  };
  const auto infos =
      std::vector{reference_router_info("ff-127.0.0.2.dat"), reference_router_info("plain-127.0.0.3.dat")};
  const std::vector<Case> cases = {{0, i2np::I2npMessageType::from_byte(10)},
                                   {4242, i2np::I2npMessageType::from_byte(19)}};
  for (std::size_t i = 0; i < cases.size(); ++i) {
    r.pending_sends.clear();
    r.pending_dials.clear();
    i2np::I2npPayload store = database_store_of(infos[i], 77);
    auto& body = std::get<i2np::I2npPayload::DatabaseStore>(store.value);
    body.reply_tunnel_id = cases[i].reply_tunnel_id;
    body.reply_gateway = gateway;
    testing::internal::CaptureStdout();
    r.handle_i2np_message(net->hash(1), header_of(store), store, read_now());
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(r.netdb.get_router_info(hash_of(infos[i])), nullptr);
    EXPECT_EQ(out, "[debug] NetDB DatabaseStore type=0 stored=true key=" + hash_of(infos[i]).to_b32_address() +
                       " (len=" + std::to_string(body.data.size()) + ")\n");
    // No link to the gateway yet: the acknowledgement waits for the dial.
    ASSERT_EQ(r.pending_sends.size(), 1u);
    EXPECT_EQ(r.pending_sends[0].peer, gateway);
    EXPECT_EQ(r.pending_sends[0].payload.msg_type(), cases[i].sent_type);
    if (cases[i].reply_tunnel_id == 0) {
      const auto& ack = std::get<i2np::I2npPayload::DeliveryStatus>(r.pending_sends[0].payload.value);
      EXPECT_EQ(ack.msg_id, 77u);
    } else {
      const auto& wrapped = std::get<i2np::I2npPayload::TunnelGateway>(r.pending_sends[0].payload.value);
      EXPECT_EQ(wrapped.tunnel_id, 4242u);
      encoding::Reader reader(wrapped.data);
      auto inner = i2np::decode_standard_message(reader);
      ASSERT_TRUE(inner);
      EXPECT_EQ(std::get<i2np::I2npPayload::DeliveryStatus>(inner->second.value).msg_id, 77u);
    }
    EXPECT_EQ(r.pending_dials.size(), 1u);
  }
}

TEST(I2npDispatch, StoreFailuresAndOtherTypes) {
  auto net = TestNetwork::create({.routers = 1, .debug = true});
  ASSERT_TRUE(net);
  Router& r = (*net)[0];
  i2np::I2npPayload bad = database_store_of(reference_router_info("ff-127.0.0.2.dat"));
  std::get<i2np::I2npPayload::DatabaseStore>(bad.value).data.back() ^= 1;  // breaks the signature
  i2np::I2npPayload bad_lease_set = bad;
  auto& ls_body = std::get<i2np::I2npPayload::DatabaseStore>(bad_lease_set.value);
  ls_body.store_type = 3;
  ls_body.data = Bytes{1, 2, 3};
  const std::string ls_line =
      "[debug] NetDB DatabaseStore type=3 stored=false key=" + ls_body.key.to_b32_address() + " (len=3)\n";
  const i2np::I2npPayload status{i2np::I2npPayload::DeliveryStatus{5, 6}};
  const i2np::I2npPayload data{i2np::I2npPayload::Data{Bytes(10, 2)}};
  const i2np::I2npPayload unknown{i2np::I2npPayload::Unknown{i2np::I2npMessageType::from_byte(42), Bytes(5, 3)}};
  const i2np::I2npPayload garlic{i2np::I2npPayload::Garlic{Bytes(40, 1)}};
  struct Case {
    const char* name;
    const i2np::I2npPayload* payload;
    std::optional<common::Hash> from;
    std::string line;
  };
  const std::vector<Case> cases = {
      {"RouterInfo that fails verification", &bad, std::nullopt, ""},
      {"LeaseSet2 that fails", &bad_lease_set, std::nullopt, ls_line},
      {"DeliveryStatus", &status, r.router_hash(), ""},
      {"Data", &data, r.router_hash(), ""},
      {"unknown type", &unknown, r.router_hash(), ""},
      {"garlic nobody opens", &garlic, std::nullopt,
       "[debug] unhandled incoming Garlic (40B tag=0101010101010101 sessions=0)\n"},
  };
  for (const Case& c : cases) {
    testing::internal::CaptureStdout();
    r.handle_i2np_message(c.from, header_of(*c.payload), *c.payload, read_now());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.line) << c.name;
    EXPECT_EQ(r.netdb.router_infos().size(), 1u) << c.name;
    EXPECT_TRUE(r.netdb.lease_sets().empty()) << c.name;
    EXPECT_TRUE(r.pending_sends.empty()) << c.name;
  }
}

TEST(I2npDispatch, AcknowledgementWithoutGatewayGoesToTheSenderWhenThereIsOne) {
  auto net = TestNetwork::create({.routers = 2});
  ASSERT_TRUE(net);
  Router& r = (*net)[0];
  const auto infos =
      std::vector{reference_router_info("ff-127.0.0.2.dat"), reference_router_info("plain-127.0.0.3.dat")};

  // No gateway and no sender: stored, nothing sent.
  const i2np::I2npPayload anonymous = database_store_of(infos[0], 31);
  r.handle_i2np_message(std::nullopt, header_of(anonymous), anonymous, read_now());
  EXPECT_NE(r.netdb.get_router_info(hash_of(infos[0])), nullptr);
  EXPECT_TRUE(r.pending_sends.empty());
  EXPECT_TRUE(r.pending_dials.empty());

  // No gateway, from a peer: the DeliveryStatus goes back to that peer.
  const i2np::I2npPayload from_peer = database_store_of(infos[1], 32);
  const ntcp2_net::Now now = read_now();
  r.handle_i2np_message(net->hash(1), header_of(from_peer), from_peer, now);
  EXPECT_NE(r.netdb.get_router_info(hash_of(infos[1])), nullptr);
  ASSERT_EQ(r.pending_sends.size(), 1u);
  EXPECT_EQ(r.pending_sends[0].peer, net->hash(1));
  const auto& ack = std::get<i2np::I2npPayload::DeliveryStatus>(r.pending_sends[0].payload.value);
  EXPECT_EQ(ack.msg_id, 32u);
  EXPECT_EQ(ack.timestamp, now.wall_ms);  // the acknowledgement carries wall-clock time
}

// Only a store that was kept is acknowledged: a store that fails, or brings nothing newer,
// sends nothing to the gateway it names.
TEST(I2npDispatch, StoresThatAreNotKeptAreNotAcknowledged) {
  auto net = TestNetwork::create({.routers = 2, .debug = false});
  ASSERT_TRUE(net);
  Router& r = (*net)[0];
  const common::Hash gateway = net->hash(1);
  const auto info = reference_router_info("ff-127.0.0.2.dat");
  auto with_reply = [&](i2np::I2npPayload store) {
    auto& body = std::get<i2np::I2npPayload::DatabaseStore>(store.value);
    body.reply_token = 55;
    body.reply_gateway = gateway;
    return store;
  };
  i2np::I2npPayload bad = with_reply(database_store_of(info));
  std::get<i2np::I2npPayload::DatabaseStore>(bad.value).data.back() ^= 1;  // breaks the signature
  i2np::I2npPayload empty = with_reply(database_store_of(info));
  std::get<i2np::I2npPayload::DatabaseStore>(empty.value).data.clear();
  const i2np::I2npPayload good = with_reply(database_store_of(info));

  for (const i2np::I2npPayload* p : {&bad, &empty}) {
    r.handle_i2np_message(net->hash(1), header_of(*p), *p, read_now());
    EXPECT_TRUE(r.pending_sends.empty());
    EXPECT_TRUE(r.pending_dials.empty());
  }
  r.handle_i2np_message(net->hash(1), header_of(good), good, read_now());
  EXPECT_EQ(r.pending_sends.size(), 1u);  // kept: acknowledged
  r.pending_sends.clear();
  r.pending_dials.clear();
  r.handle_i2np_message(net->hash(1), header_of(good), good, read_now());
  EXPECT_TRUE(r.pending_sends.empty());  // the same copy again: nothing kept, nothing sent
}

// Messages waiting for links are bounded: 256 KiB per peer, 8 MiB in all; the rest are
// dropped with a debug line.
TEST(I2npDispatch, MessagesWaitingForLinksAreBounded) {
  auto net = TestNetwork::create({.routers = 1, .debug = true});
  ASSERT_TRUE(net);
  Router& r = (*net)[0];
  const i2np::I2npPayload big{i2np::I2npPayload::Data{Bytes(60000, 7)}};
  auto peer_n = [](std::uint32_t n) {
    common::Hash h;  // peers without a RouterInfo: nothing is dialled, the messages wait
    for (int b = 0; b < 4; ++b) h.bytes[static_cast<std::size_t>(b)] = static_cast<std::uint8_t>(n >> (8 * b));
    h.bytes[31] = 0x77;
    return h;
  };
  auto queued_bytes = [&](std::optional<common::Hash> of) {
    std::size_t sum = 0;
    for (const auto& e : r.pending_sends) {
      if (!of || e.peer == *of) sum += e.payload.encode_body()->size();
    }
    return sum;
  };
  testing::internal::CaptureStdout();
  for (int i = 0; i < 10; ++i) r.send_i2np_to_peer(peer_n(0), big, read_now());
  EXPECT_LE(queued_bytes(peer_n(0)), 256u * 1024);
  EXPECT_GE(queued_bytes(peer_n(0)), 256u * 1024 - 2 * 60000);
  for (std::uint32_t p = 1; p < 60; ++p) {
    for (int i = 0; i < 4; ++i) r.send_i2np_to_peer(peer_n(p), big, read_now());
  }
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_LE(queued_bytes(std::nullopt), 8u * 1024 * 1024);
  EXPECT_GE(queued_bytes(std::nullopt), 8u * 1024 * 1024 - 2 * 60000);
  EXPECT_LE(r.pending_send_bytes, 8u * 1024 * 1024);
  EXPECT_NE(out.find("[debug] NTCP2 queue for peers without a link is full, dropped I2NP message to " +
                     peer_n(0).to_b32_address()),
            std::string::npos);
  // Once they expire, room comes back.
  r.step_ntcp2_peers(read_now().after(15001));
  EXPECT_TRUE(r.pending_sends.empty());
  EXPECT_EQ(r.pending_send_bytes, 0u);
  r.send_i2np_to_peer(peer_n(0), big, read_now());
  EXPECT_EQ(r.pending_sends.size(), 1u);
}

}  // namespace
}  // namespace router
