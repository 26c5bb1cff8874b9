#pragma once
// Helpers of the dispatch and tunnel delivery tests: probe messages whose arrival shows in
// a debug line, messages wrapped the ways the router unwraps them, client destinations with
// signed LeaseSet2s, and stepping a test network while keeping what each router printed.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/lease_set2.h"
#include "crypto/ed25519.h"
#include "encoding/text.h"
#include "i2np/message.h"
#include "ntcp2_net/clock.h"
#include "ntcp2_net/random.h"
#include "ratchet/clove.h"
#include "ratchet/router_garlic.h"
#include "ratchet/session_manager.h"
#include "router/random.h"
#include "router/router.h"
#include "tests/support/test_network.h"
#include "tunnel/cell.h"

namespace router::dispatch_test {

inline i2np::I2npShortHeader header_of(const i2np::I2npPayload& p, std::uint32_t id = 99) {
  return {p.msg_type(), id, 0};
}

// Routers that print their debug lines.
inline test_support::TestNetwork debug_network(std::size_t n) {
  auto net = test_support::TestNetwork::create({.routers = n, .debug = true});
  EXPECT_TRUE(net) << (net ? "" : to_string(net.error()));
  return std::move(*net);
}

// Dispatches one message as it arrived and returns what the router printed.
inline std::string dispatch_captured(Router& r, const Arrival& arrival, const i2np::I2npPayload& payload) {
  testing::internal::CaptureStdout();
  r.dispatch_i2np_message(arrival, header_of(payload), payload, ntcp2_net::read_now());
  return testing::internal::GetCapturedStdout();
}

inline std::uint32_t now_s() { return static_cast<std::uint32_t>(ntcp2_net::read_now().wall_s()); }

// A GarlicClove block carrying the message, expiring a minute from now.
inline ratchet::RatchetBlock clove(const i2np::I2npPayload& message,
                                   ratchet::CloveDelivery delivery = ratchet::CloveDelivery::Local{}) {
  auto block = ratchet::garlic_clove_block(delivery, 1234, now_s() + 60, message);
  EXPECT_TRUE(block);
  return block.value_or(ratchet::RatchetBlock{ratchet::RatchetBlock::Padding{}});
}

inline Bytes random_of(std::size_t n) {
  auto b = ntcp2_net::random_bytes(n);
  EXPECT_TRUE(b);
  return b.value_or(Bytes(n, 0x5A));
}

// A Garlic message of n bytes that nobody can open, starting with 8 random bytes: where it
// arrives, the router prints a line naming its length and those bytes.
inline i2np::I2npPayload garlic_probe(std::size_t n) {
  Bytes data(n, 0x6B);
  const Bytes mark = random_of(8);
  std::copy_n(mark.begin(), std::min<std::size_t>(8, n), data.begin());
  return i2np::I2npPayload{i2np::I2npPayload::Garlic{std::move(data)}};
}

inline std::string probe_line(const i2np::I2npPayload& probe, std::size_t sessions = 0) {
  const Bytes& data = std::get<i2np::I2npPayload::Garlic>(probe.value).data;
  const std::string tag = data.size() >= 8 ? encoding::hex_encode(ByteView(data).first(8)) : "";
  return "[debug] unhandled incoming Garlic (" + std::to_string(data.size()) + "B tag=" + tag +
         " sessions=" + std::to_string(sessions) + ")\n";
}

inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

inline std::size_t count_of(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
  return n;
}

inline Bytes standard_message(const i2np::I2npPayload& p, std::uint32_t id = 4321) {
  auto m = i2np::encode_standard_message(id, 1'900'000'000'000, p);
  EXPECT_TRUE(m);
  return m.value_or(Bytes{});
}

// The message inside a TunnelGateway for a tunnel id no hop of the receiver serves.
inline i2np::I2npPayload in_tunnel_gateway(const i2np::I2npPayload& p, std::uint32_t tunnel_id = 0x0BADF00D) {
  return i2np::I2npPayload{i2np::I2npPayload::TunnelGateway{tunnel_id, standard_message(p)}};
}

// The message as one clove (with the given delivery) of router garlic to the key.
inline i2np::I2npPayload in_router_garlic(const i2np::I2npPayload& p, ByteView router_key,
                                          ratchet::CloveDelivery delivery = ratchet::CloveDelivery::Local{}) {
  auto clove = ratchet::garlic_clove_block(delivery, 77, 1'900'000'000, p);
  EXPECT_TRUE(clove);
  auto ephemeral = noise::KeyPair::from_private(random_of(32));
  EXPECT_TRUE(ephemeral);
  auto sealed = ratchet::encrypt_router_garlic(router_key, *ephemeral, {*clove});
  EXPECT_TRUE(sealed) << (sealed ? "" : to_string(sealed.error()));
  return i2np::I2npPayload{i2np::I2npPayload::Garlic{sealed.value_or(Bytes{})}};
}

// The TunnelData cell that a hop with the given keys, as outbound endpoint, turns into a
// cleartext cell carrying the message with Local delivery.
inline i2np::I2npPayload in_endpoint_cell(const i2np::I2npPayload& p, const tunnel::TransitHop& hop) {
  auto cells =
      tunnel::fragment_message_to_cells(tunnel::TunnelDelivery{}, 55, standard_message(p), random_of(16), Bytes{});
  EXPECT_TRUE(cells && cells->size() == 1);
  tunnel::Tunnel layers;
  layers.hops.push_back(tunnel::TunnelHop{hop.next_router, hop.receive_tunnel_id, 0, hop.layer_key, hop.iv_key, {}});
  auto cell = layers.prepare_outbound_cell(cells ? cells->front() : Bytes(1024));
  EXPECT_TRUE(cell);
  return i2np::I2npPayload{i2np::I2npPayload::TunnelData{hop.receive_tunnel_id, cell.value_or(Bytes(1024))}};
}

// A client destination: an Ed25519-signed identity and the X25519 key its garlic is sealed
// to, published in its LeaseSet2.
struct TestDestination {
  common::Destination destination;
  Bytes seed;
  noise::KeyPair encryption;

  common::Hash hash() const { return destination.keys_and_cert.hash(); }

  static TestDestination create() {
    TestDestination d;
    d.seed = random_of(32);
    auto pub = crypto::ed25519_public_key(d.seed);
    EXPECT_TRUE(pub);
    const Bytes filler = random_of(384);
    std::copy(filler.begin(), filler.end(), d.destination.keys_and_cert.keys.begin());
    std::copy(pub->begin(), pub->end(), d.destination.keys_and_cert.keys.begin() + 352);
    d.destination.keys_and_cert.certificate.value =
        common::KeyCertificate::create(common::CryptoPublicKeyType::ElGamal);
    auto keys = noise::KeyPair::from_private(random_of(32));
    EXPECT_TRUE(keys);
    d.encryption = *keys;
    return d;
  }

  // Signed, live from published for 600 s, with one lease.
  common::LeaseSet2 lease_set(const common::Hash& gateway, std::uint32_t tunnel_id, std::uint32_t published) const {
    common::LeaseSet2 ls;
    ls.destination = destination;
    ls.published = published;
    ls.expires = 600;
    ls.encryption_keys.push_back(
        {common::CryptoPublicKeyType::X25519, Bytes(encryption.public_key.begin(), encryption.public_key.end())});
    ls.leases.push_back(common::Lease2{gateway, tunnel_id, published + 600});
    auto signature = crypto::ed25519_sign(seed, *ls.signing_bytes());
    EXPECT_TRUE(signature);
    ls.signature.assign(signature->begin(), signature->end());
    return ls;
  }

  SamSession session(const std::string& id) const {
    SamSession s;
    s.id = id;
    s.ratchet = ratchet::RatchetSessionManager::create(encryption);
    return s;
  }
};

inline i2np::I2npPayload store_of(const common::LeaseSet2& ls, std::uint32_t reply_token = 0) {
  i2np::I2npPayload::DatabaseStore store;
  store.key = ls.destination.keys_and_cert.hash();
  store.store_type = common::LeaseSet2::kStoreType;
  store.reply_token = reply_token;
  store.data = *ls.to_bytes();
  return i2np::I2npPayload{std::move(store)};
}

inline ratchet::RandomSource router_random() {
  return [] { return next_rand_32(); };
}

// Steps the routers of a network in turn (their peer pass, which also hands each router
// the messages it queued for itself), keeping what each prints in logs[i].
inline bool run_logged(test_support::TestNetwork& net, std::vector<std::string>& logs,
                       const std::function<bool()>& condition, int limit_ms = 10000) {
  logs.resize(net.size());
  return net.run_until(condition, limit_ms, [&](Router& r, const ntcp2_net::Now& now) {
    testing::internal::CaptureStdout();
    r.step_ntcp2_peers(now);
    const std::string out = testing::internal::GetCapturedStdout();
    for (std::size_t i = 0; i < net.size(); ++i) {
      if (&net[i] == &r) logs[i] += out;
    }
  });
}

}  // namespace router::dispatch_test
