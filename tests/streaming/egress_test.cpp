// A connection's outbox on its way out of one router: one garlic message per envelope to
// the peer, the session's LeaseSet2 with the first when asked, the lease chosen in turn.
// The router has no tunnels and the peer's leases name the router itself, so every garlic
// message waits in its own send queue, where the test opens it with the peer's keys.
#include <gtest/gtest.h>

#include "crypto/ed25519.h"
#include "encoding/reader.h"
#include "i2np/message.h"
#include "ratchet/clove.h"
#include "router/random.h"
#include "services/streams.h"
#include "tests/streaming/network_util.h"

namespace streaming_test {
namespace {

using P = i2np::I2npPayload;

struct Sent {
  std::uint32_t tunnel_id = 0;
  std::vector<std::pair<std::uint32_t, P>> cloves;  // message id and message
};

struct OneRouter {
  test_support::TestNetwork net;
  router::SamSession* alice = nullptr;
  router::SamSession bob;  // not on the router: the test opens what is sent to it
  streaming::ConnectionPtr connection;

  OneRouter() {
    auto created = test_support::TestNetwork::create({.routers = 1});
    EXPECT_TRUE(created);
    net = std::move(*created);
    net[0].sessions.push_back(stream_session(net[0], "alice"));
    alice = &net[0].sessions.back();
    bob = stream_session(net[0], "bob");
    connection = *alice->streams->connect(bob.dest_hash, ntcp2_net::read_now().mono_ms, 0, 0);
  }

  router::Router& r() { return net[0]; }

  // Bob's LeaseSet2 in the router's NetDB with leases at the router itself.
  void store_bob_lease_set(const std::vector<std::uint32_t>& tunnel_ids, std::int64_t end_offset_s = 600) {
    const std::uint32_t now_s = ntcp2_net::read_now().wall_s();
    common::LeaseSet2 ls;
    ls.destination = bob.destination;
    ls.published = now_s;
    ls.expires = 600;
    ls.encryption_keys.push_back(
        {common::CryptoPublicKeyType::X25519, Bytes(bob.x25519_public->begin(), bob.x25519_public->end())});
    for (std::uint32_t id : tunnel_ids) {
      ls.leases.push_back({r().router_hash(), id, static_cast<std::uint32_t>(now_s + end_offset_s)});
    }
    const auto signature = crypto::ed25519_sign(*bob.signing_key, *ls.signing_bytes());
    ls.signature.assign(signature.begin(), signature.end());
    ASSERT_TRUE(r().netdb.store_lease_set2(ls, now_s));
  }

  void flush(std::size_t key_size, bool force, std::uint32_t fallback_tunnel = 4242) {
    const Bytes key(bob.x25519_public->begin(), bob.x25519_public->begin() + static_cast<std::ptrdiff_t>(key_size));
    r().flush_stream_outbound(*alice, *connection, bob.dest_hash, key, r().router_hash(), fallback_tunnel, force,
                              ntcp2_net::read_now());
  }

