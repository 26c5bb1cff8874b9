#include "tunnel/build_record.h"

#include <algorithm>

#include "crypto/chacha20.h"
#include "crypto/chacha20_poly1305.h"
#include "crypto/x25519.h"
#include "encoding/reader.h"
#include "encoding/writer.h"
#include "noise/symmetric_state.h"

namespace tunnel {

namespace {

constexpr std::size_t kKeySize = 32;
constexpr std::size_t kEphemeralOffset = kBuildRecordHashPrefix;
constexpr std::size_t kSealedOffset = kEphemeralOffset + kKeySize;

// The Noise N state both sides hold once the hop's static key, the ephemeral key and
// their DH are mixed in. private_key/public_key are the two halves of that DH.
Result<noise::SymmetricState> noise_n_state(ByteView hop_static_pub, ByteView ephemeral_pub, ByteView private_key,
                                            ByteView public_key) {
  noise::SymmetricState s = noise::SymmetricState::initialize(as_bytes(kBuildNoiseProtocol));
  s.mix_hash({});  // empty prologue
  s.mix_hash(hop_static_pub);
  s.mix_hash(ephemeral_pub);
  auto shared = crypto::x25519(private_key, public_key);
  if (!shared) return wrap(TunnelError::Crypto, std::move(shared.error()));
  s.mix_key(*shared);
  return s;
}

Result<void> chacha_layer(Bytes& record, const Key32& key, std::size_t slot) {
  const auto nonce = make_slot_nonce(slot);
  auto out = crypto::chacha20_xor(key, nonce, record);
  if (!out) return wrap(TunnelError::Crypto, std::move(out.error()));
  record = std::move(*out);
  return {};
}

Result<void> check_slots(const std::vector<Bytes>& records, const std::vector<ShortHopBuildSpec>& hops) {
  if (records.size() < hops.size()) {
    return fail(TunnelError::InvalidLength, "total_slots must be >= hops.length()");
  }
  std::vector<bool> used(records.size(), false);
  for (const ShortHopBuildSpec& hop : hops) {
    if (hop.slot_idx >= records.size()) {
      return fail(TunnelError::InvalidLength, msg("hop slot_idx out of range: ", hop.slot_idx));
    }
    if (used[hop.slot_idx]) return fail(TunnelError::Invalid, msg("duplicate hop slot_idx: ", hop.slot_idx));
    used[hop.slot_idx] = true;
    if (hop.hop_static_pub.size() != kKeySize) {
      return fail(TunnelError::InvalidLength, "hop_static_pub must be 32 bytes");
    }
  }
  return {};
}

// One hop's sealed request record and the keys its Noise state leaves.
Result<std::pair<Bytes, HopKeys>> seal_request(const ShortHopBuildSpec& hop) {
  auto fields = hop.request.encode();
  if (!fields) return std::unexpected(std::move(fields.error()));
  if (fields->size() > kBuildRequestCleartextSize) {
    return fail(TunnelError::InvalidLength, msg("ShortBuildRequestRecord exceeds 154 bytes: ", fields->size()));
  }
  Bytes cleartext(kBuildRequestCleartextSize, 0);
  std::ranges::copy(*fields, cleartext.begin());
  const std::size_t room = kBuildRequestCleartextSize - fields->size();
  std::copy_n(hop.padding.begin(), std::min(room, hop.padding.size()), cleartext.begin() + fields->size());

  auto state =
      noise_n_state(hop.hop_static_pub, hop.ephemeral.public_key, hop.ephemeral.private_key, hop.hop_static_pub);
  if (!state) return std::unexpected(std::move(state.error()));
  Bytes record(kBuildRecordSize);
  std::copy_n(hop.hop_hash.bytes.begin(), kBuildRecordHashPrefix, record.begin());
  std::ranges::copy(hop.ephemeral.public_key, record.begin() + kEphemeralOffset);
  auto sealed = state->encrypt_and_hash_into(
      cleartext, std::span<std::uint8_t>(record).subspan(kSealedOffset, kBuildRequestCleartextSize + 16));
  if (!sealed) return wrap(TunnelError::Noise, std::move(sealed.error()));
  auto keys = derive_hop_keys(state->ck, state->h, hop.request.is_outbound_endpoint());
  if (!keys) return std::unexpected(std::move(keys.error()));
  return std::pair{std::move(record), std::move(*keys)};
}

}  // namespace

Result<Bytes> ShortBuildRequestRecord::encode() const {
  encoding::Writer w(kBuildRequestCleartextSize);
  w.write_u32_be(receive_tunnel_id);
  w.write_u32_be(next_tunnel_id);
  w.write_bytes(next_ident.view());
  w.write_u8(flags);
  w.write_u16_be(0);
  w.write_u8(layer_enc_type);
  w.write_u32_be(request_time_min);
  w.write_u32_be(expiration_s);
  w.write_u32_be(next_msg_id);
  if (auto ok = options.encode(w); !ok) return wrap(TunnelError::Common, std::move(ok.error()));
  return std::move(w.buf);
}

Result<ShortBuildRequestRecord> ShortBuildRequestRecord::decode(ByteView cleartext) {
  if (cleartext.size() != kBuildRequestCleartextSize) {
    return fail(TunnelError::InvalidLength, msg("ShortBuildRequestRecord must be 154 bytes, got ", cleartext.size()));
  }
  encoding::Reader r(cleartext);
  ShortBuildRequestRecord rec;
  auto u32 = [&](std::uint32_t& field) -> Result<void> {
    auto v = r.read_u32_be();
    if (!v) return wrap(TunnelError::Encoding, std::move(v.error()));
    field = *v;
    return {};
  };
  if (auto ok = u32(rec.receive_tunnel_id); !ok) return std::unexpected(std::move(ok.error()));
  if (auto ok = u32(rec.next_tunnel_id); !ok) return std::unexpected(std::move(ok.error()));
  auto ident = common::Hash::decode(r);
  if (!ident) return wrap(TunnelError::Common, std::move(ident.error()));
  rec.next_ident = *ident;
  auto flags = r.read_u8();
  if (!flags) return wrap(TunnelError::Encoding, std::move(flags.error()));
  rec.flags = *flags;
  if (auto ok = r.skip(2); !ok) return wrap(TunnelError::Encoding, std::move(ok.error()));
  auto layer = r.read_u8();
  if (!layer) return wrap(TunnelError::Encoding, std::move(layer.error()));
  rec.layer_enc_type = *layer;
  if (auto ok = u32(rec.request_time_min); !ok) return std::unexpected(std::move(ok.error()));
  if (auto ok = u32(rec.expiration_s); !ok) return std::unexpected(std::move(ok.error()));
  if (auto ok = u32(rec.next_msg_id); !ok) return std::unexpected(std::move(ok.error()));
  auto options = common::Mapping::decode(r);
  if (!options) return wrap(TunnelError::Common, std::move(options.error()));
  rec.options = std::move(*options);
  return rec;
}

Result<SlotKeys> write_short_build_requests(std::vector<Bytes>& records, const std::vector<ShortHopBuildSpec>& hops) {
  if (auto ok = check_slots(records, hops); !ok) return std::unexpected(std::move(ok.error()));
  SlotKeys keys;
  keys.reserve(hops.size());
  for (const ShortHopBuildSpec& hop : hops) {
    auto sealed = seal_request(hop);
    if (!sealed) return std::unexpected(std::move(sealed.error()));
    records[hop.slot_idx] = std::move(sealed->first);
    keys.emplace_back(hop.slot_idx, std::move(sealed->second));
  }
  // Hop Y's record passes hops 0..Y-1 first, each of which puts its layer over it:
  // ChaCha20 is its own inverse, so applying those layers now leaves the record sealed
  // when it reaches Y.
  for (std::size_t y = 1; y < keys.size(); ++y) {
    for (std::size_t earlier = 0; earlier < y; ++earlier) {
      if (auto ok = chacha_layer(records[keys[y].first], keys[earlier].second.reply_key, keys[y].first); !ok) {
        return std::unexpected(std::move(ok.error()));
      }
    }
  }
  return keys;
}

ByteView build_record_ephemeral(ByteView record) {
  if (record.size() < kSealedOffset) return {};
  return record.subspan(kEphemeralOffset, kKeySize);
}

Result<OpenedBuildRequest> open_short_build_request(const noise::KeyPair& own_static, ByteView record) {
  if (record.size() != kBuildRecordSize) {
    return fail(TunnelError::InvalidLength, msg("ShortTunnelBuild record must be 218 bytes, got ", record.size()));
  }
  const ByteView ephemeral = build_record_ephemeral(record);
  auto state = noise_n_state(own_static.public_key, ephemeral, own_static.private_key, ephemeral);
  if (!state) return std::unexpected(std::move(state.error()));
  auto cleartext = state->decrypt_and_hash(record.subspan(kSealedOffset));
  if (!cleartext) return wrap(TunnelError::Noise, std::move(cleartext.error()));
  auto request = ShortBuildRequestRecord::decode(*cleartext);
  if (!request) return std::unexpected(std::move(request.error()));
  auto keys = derive_hop_keys(state->ck, state->h, request->is_outbound_endpoint());
  if (!keys) return std::unexpected(std::move(keys.error()));
  return OpenedBuildRequest{std::move(*request), std::move(*keys)};
}

Result<void> write_short_build_reply(std::vector<Bytes>& records, std::size_t own_slot, const HopKeys& keys,
                                     const std::array<std::uint8_t, 8>& random, std::uint8_t code) {
  if (own_slot >= records.size()) {
    return fail(TunnelError::InvalidLength, msg("reply slot index out of bounds: ", own_slot));
  }
  for (const Bytes& record : records) {
    if (record.size() != kBuildRecordSize) {
      return fail(TunnelError::InvalidLength, msg("ShortTunnelBuild record must be 218 bytes, got ", record.size()));
    }
  }
  // An empty reply Mapping (two zero bytes), the random bytes, zeros, the code.
  std::array<std::uint8_t, kBuildReplyCleartextSize> cleartext{};
  std::ranges::copy(random, cleartext.begin() + 2);
  cleartext[kBuildReplyCodeOffset] = code;
  const auto nonce = make_slot_nonce(own_slot);
  auto sealed = crypto::aead_chacha20_poly1305_encrypt(keys.reply_key, nonce, keys.reply_ad, cleartext);
  if (!sealed) return wrap(TunnelError::Crypto, std::move(sealed.error()));
  records[own_slot] = std::move(*sealed);
  for (std::size_t j = 0; j < records.size(); ++j) {
    if (j == own_slot) continue;
    if (auto ok = chacha_layer(records[j], keys.reply_key, j); !ok) return std::unexpected(std::move(ok.error()));
  }
  return {};
}

Result<std::vector<std::uint8_t>> open_short_build_replies(const std::vector<Bytes>& records,
                                                           const SlotKeys& hop_keys) {
  std::vector<std::uint8_t> codes;
  codes.reserve(hop_keys.size());
  for (std::size_t k = 0; k < hop_keys.size(); ++k) {
    const auto& [slot, keys] = hop_keys[k];
    if (slot >= records.size()) return fail(TunnelError::InvalidLength, msg("reply slot index out of bounds: ", slot));
    if (records[slot].size() != kBuildRecordSize) {
      return fail(TunnelError::InvalidLength,
                  msg("ShortBuildReplyRecord must be 218 bytes, got ", records[slot].size()));
    }
    // The hops after k each put their layer over k's reply.
    Bytes record = records[slot];
    for (std::size_t later = k + 1; later < hop_keys.size(); ++later) {
      if (auto ok = chacha_layer(record, hop_keys[later].second.reply_key, slot); !ok) {
        return std::unexpected(std::move(ok.error()));
      }
    }
    const auto nonce = make_slot_nonce(slot);
    auto cleartext = crypto::aead_chacha20_poly1305_decrypt(keys.reply_key, nonce, keys.reply_ad, record);
    if (!cleartext) return wrap(TunnelError::Crypto, std::move(cleartext.error()));
    codes.push_back((*cleartext)[kBuildReplyCodeOffset]);
  }
  return codes;
}

}  // namespace tunnel
