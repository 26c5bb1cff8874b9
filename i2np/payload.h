#pragma once
// Typed bodies of the I2NP messages the router handles, and their byte layouts.
#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "common/hash.h"
#include "encoding/bytes.h"
#include "encoding/error.h"
#include "encoding/writer.h"
#include "i2np/message_type.h"

namespace i2np {

struct I2npPayload {
  struct DatabaseStore {
    common::Hash key;
    std::uint8_t store_type = 0;
    std::uint32_t reply_token = 0;              // 0: no acknowledgement wanted
    std::uint32_t reply_tunnel_id = 0;          // 0 when reply_token is 0
    std::optional<common::Hash> reply_gateway;  // present when reply_token is not 0
    Bytes data;

    friend bool operator==(const DatabaseStore&, const DatabaseStore&) = default;
  };

  struct DatabaseLookup {
    static constexpr std::uint8_t kFlagTunnelReply = 0x01;  // reply_tunnel_id on the wire
    static constexpr std::uint8_t kFlagEncrypted = 0x02;    // encrypted reply, 32-byte tags
    static constexpr std::uint8_t kFlagEciesTags = 0x10;    // encrypted reply, 8-byte tags
    static constexpr std::uint8_t kLookupKindMask = 0x0c;

    common::Hash key;
    common::Hash from;
    std::uint8_t flags = 0;
    std::optional<std::uint32_t> reply_tunnel_id;
    std::vector<common::Hash> excluded_peers;  // at most 65535
    std::optional<Bytes> reply_key;            // 32 bytes, encrypted lookups only
    std::vector<Bytes> reply_tags;             // 1..255, encrypted lookups only

    bool encrypted() const { return (flags & (kFlagEncrypted | kFlagEciesTags)) != 0; }
    std::size_t tag_length() const { return (flags & kFlagEciesTags) != 0 ? 8 : 32; }

    friend bool operator==(const DatabaseLookup&, const DatabaseLookup&) = default;
  };

  struct DatabaseSearchReply {
    common::Hash key;
    std::vector<common::Hash> peers;  // at most 255
    common::Hash from;

    friend bool operator==(const DatabaseSearchReply&, const DatabaseSearchReply&) = default;
  };

  struct DeliveryStatus {
    std::uint32_t msg_id = 0;
    std::uint64_t timestamp = 0;  // ms since 1970

    friend bool operator==(const DeliveryStatus&, const DeliveryStatus&) = default;
  };

  struct Garlic {
    Bytes data;

    friend bool operator==(const Garlic&, const Garlic&) = default;
  };

  struct TunnelData {
    static constexpr std::size_t kDataSize = 1024;

    std::uint32_t tunnel_id = 0;
    Bytes data;  // exactly 1024 bytes

    friend bool operator==(const TunnelData&, const TunnelData&) = default;
  };

  struct TunnelGateway {
    std::uint32_t tunnel_id = 0;
    Bytes data;  // a complete message with the standard header, at most 65535 bytes

    friend bool operator==(const TunnelGateway&, const TunnelGateway&) = default;
  };

  struct Data {
    Bytes data;

    friend bool operator==(const Data&, const Data&) = default;
  };

  static constexpr std::size_t kBuildRecordSize = 218;

  struct ShortTunnelBuild {
    std::vector<Bytes> records;  // 218 bytes each, at most 255

    friend bool operator==(const ShortTunnelBuild&, const ShortTunnelBuild&) = default;
  };

  struct OutboundTunnelBuildReply {
    std::vector<Bytes> records;  // 218 bytes each, at most 255

    friend bool operator==(const OutboundTunnelBuildReply&, const OutboundTunnelBuildReply&) = default;
  };

  // Types the router does not decode, with the whole body kept.
  struct Unknown {
    I2npMessageType msg_type = I2npMessageType::from_byte(0);
    Bytes body;

    friend bool operator==(const Unknown&, const Unknown&) = default;
  };

  std::variant<DatabaseStore, DatabaseLookup, DatabaseSearchReply, DeliveryStatus, Garlic, TunnelData, TunnelGateway,
               Data, ShortTunnelBuild, OutboundTunnelBuildReply, Unknown>
      value;

  I2npMessageType msg_type() const;
  // The body bytes. Fails with I2npError::Invalid when a required field is missing or
  // a count or length does not fit its field.
  Result<Bytes> encode_body() const;
  // The same body appended to w, so that a message's header and body share one buffer.
  // On failure w may hold part of the body.
  Result<void> encode_body_to(encoding::Writer& w) const;
  // The body's size for the types that carry bytes (exact for those), a small guess for
  // the others: what an encoder reserves.
  std::size_t body_size_hint() const;
  // Reads the body by the type; bytes after a complete body are ignored.
  static Result<I2npPayload> decode_body(I2npMessageType type, ByteView body);

  friend bool operator==(const I2npPayload&, const I2npPayload&) = default;
};

}  // namespace i2np
