// Received I2NP messages until the full dispatch exists: DatabaseStore goes into the NetDB
// and is acknowledged when asked; DeliveryStatus has no effect; other types are dropped
// with a debug line.
#include <gtest/gtest.h>

#include "ntcp2_net/glue.h"
#include "router/router.h"
#include "tests/router/peers_test_util.h"
#include "tests/support/test_network.h"

namespace router {
namespace {

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
  const auto infos = std::vector{reference_router_info("ff-127.0.0.2.dat"), reference_router_info("plain-127.0.0.3.dat")};
  const std::vector<Case> cases = {{0, i2np::I2npMessageType::from_byte(10)}, {4242, i2np::I2npMessageType::from_byte(19)}};
  for (std::size_t i = 0; i < cases.size(); ++i) {
    r.pending_sends.clear();
    r.pending_dials.clear();
    i2np::I2npPayload store = database_store_of(infos[i], 77);
    auto& body = std::get<i2np::I2npPayload::DatabaseStore>(store.value);
    body.reply_tunnel_id = cases[i].reply_tunnel_id;
    body.reply_gateway = gateway;
    testing::internal::CaptureStdout();
    r.handle_i2np_message(net->hash(1), header_of(store), store);
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
  const i2np::I2npPayload status{i2np::I2npPayload::DeliveryStatus{5, 6}};
  const i2np::I2npPayload garlic{i2np::I2npPayload::Garlic{Bytes(40, 1)}};
  testing::internal::CaptureStdout();
  r.handle_i2np_message(std::nullopt, header_of(bad), bad);
  r.handle_i2np_message(r.router_hash(), header_of(status), status);
  r.handle_i2np_message(std::nullopt, header_of(garlic), garlic);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "[debug] I2NP message type=11 id=99 dropped: no handler\n");
  EXPECT_EQ(r.netdb.router_infos.size(), 1u);
  EXPECT_TRUE(r.pending_sends.empty());
}

}  // namespace
}  // namespace router
