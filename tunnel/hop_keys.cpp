#include "tunnel/hop_keys.h"

#include <algorithm>
#include <string_view>

#include "crypto/hkdf.h"
#include "encoding/bytes.h"

namespace tunnel {

namespace {

// One step of the chain: ck moves on to the first half, the second half is returned.
Result<Key32> step(Key32& ck, std::string_view label, std::array<std::uint8_t, 8>* head = nullptr) {
  auto out = crypto::hkdf(ck, {}, as_bytes(label), 64);
  if (!out) return wrap(TunnelError::Crypto, std::move(out.error()));
  if (head != nullptr) std::copy_n(out->begin(), 8, head->begin());
  std::copy_n(out->begin(), 32, ck.begin());
  Key32 second;
  std::copy_n(out->begin() + 32, 32, second.begin());
  return second;
}

}  // namespace

Result<HopKeys> derive_hop_keys(const Key32& ck, const Key32& h, bool outbound_endpoint) {
  HopKeys keys;
  keys.reply_ad = h;
  Key32 chain = ck;
  auto reply = step(chain, "SMTunnelReplyKey");
  if (!reply) return std::unexpected(std::move(reply.error()));
  keys.reply_key = *reply;
  auto layer = step(chain, "SMTunnelLayerKey");
  if (!layer) return std::unexpected(std::move(layer.error()));
  keys.layer_key = *layer;
  if (!outbound_endpoint) {
    keys.iv_key = chain;
    return keys;
  }
  auto iv = step(chain, "TunnelLayerIVKey");
  if (!iv) return std::unexpected(std::move(iv.error()));
  keys.iv_key = *iv;
  std::array<std::uint8_t, 8> tag{};
  auto garlic = step(chain, "RGarlicKeyAndTag", &tag);
  if (!garlic) return std::unexpected(std::move(garlic.error()));
  keys.garlic_reply_key = *garlic;
  keys.garlic_reply_tag = tag;
  return keys;
}

std::array<std::uint8_t, 12> make_slot_nonce(std::uint64_t slot) {
  std::array<std::uint8_t, 12> nonce{};
  for (std::size_t i = 0; i < 8; ++i) nonce[4 + i] = static_cast<std::uint8_t>(slot >> (8 * i));
  return nonce;
}

}  // namespace tunnel
