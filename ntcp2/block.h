#pragma once
// The blocks that every NTCP2 payload is made of: type (one byte), body length (u16
// big-endian) and body. A decrypted data frame and the second part of SessionConfirmed
// are each a list of blocks.
#include <cstdint>
#include <variant>
#include <vector>

#include "encoding/bytes.h"
#include "encoding/error.h"
#include "encoding/variant_of.h"
#include "i2np/payload.h"

namespace ntcp2 {

inline constexpr std::uint8_t kBlockDateTime = 0;
inline constexpr std::uint8_t kBlockOptions = 1;
inline constexpr std::uint8_t kBlockRouterInfo = 2;
inline constexpr std::uint8_t kBlockI2np = 3;
inline constexpr std::uint8_t kBlockTermination = 4;
inline constexpr std::uint8_t kBlockPadding = 254;

struct Ntcp2BlockKinds {
  struct DateTime {
    std::uint32_t seconds = 0;  // unix seconds
    bool operator==(const DateTime&) const = default;
  };
  struct Options {
    Bytes data;
    bool operator==(const Options&) const = default;
  };
  struct RouterInfo {
    std::uint8_t flag = 0;
    Bytes data;  // an encoded common::RouterInfo
    bool operator==(const RouterInfo&) const = default;
  };
  struct I2np {
    Bytes data;  // one I2NP message with the 9-byte short header
    bool operator==(const I2np&) const = default;
  };
  struct Termination {
    std::uint64_t valid_received = 0;
    std::uint8_t reason = 0;
    Bytes extra;
    bool operator==(const Termination&) const = default;
  };
  struct Padding {
    Bytes data;
    bool operator==(const Padding&) const = default;
  };
  struct Unknown {
    std::uint8_t block_type = 0;
    Bytes data;
    bool operator==(const Unknown&) const = default;
  };

  using Value = std::variant<DateTime, Options, RouterInfo, I2np, Termination, Padding, Unknown>;
};

struct Ntcp2Block : encoding::VariantOf<Ntcp2BlockKinds> {
  using VariantOf::VariantOf;
};

// The blocks in order, each with its header. Fails with Ntcp2Error::Malformed at the
// first block whose body does not fit a 16-bit length; nothing is returned then.
Result<Bytes> encode_blocks(const std::vector<Ntcp2Block>& blocks);

// One I2np block of a message with the short header, appended to out as encode_blocks
// writes it, without building the message apart first. Fails with out as it was: a
// message that cannot be encoded with Ntcp2Error::I2np, one too long for a block with
// Ntcp2Error::Malformed.
Result<void> append_i2np_block(Bytes& out, std::uint32_t msg_id, std::uint32_t expiration_s,
                               const i2np::I2npPayload& payload);

// The blocks of a decrypted frame or SessionConfirmed payload in wire order. A block cut
// short is Ntcp2Error::Encoding; a body too short for its type is Ntcp2Error::Malformed.
Result<std::vector<Ntcp2Block>> decode_blocks(ByteView bytes);

}  // namespace ntcp2
