#pragma once
// The ECIES lookup reply: blocks sealed under a one-time 32-byte key and found by an 8-byte
// tag, both chosen by the requester. Lookup answers, and the outbound endpoint's build
// reply, travel this way.
//
// On the wire: the tag, then ChaCha20-Poly1305(key, 12 zero bytes, ad = the tag) of the
// block payload with its 16-byte tag.
#include <cstddef>

#include "encoding/bytes.h"
#include "encoding/error.h"
#include "ratchet/block.h"

namespace ratchet {

inline constexpr std::size_t kLookupReplyMinLen = 24;

// A key other than 32 bytes or a tag other than 8 is RatchetError::Malformed; block limits
// fail as in encode_blocks; an AEAD failure is RatchetError::Crypto.
Result<Bytes> encrypt_ecies_lookup_reply(ByteView reply_key, ByteView reply_tag, const RatchetBlocks& blocks);

// A message under 24 bytes, or a bad key or tag length, is RatchetError::Malformed. A
// message whose first 8 bytes are not the tag (compared in constant time) is refused with
// RatchetError::DecryptFailed before any decryption, as is one that does not authenticate.
Result<RatchetBlocks> decrypt_ecies_lookup_reply(ByteView reply_key, ByteView reply_tag, ByteView message);

}  // namespace ratchet