  // Every garlic message waiting in the router's send queue, opened by bob; the queue is
  // emptied.
  std::vector<Sent> take_sent() {
    std::vector<Sent> out;
    for (const router::PendingPeerSend& e : r().pending_sends) {
      const auto& gateway = std::get<P::TunnelGateway>(e.payload.value);
      encoding::Reader reader(gateway.data);
      auto message = i2np::decode_standard_message(reader);
      EXPECT_TRUE(message);
      const auto& garlic = std::get<P::Garlic>(message->second.value);
      auto opened = bob.ratchet->decrypt_incoming(garlic.data, ntcp2_net::read_now().wall_s());
      EXPECT_TRUE(opened) << (opened ? "" : to_string(opened.error()));
      if (!opened) continue;
      Sent sent{gateway.tunnel_id, {}};
      for (const ratchet::RatchetBlock& block : opened->blocks) {
        const auto* clove = block.get_if<ratchet::RatchetBlock::GarlicClove>();
        if (clove == nullptr) continue;
        auto decoded = ratchet::decode_garlic_clove_i2np(clove->message);
        EXPECT_TRUE(decoded);
        sent.cloves.emplace_back(decoded->first.msg_id, decoded->second);
        if (std::holds_alternative<P::Data>(decoded->second.value)) {
          EXPECT_EQ(clove->delivery, ratchet::CloveDelivery{ratchet::CloveDelivery::Destination{bob.dest_hash}});
        } else {
          EXPECT_EQ(clove->delivery, ratchet::CloveDelivery{ratchet::CloveDelivery::Local{}});
        }
      }
      out.push_back(std::move(sent));
    }
    r().pending_sends.clear();
    return out;
  }
};

TEST(StreamEgress, APeerKeyOfAnotherLengthLeavesTheOutbox) {
  OneRouter t;
  t.store_bob_lease_set({7});
  t.flush(31, true);
  EXPECT_EQ(t.connection->outbox.size(), 1u);
  EXPECT_TRUE(t.r().pending_sends.empty());
}

TEST(StreamEgress, OneGarlicMessagePerEnvelopeTheLeaseSet2WithTheFirst) {
  OneRouter t;
  t.store_bob_lease_set({7});
  ASSERT_EQ(t.connection->write(Bytes(2 * 1730, 'x'), 0), 2u * 1730);  // written before the SYN-ACK: still sent
  const std::deque<Bytes> envelopes = t.connection->outbox;
  ASSERT_EQ(envelopes.size(), 3u);
  t.flush(32, true);
  EXPECT_TRUE(t.connection->outbox.empty());
  const std::vector<Sent> sent = t.take_sent();
  ASSERT_EQ(sent.size(), 3u);
  std::uint32_t last_id = 0;
  for (std::size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(sent[i].tunnel_id, 7u);
    ASSERT_EQ(sent[i].cloves.size(), i == 0 ? 2u : 1u) << i;
    const auto& [data_id, data] = sent[i].cloves.back();
    EXPECT_EQ(std::get<P::Data>(data.value).data, envelopes[i]) << i;
    EXPECT_GT(data_id, last_id);
    last_id = data_id;
  }
  const auto& [store_id, store_message] = sent[0].cloves.front();
  EXPECT_EQ(store_id + 1, sent[0].cloves.back().first);  // taken just before the Data clove's
  const auto& store = std::get<P::DatabaseStore>(store_message.value);
  EXPECT_EQ(store.key, t.alice->dest_hash);
  EXPECT_EQ(store.store_type, common::LeaseSet2::kStoreType);
  EXPECT_EQ(store.reply_token, 0u);
  EXPECT_EQ(store.data, *t.alice->last_lease_set->to_bytes());
}

TEST(StreamEgress, LeasesInTurnEndedOnesOnlyWhenNoneIsCurrentAndTheCallersWithout) {
  OneRouter t;
  t.r().lease_rotation = 4;
  t.store_bob_lease_set({1, 2, 3});
  t.connection->outbox.clear();
  std::vector<std::uint32_t> used;
  for (int call = 0; call < 3; ++call) {
    ASSERT_TRUE(t.connection->send_ack());
    t.flush(32, false);
    const std::vector<Sent> sent = t.take_sent();
    ASSERT_EQ(sent.size(), 1u);
    used.push_back(sent[0].tunnel_id);
  }
  EXPECT_EQ(used, (std::vector<std::uint32_t>{2, 3, 1}));  // 4 mod 3, 5 mod 3, 6 mod 3
  EXPECT_EQ(t.r().lease_rotation, 7);

  // Leases that all ended are still used.
  t.r().netdb.remove_lease_set2(t.bob.dest_hash);
  t.store_bob_lease_set({8, 9}, -10);
  ASSERT_TRUE(t.connection->send_ack());
  t.flush(32, false);
  EXPECT_EQ(t.take_sent().at(0).tunnel_id, 9u);  // 7 mod 2

  // Without a LeaseSet2 the caller's gateway and tunnel, and the counter stays.
  t.r().netdb.remove_lease_set2(t.bob.dest_hash);
  ASSERT_TRUE(t.connection->send_ack());
  t.flush(32, false, 4242);
  EXPECT_EQ(t.take_sent().at(0).tunnel_id, 4242u);
  EXPECT_EQ(t.r().lease_rotation, 8);
}

TEST(StreamEgress, ASessionWithoutRatchetLosesWhatWasMoved) {
  OneRouter t;
  t.store_bob_lease_set({7});
  t.alice->ratchet.reset();
  t.flush(32, true);
  EXPECT_TRUE(t.connection->outbox.empty());
  EXPECT_TRUE(t.r().pending_sends.empty());
  EXPECT_EQ(t.connection->unacked.size(), 1u);  // the SYN comes again with the resend
}

TEST(StreamEgress, TheStreamPassResendsAndFlushesOnceThePeersLeaseSet2IsKnown) {
  OneRouter t;
  ntcp2_net::Now now = ntcp2_net::read_now();
  EXPECT_FALSE(t.r().step_stream_connections(now));  // no LeaseSet2 of bob yet
  EXPECT_EQ(t.connection->outbox.size(), 1u);
  t.store_bob_lease_set({7});
  EXPECT_TRUE(t.r().step_stream_connections(now));
  const std::vector<Sent> first = t.take_sent();
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].cloves.size(), 2u);  // the SYN carries alice's LeaseSet2
  now.mono_ms += 1500;                    // the SYN went out just before now
  EXPECT_TRUE(t.r().step_stream_connections(now));
  const std::vector<Sent> again = t.take_sent();
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].cloves.size(), 2u);
  EXPECT_EQ(std::get<P::Data>(again[0].cloves.back().second.value).data,
            std::get<P::Data>(first[0].cloves.back().second.value).data);
}

}  // namespace
}  // namespace streaming_test

