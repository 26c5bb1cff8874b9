#pragma once
// The one buffer every outgoing garlic message is built in: room for the message's clear
// head (keys, tags, encrypted static key), then the encoded blocks, then room for the AEAD
// tag. The sender fills the head and seals the blocks where they lie, so nothing is copied
// and the buffer is allocated once at its final size.
#include <cstddef>
#include <cstdint>
#include <span>

#include "encoding/bytes.h"
#include "encoding/error.h"
#include "ratchet/block.h"

namespace ratchet {

inline constexpr std::size_t kAeadTagLen = 16;

struct SealedLayout {
  Bytes buf;  // head_len + payload_len + 16 bytes
  std::size_t head_len = 0;
  std::size_t payload_len = 0;

  std::span<std::uint8_t> head() { return std::span(buf).first(head_len); }
  // The encoded blocks, before sealing.
  ByteView plaintext() const { return ByteView(buf).subspan(head_len, payload_len); }
  // Where the ciphertext and its tag go: over the plaintext and the tag room.
  std::span<std::uint8_t> sealed() { return std::span(buf).subspan(head_len); }
};

// The blocks encoded after head_len bytes of room, with 16 bytes of tag room at the end;
// the leading blocks, when given, go before them. Fails with the block limit error of
// encode_blocks.
Result<SealedLayout> lay_out_blocks(std::size_t head_len, std::span<const RatchetBlock> blocks,
                                    std::span<const RatchetBlock> leading = {});

}  // namespace ratchet
