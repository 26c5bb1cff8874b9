// One-shot garlic: router garlic sealed and opened with a 1 KiB payload, beside the raw cost
// of what it is made of (two X25519 operations and ChaCha20-Poly1305 both ways over the same
// payload, with our own primitives) in the same run, so the framing and Noise hashing on
// top shows as the gap. Then the block decoder in bytes per second over a 64 KiB payload of
// small cloves.
#include <benchmark/benchmark.h>

#include "crypto/chacha20_poly1305.h"
#include "crypto/x25519.h"
#include "noise/key_pair.h"
#include "ratchet/block.h"
#include "ratchet/clove.h"
#include "ratchet/router_garlic.h"

namespace {

noise::KeyPair key(std::uint8_t seed) { return *noise::KeyPair::from_private(Bytes(32, seed)); }

ratchet::RatchetBlocks one_kib_payload() {
  // One Data clove; with the block and clove headers the payload is 1024 bytes.
  const std::size_t data_len = 1024 - 3 - 1 - 9 - 4;
  auto clove = ratchet::garlic_clove_block(ratchet::CloveDelivery::Local{}, 1, 2,
                                           i2np::I2npPayload{i2np::I2npPayload::Data{Bytes(data_len, 0x5a)}});
  return {*clove};
}

void BM_RouterGarlicSealOpen(benchmark::State& state) {
  const noise::KeyPair router = key(1), ephemeral = key(2);
  const ratchet::RatchetBlocks blocks = one_kib_payload();
  if (ratchet::encode_blocks(blocks)->size() != 1024) state.SkipWithError("payload is not 1 KiB");
  for (auto _ : state) {
    auto sealed = ratchet::encrypt_router_garlic(router.public_key, ephemeral, blocks);
    auto opened = ratchet::decrypt_router_garlic(router, *sealed);
    if (!opened) state.SkipWithError("open failed");
    benchmark::DoNotOptimize(opened);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RouterGarlicSealOpen)->Unit(benchmark::kMicrosecond);

// The reference: the same two DH operations and the AEAD both ways over 1 KiB, nothing else.
void BM_RouterGarlicRawParts(benchmark::State& state) {
  const noise::KeyPair router = key(1), ephemeral = key(2);
  const Bytes payload(1024, 0x5a), nonce(12, 0), ad(32, 3);
  for (auto _ : state) {
    auto dh1 = crypto::x25519(ephemeral.private_key, router.public_key);
    auto dh2 = crypto::x25519(router.private_key, ephemeral.public_key);
    auto ct = crypto::aead_chacha20_poly1305_encrypt(*dh1, nonce, ad, payload);
    auto pt = crypto::aead_chacha20_poly1305_decrypt(*dh2, nonce, ad, *ct);
    benchmark::DoNotOptimize(pt);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RouterGarlicRawParts)->Unit(benchmark::kMicrosecond);

void BM_DecodeBlocksSmallCloves(benchmark::State& state) {
  ratchet::RatchetBlocks blocks;
  std::size_t size = 0;
  std::uint32_t id = 1;
  while (size < 64 * 1024 - 64) {
    auto clove = ratchet::garlic_clove_block(ratchet::CloveDelivery::Local{}, id++, 2,
                                             i2np::I2npPayload{i2np::I2npPayload::Data{Bytes(40, 0x5a)}});
    size += 3 + clove->get_if<ratchet::RatchetBlock::GarlicClove>()->message.size() + 1;
    blocks.push_back(std::move(*clove));
  }
  const Bytes payload = *ratchet::encode_blocks(blocks);
  for (auto _ : state) {
    auto decoded = ratchet::decode_blocks(payload);
    if (!decoded || decoded->size() != blocks.size()) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(decoded);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(payload.size()));
}
BENCHMARK(BM_DecodeBlocksSmallCloves);

}  // namespace
