#pragma once
// The blocks that every decrypted garlic payload is made of: type (one byte), body length
// (u16 big-endian) and body, one after the other with nothing in between. Router garlic,
// lookup replies and all three session message kinds carry their payload this way.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "common/hash.h"
#include "encoding/bytes.h"
#include "encoding/error.h"
#include "encoding/variant_of.h"
#include "encoding/writer.h"

namespace ratchet {

inline constexpr std::uint8_t kBlockDateTime = 0;
inline constexpr std::uint8_t kBlockTermination = 4;
inline constexpr std::uint8_t kBlockOptions = 5;
inline constexpr std::uint8_t kBlockMessageNumber = 6;
inline constexpr std::uint8_t kBlockNextKey = 7;
inline constexpr std::uint8_t kBlockAck = 8;
inline constexpr std::uint8_t kBlockAckRequest = 9;
inline constexpr std::uint8_t kBlockGarlicClove = 11;
inline constexpr std::uint8_t kBlockPadding = 254;

// Where the sender wants a clove's message delivered. The flag byte on the wire holds the
// kind in bits 6-5: 0x00, 0x20, 0x40, 0x60.
struct CloveDeliveryKinds {
  struct Local {
    bool operator==(const Local&) const = default;
  };
  struct Destination {
    common::Hash hash;
    bool operator==(const Destination&) const = default;
  };
  struct Router {
    common::Hash hash;
    bool operator==(const Router&) const = default;
  };
  struct Tunnel {
    common::Hash gateway;
    std::uint32_t tunnel_id = 0;
    bool operator==(const Tunnel&) const = default;
  };

  using Value = std::variant<Local, Destination, Router, Tunnel>;
};

struct CloveDelivery : encoding::VariantOf<CloveDeliveryKinds> {
  using VariantOf::VariantOf;
  CloveDelivery() : VariantOf(Local{}) {}
};

struct RatchetBlockKinds {
  struct DateTime {
    std::uint32_t seconds = 0;  // unix seconds
    bool operator==(const DateTime&) const = default;
  };
  struct Termination {
    std::uint8_t reason = 0;
    Bytes data;
    bool operator==(const Termination&) const = default;
  };
  struct Options {
    Bytes data;  // carried, never interpreted
    bool operator==(const Options&) const = default;
  };
  struct MessageNumber {
    std::uint16_t number = 0;
    bool operator==(const MessageNumber&) const = default;
  };
  struct NextKey {
    static constexpr std::uint8_t kFlagKeyPresent = 0x01;
    std::uint8_t flags = 0;  // written as given; the decoder reads a key only under bit 0
    std::uint16_t key_id = 0;
    std::optional<Bytes> public_key;  // 32 bytes when present
    bool operator==(const NextKey&) const = default;
  };
  struct AckEntry {
    std::uint16_t tag_set_id = 0;
    std::uint16_t message_number = 0;
    bool operator==(const AckEntry&) const = default;
  };
  struct Ack {
    std::vector<AckEntry> entries;
    bool operator==(const Ack&) const = default;
  };
  struct AckRequest {
    std::uint8_t flags = 0;
    bool operator==(const AckRequest&) const = default;
  };
  struct GarlicClove {
    CloveDelivery delivery;
    Bytes message;  // one I2NP message with the 9-byte short header
    bool operator==(const GarlicClove&) const = default;
  };
  struct Padding {
    Bytes data;
    bool operator==(const Padding&) const = default;
  };
  // Every other type byte, kept with its body and written back unchanged.
  struct Unknown {
    std::uint8_t block_type = 0;
    Bytes data;
    bool operator==(const Unknown&) const = default;
  };

  using Value = std::variant<DateTime, Termination, Options, MessageNumber, NextKey, Ack, AckRequest, GarlicClove,
                             Padding, Unknown>;
};

struct RatchetBlock : encoding::VariantOf<RatchetBlockKinds> {
  using VariantOf::VariantOf;
};

using RatchetBlocks = std::vector<RatchetBlock>;

// The length of the encoded payload, headers included, after checking every block against
// its limit. Fails with RatchetError::Malformed at the first block that breaks one.
Result<std::size_t> encoded_blocks_size(std::span<const RatchetBlock> blocks);

// Appends the blocks to w. Only for blocks that encoded_blocks_size accepted: the limits
// are not checked again. The senders size their output with encoded_blocks_size, reserve it
// once, then write here and seal in place.
void append_blocks(encoding::Writer& w, std::span<const RatchetBlock> blocks);

// The payload of the blocks in order; an empty list gives an empty payload. Fails with
// RatchetError::Malformed at the first block that breaks its limit, returning nothing.
Result<Bytes> encode_blocks(const RatchetBlocks& blocks);

// The blocks of a payload in wire order. Each body is read from its own reader, so no field
// can run into the next block. A cut-short header, body or clove field is
// RatchetError::Encoding; a body of the wrong size for its type RatchetError::Malformed; an
// unreadable clove hash RatchetError::Common. On any failure no block is returned.
Result<RatchetBlocks> decode_blocks(ByteView payload);

}  // namespace ratchet
