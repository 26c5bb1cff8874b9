#pragma once
// The key schedule of the garlic sessions: a DH initialisation turns a root key and an input
// key into the next root key and a tag set; a tag set hands out (index, session tag, message
// key) entries from two chains that advance together; a NewSession's chaining key gives the
// reply tag set, and the chaining key after a NewSessionReply splits into the two directions.
// Every derivation is HKDF-SHA256(salt, input key material, info).
#include <array>
#include <cstdint>

#include "encoding/bytes.h"
#include "encoding/error.h"

namespace ratchet {

using Key32 = std::array<std::uint8_t, 32>;
using SessionTag = std::array<std::uint8_t, 8>;
using EciesNonce = std::array<std::uint8_t, 12>;

struct TagSetEntry {
  std::uint32_t index = 0;
  SessionTag tag{};
  Key32 key{};
  bool operator==(const TagSetEntry&) const = default;
};

// One chain of session tags and message keys, advanced in place by its owner.
struct TagSet {
  Key32 tag_chain_key{};
  Key32 tag_constant{};  // fixed for the life of the set
  Key32 key_chain_key{};
  std::uint32_t next_index = 0;

  // The entry at next_index, which then grows by one. Fails only if HKDF does
  // (RatchetError::Crypto); the tag chain may then have moved, and the caller gives up.
  Result<TagSetEntry> next_entry();

  bool operator==(const TagSet&) const = default;
};

struct DhInitialized {
  Key32 next_root_key{};
  TagSet tag_set;
};

// The next root key and a fresh tag set from root key rk and input k.
Result<DhInitialized> dh_initialize(ByteView root_key, ByteView k);

// 4 zero bytes, then index as u64 little-endian.
EciesNonce make_ecies_nonce(std::uint32_t index);

// The tags a NewSessionReply is recognised by, from the chaining key after the NewSession
// payload; both sides compute it.
Result<TagSet> reply_tag_set(const Key32& chaining_key);

// The two directions after a NewSessionReply, from the chaining key after its key section.
// The initiator sends on ab and receives on ba; the responder the other way round.
struct SplitKeys {
  Key32 root_ab{};
  TagSet tag_set_ab;
  Key32 root_ba{};
  TagSet tag_set_ba;
  Key32 reply_payload_key{};  // seals the NewSessionReply's payload
};
Result<SplitKeys> split_keys(const Key32& chaining_key);

}  // namespace ratchet