namespace streaming_test {
namespace {

// Garlic from bob to alice (a session of the router) holding one Data clove.
i2np::I2npPayload garlic_to_alice(OneRouter& t, Bytes body) {
  auto clove = ratchet::garlic_clove_block(ratchet::CloveDelivery::Destination{t.alice->dest_hash}, 1,
                                           ntcp2_net::read_now().wall_s() + 60, P{P::Data{std::move(body)}});
  auto garlic = t.bob.ratchet->encrypt_to_peer(*t.alice->x25519_public, {*clove}, ntcp2_net::read_now().wall_s(),
                                               [] { return router::next_rand_32(); });
  EXPECT_TRUE(garlic);
  return P{P::Garlic{garlic.value_or(Bytes{})}};
}

TEST(StreamDelivery, DataCloveErrorsAreShownInDebugMode) {
  OneRouter t;
  t.r().debug = true;
  const P bad = garlic_to_alice(t, Bytes(40, 0x33));
  testing::internal::CaptureStdout();
  t.r().handle_i2np_message(std::nullopt, {bad.msg_type(), 5, 0}, bad, ntcp2_net::read_now());
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("[debug] incoming I2CP error on alice: encoding error\n"), std::string::npos) << out;
}

TEST(StreamDelivery, ASynInADataCloveOpensAConnectionAndItsSynAckLeavesAtOnce) {
  OneRouter t;
  // Bob's stream manager sends alice a SYN; bob's LeaseSet2 is known to the router.
  t.store_bob_lease_set({7});
  auto bob_connection = t.bob.streams->connect(t.alice->dest_hash, 0, 0, 0);
  ASSERT_TRUE(bob_connection);
  const P syn = garlic_to_alice(t, (*bob_connection)->outbox.front());
  t.r().handle_i2np_message(std::nullopt, {syn.msg_type(), 6, 0}, syn, ntcp2_net::read_now());
  ASSERT_EQ(t.alice->streams->accept_queue.size(), 1u);
  const std::vector<Sent> sent = t.take_sent();
  ASSERT_EQ(sent.size(), 1u);
  ASSERT_EQ(sent[0].cloves.size(), 2u);  // a new connection: alice's LeaseSet2 goes along
  const Bytes& syn_ack = std::get<P::Data>(sent[0].cloves.back().second.value).data;
  ASSERT_TRUE(t.bob.streams->handle_incoming_i2cp(syn_ack, 0));
  EXPECT_EQ((*bob_connection)->state, streaming::StreamState::Established);
}

}  // namespace
}  // namespace streaming_test

namespace router {
namespace {

TEST(StreamLists, FindAndRemoveByLocalStreamId) {
  streaming_test::OneRouter t;
  streaming::StreamManager& m = *t.alice->streams;
  auto second = m.connect(t.bob.dest_hash, 0, 0, 0);
  ASSERT_TRUE(second);
  m.accept_queue.push_back(*second);
  EXPECT_EQ(find_stream_by_id(m.connections, (*second)->local_stream_id), *second);
  EXPECT_EQ(find_stream_by_id(m.connections, 0), nullptr);
  remove_stream_by_id(m, (*second)->local_stream_id);
  EXPECT_EQ(m.connections.size(), 1u);
  EXPECT_EQ(m.connections[0], t.connection);
  EXPECT_EQ(m.accept_queue.size(), 1u);  // the queue is the consumer's
  remove_stream_by_id(m, 999999);
  EXPECT_EQ(m.connections.size(), 1u);
}

}  // namespace
}  // namespace router
