#pragma once
// Router garlic: a one-shot Noise N message to a router's X25519 static key, used to send a
// clove to a router (tunnel build requests, lookups) and to open what is sent to ours.
//
// On the wire: the sender's ephemeral X25519 public key (32 bytes, plain, not Elligator2),
// then the block payload encrypted by the Noise state with its 16-byte tag. There is no
// length field; the I2NP Garlic body around it carries the length.
#include <cstddef>

#include "encoding/bytes.h"
#include "encoding/error.h"
#include "noise/key_pair.h"
#include "ratchet/block.h"

namespace ratchet {

inline constexpr std::size_t kRouterGarlicMinLen = 48;

// Seals blocks to remote_static_pub with a fresh ephemeral key pair chosen by the caller.
// A key that is not 32 bytes is RatchetError::Malformed; block limits fail as in
// encode_blocks; the X25519 failure is RatchetError::Crypto, the sealing one
// RatchetError::Noise.
Result<Bytes> encrypt_router_garlic(ByteView remote_static_pub, const noise::KeyPair& ephemeral,
                                    const RatchetBlocks& blocks);

// Opens a message sealed to own_static. Fewer than 48 bytes is RatchetError::Malformed;
// a message that does not authenticate is RatchetError::DecryptFailed; a payload that does
// is decoded by decode_blocks, whose error comes back unchanged.
Result<RatchetBlocks> decrypt_router_garlic(const noise::KeyPair& own_static, ByteView message);

}  // namespace ratchet
