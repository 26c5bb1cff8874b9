// Hop layers: OpenSSL's AES over random cells and keys as the reference, the round trips
// between a hop's layer and the own router's removal, and the length refusals.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <vector>

#include "tests/crypto/openssl_ref.h"
#include "tests/tunnel/tunnel_test_util.h"
#include "tunnel/cell.h"
#include "tunnel/layer.h"
#include "tunnel/tunnel.h"
#include "tunnel/tunnel_manager.h"

namespace tunnel {
namespace {

using tunnel_test::gateway;
using tunnel_test::pattern;
using tunnel_test::random_bytes;

Key32 random_key(std::mt19937_64& rng) {
  Key32 k{};
  for (auto& b : k) b = static_cast<std::uint8_t>(rng());
  return k;
}

Bytes ecb(bool encrypt, const Key32& key, ByteView block) {
  return openssl_ref::cipher(EVP_aes_256_ecb(), encrypt, key, {}, block);
}

// A hop's layer, step by step through OpenSSL.
Bytes openssl_add_layer(const Key32& layer_key, const Key32& iv_key, const Bytes& cell) {
  const Bytes iv1 = ecb(true, iv_key, ByteView(cell).first(16));
  const Bytes data = openssl_ref::cipher(EVP_aes_256_cbc(), true, layer_key, iv1, ByteView(cell).subspan(16));
  Bytes out = ecb(true, iv_key, iv1);
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

Bytes openssl_remove_layer(const Key32& layer_key, const Key32& iv_key, const Bytes& cell) {
  const Bytes iv1 = ecb(false, iv_key, ByteView(cell).first(16));
  const Bytes data = openssl_ref::cipher(EVP_aes_256_cbc(), false, layer_key, iv1, ByteView(cell).subspan(16));
  Bytes out = ecb(false, iv_key, iv1);
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

TunnelHop hop_with(const Key32& layer_key, const Key32& iv_key, std::uint32_t receive, std::uint32_t next) {
  TunnelHop h;
  h.receive_tunnel_id = receive;
  h.next_tunnel_id = next;
  h.layer_key = layer_key;
  h.iv_key = iv_key;
  return h;
}

TransitHop transit_of(const TunnelHop& h, bool is_endpoint) {
  return TransitHop{h.receive_tunnel_id, h.next_tunnel_id, gateway(), h.layer_key, h.iv_key, is_endpoint, 0};
}

TEST(HopLayer, MatchesOpenSslOnRandomCellsAndKeys) {
  std::mt19937_64 rng(0x70e1);
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    const Bytes cell = random_bytes(rng, kCellSize);
    const Key32 l1 = random_key(rng), i1 = random_key(rng), l2 = random_key(rng), i2 = random_key(rng);

    TunnelManager m;
    m.transit.push_back(transit_of(hop_with(l1, i1, 5, 6), false));
    auto relayed = m.relay_cell(5, cell);
    ASSERT_TRUE(relayed && *relayed);
    EXPECT_EQ((*relayed)->cell, openssl_add_layer(l1, i1, cell));

    Tunnel t;
    t.hops = {hop_with(l1, i1, 1, 2), hop_with(l2, i2, 2, 3)};
    auto clear = t.decrypt_inbound_cell(cell);
    ASSERT_TRUE(clear.has_value());
    EXPECT_EQ(*clear, openssl_remove_layer(l1, i1, openssl_remove_layer(l2, i2, cell)));

    for (crypto::Engine engine : {crypto::Engine::Best, crypto::Engine::Portable}) {
      Bytes work = cell;
      add_layer(LayerEncryptKeys::expand(l2, i2, engine), CellSpan(work.data(), kCellSize));
      EXPECT_EQ(work, openssl_add_layer(l2, i2, cell));
      work = cell;
      remove_layer(LayerDecryptKeys::expand(l2, i2, engine), CellSpan(work.data(), kCellSize));
      EXPECT_EQ(work, openssl_remove_layer(l2, i2, cell));
    }
  }
}

// Several cells layered together, each under its own hop's keys (some hops shared), as
// one add_layer each through OpenSSL; counts around the group of eight.
TEST(HopLayer, ManyCellsMatchOpenSsl) {
  std::mt19937_64 rng(0x3a9e);
  for (crypto::Engine engine : {crypto::Engine::Best, crypto::Engine::Portable}) {
    for (std::size_t count : {0u, 1u, 4u, 8u, 9u, 17u}) {
      SCOPED_TRACE(testing::Message() << "engine " << static_cast<int>(engine) << ", " << count << " cells");
      std::vector<Key32> layer_keys, iv_keys;
      std::vector<LayerEncryptKeys> expanded;
      std::vector<Bytes> cells, work;
      for (std::size_t i = 0; i < count; ++i) {
        if (i % 4 == 3) {
          layer_keys.push_back(layer_keys.back());
          iv_keys.push_back(iv_keys.back());
        } else {
          layer_keys.push_back(random_key(rng));
          iv_keys.push_back(random_key(rng));
        }
        expanded.push_back(LayerEncryptKeys::expand(layer_keys.back(), iv_keys.back(), engine));
        cells.push_back(random_bytes(rng, kCellSize));
      }
      work = cells;
      std::vector<const LayerEncryptKeys*> keys;
      std::vector<std::uint8_t*> spans;
      for (std::size_t i = 0; i < count; ++i) {
        keys.push_back(&expanded[i]);
        spans.push_back(work[i].data());
      }
      add_layers(keys, spans);
      for (std::size_t i = 0; i < count; ++i) {
        EXPECT_EQ(work[i], openssl_add_layer(layer_keys[i], iv_keys[i], cells[i])) << "cell " << i;
      }
      // And their removal, the same way.
      std::vector<LayerDecryptKeys> dec_expanded;
      std::vector<const LayerDecryptKeys*> dec_keys;
      for (std::size_t i = 0; i < count; ++i) {
        dec_expanded.push_back(LayerDecryptKeys::expand(layer_keys[i], iv_keys[i], engine));
      }
      for (std::size_t i = 0; i < count; ++i) dec_keys.push_back(&dec_expanded[i]);
      work = cells;
      remove_layers(dec_keys, spans);
      for (std::size_t i = 0; i < count; ++i) {
        EXPECT_EQ(work[i], openssl_remove_layer(layer_keys[i], iv_keys[i], cells[i])) << "cell " << i;
      }
    }
  }
}

// The gateway's preparation of a message's cells at once: each cell as prepare_outbound_cell
// leaves it (OpenSSL's removal of the last hop's layer, then the first's); a cell of the
// wrong size refuses the whole call, changing nothing.
TEST(HopLayer, PrepareOutboundCellsTogether) {
  std::mt19937_64 rng(0x9a7e);
  const Key32 l1 = random_key(rng), i1 = random_key(rng), l2 = random_key(rng), i2 = random_key(rng);
  Tunnel t;
  t.outbound = true;
  t.hops = {hop_with(l1, i1, 1, 2), hop_with(l2, i2, 2, 3)};
  std::vector<Bytes> cells;
  for (int i = 0; i < 11; ++i) cells.push_back(random_bytes(rng, kCellSize));
  std::vector<Bytes> work = cells;
  ASSERT_TRUE(t.prepare_outbound_cells(work).has_value());
  for (std::size_t i = 0; i < cells.size(); ++i) {
    EXPECT_EQ(work[i], openssl_remove_layer(l1, i1, openssl_remove_layer(l2, i2, cells[i]))) << i;
  }
  work = cells;
  work[4].pop_back();
  const std::vector<Bytes> before = work;
  auto refused = t.prepare_outbound_cells(work);
  ASSERT_FALSE(refused.has_value());
  EXPECT_TRUE(refused.error().is(TunnelError::InvalidLength));
  EXPECT_EQ(work, before);
}

TEST(HopLayer, RoundTrips) {
  std::mt19937_64 rng(0x1a7e5);
  const Bytes clear = random_bytes(rng, kCellSize);
  const Key32 l1 = random_key(rng), i1 = random_key(rng), l2 = random_key(rng), i2 = random_key(rng);

  // Inbound, one hop: the gateway's layer comes off at this router.
  TunnelManager gateway_side;
  gateway_side.transit.push_back(transit_of(hop_with(l1, i1, 9, 10), false));
  auto relayed = gateway_side.relay_cell(9, clear);
  ASSERT_TRUE(relayed && *relayed);
  EXPECT_NE((*relayed)->cell, clear);
  Tunnel inbound;
  inbound.hops = {hop_with(l1, i1, 9, 10)};
  EXPECT_EQ(*inbound.decrypt_inbound_cell((*relayed)->cell), clear);

  // Outbound, two hops: layers added in advance, then each hop strips its own.
  Tunnel outbound;
  outbound.outbound = true;
  outbound.hops = {hop_with(l1, i1, 20, 21), hop_with(l2, i2, 21, 0)};
  auto prepared = outbound.prepare_outbound_cell(clear);
  ASSERT_TRUE(prepared.has_value());
  TunnelManager first, second;
  first.transit.push_back(transit_of(outbound.hops[0], false));
  second.transit.push_back(transit_of(outbound.hops[1], true));
  auto at_first = first.relay_cell(20, *prepared);
  ASSERT_TRUE(at_first && *at_first);
  EXPECT_EQ((*at_first)->next_tunnel_id, 21u);
  EXPECT_FALSE((*at_first)->is_endpoint);
  auto at_second = second.relay_cell((*at_first)->next_tunnel_id, (*at_first)->cell);
  ASSERT_TRUE(at_second && *at_second);
  EXPECT_TRUE((*at_second)->is_endpoint);
  EXPECT_EQ((*at_second)->cell, clear);
}

TEST(HopLayer, RelayPicksTheFirstHopOnThatId) {
  const Bytes cell = pattern(kCellSize, 4);
  TunnelManager m;
  m.transit.push_back(transit_of(hop_with(tunnel_test::key32(1), tunnel_test::key32(2), 3, 30), false));
  m.transit.push_back(transit_of(hop_with(tunnel_test::key32(5), tunnel_test::key32(6), 3, 31), true));
  auto r = m.relay_cell(3, cell);
  ASSERT_TRUE(r && *r);
  EXPECT_EQ((*r)->next_tunnel_id, 30u);
  EXPECT_EQ((*r)->cell, openssl_add_layer(tunnel_test::key32(1), tunnel_test::key32(2), cell));
}

TEST(HopLayer, LengthRefusals) {
  TunnelManager m;
  m.transit.push_back(transit_of(hop_with(tunnel_test::key32(1), tunnel_test::key32(2), 3, 4), false));
  Tunnel t;
  t.hops = {hop_with(tunnel_test::key32(1), tunnel_test::key32(2), 3, 4)};
  for (std::size_t size : {1023u, 1025u, 0u}) {
    const Bytes cell(size, 7);
    const std::string expected = msg("TunnelData cell must be 1024 bytes, got ", size);
    auto relayed = m.relay_cell(3, cell);
    ASSERT_FALSE(relayed.has_value());
    EXPECT_TRUE(relayed.error().is(TunnelError::InvalidLength));
    EXPECT_EQ(relayed.error().message(), expected);
    auto clear = t.decrypt_inbound_cell(cell);
    ASSERT_FALSE(clear.has_value());
    EXPECT_TRUE(clear.error().is(TunnelError::InvalidLength));
    EXPECT_EQ(clear.error().message(), expected);

    // No hop receives on 99: nothing, whatever the cell. A tunnel without hops has no
    // layer to remove.
    auto unknown = m.relay_cell(99, cell);
    ASSERT_TRUE(unknown.has_value());
    EXPECT_FALSE(unknown->has_value());
    EXPECT_EQ(*Tunnel{}.decrypt_inbound_cell(cell), cell);
  }
}

// Hop records keep their expanded keys; keys changed after a cell went through must
// take effect, on the record and on its copies.
TEST(HopLayer, RecordsFollowTheirKeys) {
  std::mt19937_64 rng(0xcace);
  const Bytes cell = random_bytes(rng, kCellSize);
  const Key32 l1 = random_key(rng), i1 = random_key(rng), l2 = random_key(rng), i2 = random_key(rng);

  TunnelManager m;
  m.transit.push_back(transit_of(hop_with(l1, i1, 3, 4), false));
  EXPECT_EQ((*m.relay_cell(3, cell))->cell, openssl_add_layer(l1, i1, cell));
  const TunnelManager copy = m;
  m.transit[0].iv_key = i2;
  EXPECT_EQ((*m.relay_cell(3, cell))->cell, openssl_add_layer(l1, i2, cell));
  m.transit[0].layer_key = l2;
  EXPECT_EQ((*m.relay_cell(3, cell))->cell, openssl_add_layer(l2, i2, cell));
  EXPECT_EQ((*copy.relay_cell(3, cell))->cell, openssl_add_layer(l1, i1, cell));

  Tunnel t;
  t.hops = {hop_with(l1, i1, 1, 2)};
  EXPECT_EQ(*t.decrypt_inbound_cell(cell), openssl_remove_layer(l1, i1, cell));
  Tunnel other = t;
  other.hops[0].layer_key = l2;
  EXPECT_EQ(*other.decrypt_inbound_cell(cell), openssl_remove_layer(l2, i1, cell));
  EXPECT_EQ(*t.decrypt_inbound_cell(cell), openssl_remove_layer(l1, i1, cell));
  // The cache is no part of a record's value.
  EXPECT_EQ(t.hops[0], hop_with(l1, i1, 1, 2));
}

}  // namespace
}  // namespace tunnel
