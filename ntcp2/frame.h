#pragma once
// Data-phase frames: a 2-byte big-endian length (masked with the direction's SipHash
// mask) followed by that many bytes of ChaCha20-Poly1305 ciphertext with its tag, empty
// additional data. A frame body is 16 to 65,535 bytes, so at most 65,519 bytes of blocks.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "encoding/bytes.h"
#include "encoding/error.h"
#include "ntcp2/block.h"
#include "ntcp2/data_session.h"

namespace ntcp2 {

inline constexpr std::size_t kFrameTagLen = 16;
inline constexpr std::size_t kMaxFrameLen = 65535;
inline constexpr std::size_t kMaxFramePayload = kMaxFrameLen - kFrameTagLen;

// Encrypts one frame's plaintext (encoded blocks) and prepends its masked length. The size
// is checked before anything is encrypted: a payload over 65,519 bytes fails with
// Ntcp2Error::Malformed "NTCP2 data frame exceeds 65535 bytes: " and the ciphertext length,
// and leaves the nonce and the mask untouched, so the link stays usable.
Result<Bytes> seal_frame(Ntcp2DataSession& session, ByteView payload);

// Room left in front of a frame's payload for its length field (seal_frame_in_place).
inline constexpr std::size_t kFrameLengthLen = 2;

// The same where the frame is built: frame holds kFrameLengthLen bytes of room, then the
// payload; it becomes the wire frame (length, ciphertext, tag) without a copy. Fails as
// seal_frame; an oversized payload leaves frame, nonce and mask as they were.
Result<void> seal_frame_in_place(Ntcp2DataSession& session, Bytes& frame);

// The frame length carried in a received 2-byte length field (advances the receive mask).
Result<std::uint16_t> open_frame_length(Ntcp2DataSession& session, std::uint16_t masked);

// Decrypts a received frame body (Ntcp2Error::Noise on a wrong tag).
Result<Bytes> open_frame(Ntcp2DataSession& session, ByteView ciphertext);

// The same where the frame was received: the plaintext overwrites the first bytes of
// body, and the result views them. Nothing is written when the tag is wrong.
Result<ByteView> open_frame_in_place(Ntcp2DataSession& session, std::span<std::uint8_t> body);

}  // namespace ntcp2
