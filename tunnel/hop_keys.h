#pragma once
// The keys of one tunnel hop, derived from the Noise state left by its build record, and
// the nonce that ties a build record to its slot.
#include <array>
#include <cstdint>
#include <optional>

#include "encoding/error.h"

namespace tunnel {

using Key32 = std::array<std::uint8_t, 32>;

struct HopKeys {
  Key32 reply_key{};  // encrypts the hop's reply record and layers the later records
  Key32 layer_key{};  // AES-256-CBC over cell bytes 16..1023
  Key32 iv_key{};     // AES-256 over the cell IV, before and after
  Key32 reply_ad{};   // the Noise handshake hash after the request record
  // Outbound endpoint only: the one-time garlic its build reply travels in.
  std::optional<Key32> garlic_reply_key;
  std::optional<std::array<std::uint8_t, 8>> garlic_reply_tag;

  friend bool operator==(const HopKeys&, const HopKeys&) = default;
};

// A chain of HKDF-SHA256 steps (salt = chaining key, empty input key material, a
// 16-byte label, 64 bytes out; the first 32 bytes chain on): "SMTunnelReplyKey" gives
// reply_key, "SMTunnelLayerKey" layer_key. A hop that is no outbound endpoint takes the
// chaining key left then as iv_key; an outbound endpoint takes iv_key from
// "TunnelLayerIVKey" and then the garlic tag (first 8 bytes) and key (last 32) from
// "RGarlicKeyAndTag". reply_ad is h. A derivation failure is TunnelError::Crypto.
Result<HopKeys> derive_hop_keys(const Key32& ck, const Key32& h, bool outbound_endpoint);

// Four zero bytes, then the slot index as 64 bits little-endian: the ChaCha20 nonce of
// every operation on the build record in that slot.
std::array<std::uint8_t, 12> make_slot_nonce(std::uint64_t slot);

}  // namespace tunnel
