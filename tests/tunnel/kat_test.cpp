// Cells, hop layers and hop keys compared byte for byte with tests/tunnel/tunnel_kat.py,
// an independent model on python3's 'cryptography' package, hashlib and an HMAC HKDF,
// itself checked against FIPS 197, SP 800-38A, FIPS 180 and RFC 5869.
#include <gtest/gtest.h>

#include <vector>

#include "tests/tunnel/tunnel_test_util.h"
#include "tunnel/cell.h"
#include "tunnel/hop_keys.h"
#include "tunnel/layer.h"
#include "tunnel/tunnel.h"
#include "tunnel/tunnel_manager.h"

namespace tunnel {
namespace {

#include "tests/tunnel/kat_vectors.inc"

using tunnel_test::gateway;
using tunnel_test::hex;
using tunnel_test::key32;
using tunnel_test::pattern;
using tunnel_test::unhex;

TunnelHop hop(unsigned layer_seed, unsigned iv_seed) {
  TunnelHop h;
  h.layer_key = key32(layer_seed);
  h.iv_key = key32(iv_seed);
  return h;
}

TEST(TunnelKat, RelayCellAddsTheHopLayer) {
  TunnelManager m;
  m.transit.push_back(TransitHop{41, 0, {}, key32(0x50), key32(0x70), false, 0});  // another id first
  m.transit.push_back(TransitHop{7, 8, gateway(), key32(0x10), key32(0x30), true, 1000});
  auto r = m.relay_cell(7, pattern(1024, 1));
  ASSERT_TRUE(r.has_value());
  ASSERT_TRUE(r->has_value());
  EXPECT_EQ(hex((*r)->cell), kRelayed);
  EXPECT_EQ((*r)->next_router, gateway());
  EXPECT_EQ((*r)->next_tunnel_id, 8u);
  EXPECT_TRUE((*r)->is_endpoint);
}

TEST(TunnelKat, InboundCellLosesEveryLayer) {
  const Bytes cell = pattern(1024, 1);
  Tunnel one;
  one.hops = {hop(0x10, 0x30)};
  EXPECT_EQ(hex(*one.decrypt_inbound_cell(cell)), kInboundOneHop);
  Tunnel two;
  two.hops = {hop(0x10, 0x30), hop(0x50, 0x70)};
  EXPECT_EQ(hex(*two.decrypt_inbound_cell(cell)), kInboundTwoHops);
  EXPECT_EQ(hex(*two.prepare_outbound_cell(cell)), kInboundTwoHops);
}

// The layer functions on the portable AES as well: the tunnel functions above run on the
// CPU's AES instructions where there are some.
TEST(TunnelKat, LayersOnThePortableEngine) {
  const Key32 k1 = key32(0x10), k2 = key32(0x30), k3 = key32(0x50), k4 = key32(0x70);
  Bytes cell = pattern(1024, 1);
  add_layer(LayerEncryptKeys::expand(k1, k2, crypto::Engine::Portable), CellSpan(cell.data(), 1024));
  EXPECT_EQ(hex(cell), kRelayed);
  cell = pattern(1024, 1);
  remove_layer(LayerDecryptKeys::expand(k3, k4, crypto::Engine::Portable), CellSpan(cell.data(), 1024));
  remove_layer(LayerDecryptKeys::expand(k1, k2, crypto::Engine::Portable), CellSpan(cell.data(), 1024));
  EXPECT_EQ(hex(cell), kInboundTwoHops);
}

TEST(TunnelKat, HopKeys) {
  const Key32 ck = key32(0x90), h = key32(0xb0);
  auto plain = derive_hop_keys(ck, h, false);
  ASSERT_TRUE(plain.has_value());
  EXPECT_EQ(hex(plain->reply_key), kHopReplyKey);
  EXPECT_EQ(hex(plain->layer_key), kHopLayerKey);
  EXPECT_EQ(hex(plain->iv_key), kHopIvKey);
  EXPECT_EQ(plain->reply_ad, h);
  EXPECT_FALSE(plain->garlic_reply_key.has_value());
  EXPECT_FALSE(plain->garlic_reply_tag.has_value());

  auto endpoint = derive_hop_keys(ck, h, true);
  ASSERT_TRUE(endpoint.has_value());
  EXPECT_EQ(endpoint->reply_key, plain->reply_key);
  EXPECT_EQ(endpoint->layer_key, plain->layer_key);
  EXPECT_EQ(hex(endpoint->iv_key), kEndpointIvKey);
  EXPECT_EQ(endpoint->reply_ad, h);
  ASSERT_TRUE(endpoint->garlic_reply_key.has_value());
  ASSERT_TRUE(endpoint->garlic_reply_tag.has_value());
  EXPECT_EQ(hex(*endpoint->garlic_reply_key), kEndpointGarlicKey);
  EXPECT_EQ(hex(*endpoint->garlic_reply_tag), kEndpointGarlicTag);
}

TEST(TunnelKat, SlotNonce) {
  EXPECT_EQ(hex(make_slot_nonce(3)), kSlotNonce3);
  EXPECT_EQ(hex(make_slot_nonce(3)), "000000000300000000000000");
  EXPECT_EQ(hex(make_slot_nonce(0x0102030405060708)), kSlotNonceBig);
}

// The fragments of each case of the model, in the same order.
std::vector<TunnelFragment> pack_case(std::string_view name) {
  using First = TunnelFragment::First;
  using FollowOn = TunnelFragment::FollowOn;
  const TunnelDelivery local{TunnelDelivery::Local{}};
  const TunnelDelivery router{TunnelDelivery::Router{gateway()}};
  if (name == "local") return {{First{local, false, 0, pattern(100, 1)}}};
  if (name == "tunnel") {
    return {{First{TunnelDelivery{TunnelDelivery::Tunnel{0x01020304, gateway()}}, true, 0xdeadbeef, pattern(200, 2)}}};
  }
  if (name == "router") return {{First{router, false, 0, pattern(50, 3)}}};
  if (name == "follow_on") return {{FollowOn{5, true, 0x11223344, pattern(30, 4)}}};
  if (name == "mixed") {
    return {{First{local, false, 0, pattern(10, 5)}},
            {FollowOn{63, false, 0x55667788, pattern(20, 6)}},
            {First{router, true, 7, pattern(40, 7)}}};
  }
  if (name == "full") return {{First{local, false, 0, pattern(1000, 8)}}};
  if (name == "no_padding_source") return {{First{local, false, 0, pattern(5, 9)}}};
  ADD_FAILURE() << "unknown case " << name;
  return {};
}

Bytes padding_source(std::string_view name) {
  if (name == "no_padding_source") return {};
  Bytes p(40);
  for (std::size_t i = 0; i < p.size(); ++i) p[i] = static_cast<std::uint8_t>(37 * i);
  return p;
}

// Every byte of the packed cell, and the model's cell read back into the same fragments.
TEST(TunnelKat, PackTunnelCell) {
  const Bytes iv = unhex("a0a1a2a3a4a5a6a7a8a9aaabacadaeaf");
  for (const PackVector& v : kPackVectors) {
    SCOPED_TRACE(v.name);
    const auto fragments = pack_case(v.name);
    auto cell = pack_tunnel_cell(iv, fragments, padding_source(v.name));
    ASSERT_TRUE(cell.has_value());
    EXPECT_EQ(hex(*cell), v.cell);
    auto back = unpack_tunnel_cell(unhex(v.cell));
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, fragments);
  }
}

TEST(TunnelKat, FragmentMessageToCells) {
  const Bytes iv = unhex("a0a1a2a3a4a5a6a7a8a9aaabacadaeaf");
  const Bytes padding = padding_source("");
  auto local =
      fragment_message_to_cells(TunnelDelivery{TunnelDelivery::Local{}}, 0x01020304, pattern(2993, 10), iv, padding);
  ASSERT_TRUE(local.has_value());
  ASSERT_EQ(local->size(), std::size(kLocal2993));
  for (std::size_t i = 0; i < local->size(); ++i) EXPECT_EQ(hex((*local)[i]), kLocal2993[i]) << i;

  auto tun = fragment_message_to_cells(TunnelDelivery{TunnelDelivery::Tunnel{0x0a0b0c0d, gateway()}}, 0x99,
                                       pattern(965, 11), iv, padding);
  ASSERT_TRUE(tun.has_value());
  ASSERT_EQ(tun->size(), std::size(kTunnel965));
  for (std::size_t i = 0; i < tun->size(); ++i) EXPECT_EQ(hex((*tun)[i]), kTunnel965[i]) << i;
}

}  // namespace
}  // namespace tunnel
