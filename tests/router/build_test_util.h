#pragma once
// Helpers of the tunnel building and participation tests: build requests sealed to a
// router of the test network as another router's build would send them, and the messages
// a router queued for its peers.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "ntcp2_net/random.h"
#include "router/router.h"
#include "tests/support/test_network.h"
#include "tunnel/build_record.h"

namespace router::build_test {

inline common::Hash random_hash() {
  auto b = ntcp2_net::random_bytes(32);
  EXPECT_TRUE(b);
  common::Hash h;
  if (b) std::copy(b->begin(), b->end(), h.bytes.begin());
  return h;
}

inline noise::KeyPair random_key_pair() {
  auto priv = ntcp2_net::random_bytes(32);
  EXPECT_TRUE(priv);
  auto k = noise::KeyPair::from_private(priv.value_or(Bytes(32, 9)));
  EXPECT_TRUE(k);
  return k.value_or(noise::KeyPair{});
}

// A request for hop: receive on 7001, send to an unknown router's tunnel 7002, the time of
// now, 600 s.
inline tunnel::ShortBuildRequestRecord request_at(const ntcp2_net::Now& now) {
  tunnel::ShortBuildRequestRecord r;
  r.receive_tunnel_id = 7001;
  r.next_tunnel_id = 7002;
  r.next_ident = random_hash();
  r.request_time_min = now.wall_s() / 60;
  r.expiration_s = 600;
  r.next_msg_id = 424242;
  return r;
}

// A build message of four records whose slot `slot` is the request sealed to hop and the
// others random; keys receives the hop's keys.
struct SealedRequest {
  std::vector<Bytes> records;
  tunnel::SlotKeys keys;
};

inline SealedRequest seal_to(const Router& hop, const tunnel::ShortBuildRequestRecord& request, std::size_t slot = 1) {
  SealedRequest out;
  for (int i = 0; i < 4; ++i) {
    out.records.push_back(ntcp2_net::random_bytes(tunnel::kBuildRecordSize).value_or(Bytes{}));
  }
  tunnel::ShortHopBuildSpec spec;
  spec.slot_idx = slot;
  spec.hop_hash = hop.router_hash();
  spec.hop_static_pub = Bytes(hop.static_keypair.public_key.begin(), hop.static_keypair.public_key.end());
  spec.ephemeral = random_key_pair();
  spec.request = request;
  auto keys = tunnel::write_short_build_requests(out.records, {spec});
  EXPECT_TRUE(keys) << (keys ? "" : to_string(keys.error()));
  if (keys) out.keys = std::move(*keys);
  return out;
}

// The records of the ShortTunnelBuild or OutboundTunnelBuildReply queued for peer, if any.
inline std::optional<std::vector<Bytes>> queued_records(const Router& r, const common::Hash& peer) {
  for (const PendingPeerSend& s : r.pending_sends) {
    if (s.peer != peer) continue;
    if (const auto* b = std::get_if<i2np::I2npPayload::ShortTunnelBuild>(&s.payload.value)) return b->records;
    if (const auto* b = std::get_if<i2np::I2npPayload::OutboundTunnelBuildReply>(&s.payload.value)) {
      return b->records;
    }
  }
  return std::nullopt;
}

}  // namespace router::build_test
