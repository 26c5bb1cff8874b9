#include "ratchet/key_schedule.h"

#include <algorithm>
#include <string_view>

#include "crypto/hkdf.h"
#include "noise/cipher_state.h"

namespace ratchet {
namespace {

constexpr std::string_view kInfoDhRatchetStep = "KDFDHRatchetStep";
constexpr std::string_view kInfoTagAndKeyGen = "TagAndKeyGenKeys";
constexpr std::string_view kInfoStInit = "STInitialization";
constexpr std::string_view kInfoSessionTag = "SessionTagKeyGen";
constexpr std::string_view kInfoSymmetricRatchet = "SymmetricRatchet";
constexpr std::string_view kInfoReplyTags = "SessionReplyTags";
constexpr std::string_view kInfoAttachPayload = "AttachPayloadKDF";

// 64 bytes of HKDF output as its two halves.
struct Halves {
  Key32 first{};
  Key32 second{};
};

Result<Halves> hkdf64(ByteView salt, ByteView ikm, std::string_view info) {
  std::array<std::uint8_t, 64> okm;
  if (auto done = crypto::hkdf_into(salt, ikm, as_bytes(info), okm); !done) {
    return wrap(RatchetError::Crypto, std::move(done.error()));
  }
  Halves h;
  std::copy_n(okm.begin(), 32, h.first.begin());
  std::copy_n(okm.begin() + 32, 32, h.second.begin());
  return h;
}

Result<Key32> hkdf32(ByteView salt, std::string_view info) {
  auto okm = crypto::hkdf(salt, {}, as_bytes(info), 32);
  if (!okm) return wrap(RatchetError::Crypto, std::move(okm.error()));
  Key32 k;
  std::copy_n(okm->begin(), 32, k.begin());
  return k;
}

}  // namespace

Result<TagSetEntry> TagSet::next_entry() {
  auto tag = hkdf64(tag_chain_key, tag_constant, kInfoSessionTag);
  if (!tag) return std::unexpected(std::move(tag.error()));
  tag_chain_key = tag->first;
  auto key = hkdf64(key_chain_key, {}, kInfoSymmetricRatchet);
  if (!key) return std::unexpected(std::move(key.error()));
  key_chain_key = key->first;

  TagSetEntry entry;
  entry.index = next_index++;
  std::copy_n(tag->second.begin(), entry.tag.size(), entry.tag.begin());
  entry.key = key->second;
  return entry;
}

Result<DhInitialized> dh_initialize(ByteView root_key, ByteView k) {
  auto step = hkdf64(root_key, k, kInfoDhRatchetStep);
  if (!step) return std::unexpected(std::move(step.error()));
  auto chains = hkdf64(step->second, {}, kInfoTagAndKeyGen);
  if (!chains) return std::unexpected(std::move(chains.error()));
  auto tags = hkdf64(chains->first, {}, kInfoStInit);
  if (!tags) return std::unexpected(std::move(tags.error()));
  return DhInitialized{step->first, TagSet{tags->first, tags->second, chains->second, 0}};
}

EciesNonce make_ecies_nonce(std::uint32_t index) { return noise::make_noise_nonce(index); }

Result<TagSet> reply_tag_set(const Key32& chaining_key) {
  auto k = hkdf32(chaining_key, kInfoReplyTags);
  if (!k) return std::unexpected(std::move(k.error()));
  auto init = dh_initialize(chaining_key, *k);
  if (!init) return std::unexpected(std::move(init.error()));
  return init->tag_set;
}

Result<SplitKeys> split_keys(const Key32& chaining_key) {
  auto k = hkdf64(chaining_key, {}, "");
  if (!k) return std::unexpected(std::move(k.error()));
  auto ab = dh_initialize(chaining_key, k->first);
  if (!ab) return std::unexpected(std::move(ab.error()));
  auto ba = dh_initialize(chaining_key, k->second);
  if (!ba) return std::unexpected(std::move(ba.error()));
  auto payload = hkdf32(k->second, kInfoAttachPayload);
  if (!payload) return std::unexpected(std::move(payload.error()));
  return SplitKeys{ab->next_root_key, ab->tag_set, ba->next_root_key, ba->tag_set, *payload};
}

}  // namespace ratchet
