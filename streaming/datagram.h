#pragma once
// Datagrams between destinations. A repliable datagram (I2CP protocol 17) is the sender's
// Destination, its signature over the payload, and the payload; a raw datagram (protocol
// 18) is the payload alone. Only Ed25519 senders are written or verified.
#include <cstdint>

#include "common/destination.h"
#include "crypto/ed25519.h"
#include "encoding/bytes.h"
#include "encoding/error.h"

namespace streaming {

struct RepliableDatagram {
  common::Destination from;
  Bytes signature;
  Bytes payload;

  // StreamingError::Common when the Destination does not decode, ::InvalidFormat
  // "unsupported RepliableDatagram signing type" for a sender type without a signature
  // length, ::Encoding when the signature is cut short.
  static Result<RepliableDatagram> decode(ByteView bytes);

  // True only for an Ed25519 sender (Key certificate) whose signature over the payload
  // verifies.
  bool verify() const;

  friend bool operator==(const RepliableDatagram&, const RepliableDatagram&) = default;
};

// The bytes of a signed repliable datagram: Destination, signature, payload.
// StreamingError::InvalidFormat unless the sender signs with Ed25519.
Result<Bytes> write_repliable_datagram(const common::Destination& sender, const crypto::Ed25519SigningKey& key,
                                       ByteView payload);

// Those bytes in an I2CP envelope with protocol 17.
Result<Bytes> encode_i2cp_repliable_datagram(const common::Destination& sender, const crypto::Ed25519SigningKey& key,
                                             ByteView payload, std::uint16_t src_port, std::uint16_t dst_port);

// A raw datagram's payload in an I2CP envelope with protocol 18.
Bytes encode_i2cp_raw_datagram(ByteView payload, std::uint16_t src_port, std::uint16_t dst_port);

}  // namespace streaming
