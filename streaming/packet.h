#pragma once
// Streaming packets: the byte layout, Ed25519 signing and verification (with offline
// signatures), and the NACK field that names a SYN's receiver.
//
// Wire layout, all integers big-endian: send_stream_id, receive_stream_id, seq,
// ack_through (4 bytes each), the NACK count (1 byte) and the NACKs (4 bytes each),
// resend_delay (1), flags (2), the option size (2), the options, the payload to the end.
// Options are read and written in one fixed order whatever the flag bits suggest:
// DELAY_REQUESTED, FROM_INCLUDED, MAX_PACKET_SIZE_INCLUDED, OFFLINE_SIGNATURE,
// SIGNATURE_INCLUDED. A packet signature covers the whole packet as sent with the
// signature bytes zeroed; only Ed25519 is produced or accepted.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/destination.h"
#include "common/hash.h"
#include "common/key_types.h"
#include "common/offline_signature.h"
#include "crypto/ed25519.h"
#include "encoding/bytes.h"
#include "encoding/deflate.h"
#include "encoding/error.h"

namespace streaming {

inline constexpr std::uint16_t kSynchronize = 0x0001;
inline constexpr std::uint16_t kClose = 0x0002;
inline constexpr std::uint16_t kReset = 0x0004;
inline constexpr std::uint16_t kSignatureIncluded = 0x0008;
inline constexpr std::uint16_t kFromIncluded = 0x0020;
inline constexpr std::uint16_t kDelayRequested = 0x0040;
inline constexpr std::uint16_t kMaxPacketSizeIncluded = 0x0080;
inline constexpr std::uint16_t kEcho = 0x0200;
inline constexpr std::uint16_t kNoAck = 0x0400;
inline constexpr std::uint16_t kOfflineSignature = 0x0800;

// The fixed part: a packet without NACKs, options and payload.
inline constexpr std::size_t kPacketHeaderSize = 22;
inline constexpr std::size_t kMaxWireNacks = 255;
inline constexpr std::size_t kEd25519SignatureSize = 64;

// I2CP protocol bytes of the envelope.
inline constexpr std::uint8_t kProtocolStreaming = 6;
inline constexpr std::uint8_t kProtocolRepliableDatagram = 17;
inline constexpr std::uint8_t kProtocolRawDatagram = 18;

struct StreamingPacket {
  std::uint32_t send_stream_id = 0;
  std::uint32_t receive_stream_id = 0;
  std::uint32_t seq = 0;
  std::uint32_t ack_through = 0;
  std::vector<std::uint32_t> nacks;
  std::uint8_t resend_delay = 0;
  std::uint16_t flags = 0;  // all 16 bits as received
  std::optional<std::uint16_t> delay_requested;
  std::optional<common::Destination> from;
  std::optional<std::uint16_t> max_packet_size;
  std::optional<common::OfflineSignature> offline_signature;
  std::optional<Bytes> signature;
  Bytes payload;

  bool has(std::uint16_t flag) const { return (flags & flag) != 0; }

  // StreamingError::InvalidLength for input shorter than 22 bytes, ::Encoding for a read
  // beyond the end, ::Common for a FROM or offline block that does not decode.
  static Result<StreamingPacket> decode(ByteView bytes);

  // A copy with SIGNATURE_INCLUDED set and the 64-byte signature over the packet as it
  // will be sent; an encoding error as it is.
  Result<StreamingPacket> sign_ed25519(const crypto::Ed25519SigningKey& key) const;

  // True only for an Ed25519 signature that verifies against the sender's key, or, with an
  // offline block, against a transient Ed25519 key the sender's own Ed25519 key signed.
  // The offline block's expiry is not compared with any clock.
  bool verify_signature(const common::Destination& sender) const;

  friend bool operator==(const StreamingPacket&, const StreamingPacket&) = default;
};

// The packet's bytes. A signature_size above 0 writes that many zero bytes in place of the
// stored signature. StreamingError::InvalidFormat when a flag's option value is missing
// (the first in option order names it), ::InvalidLength for more than 255 NACKs.
Result<Bytes> encode_with_opt_zero_sig(const StreamingPacket& packet, int signature_size);

// The packet (stored signature) in an I2CP gzip envelope with protocol 6.
Result<Bytes> encode_i2cp_streaming(const StreamingPacket& packet, std::uint16_t src_port, std::uint16_t dst_port);
// The same envelope, compressed with the caller's compressor (kept between packets, it
// spares setting up the compressor's tables for each one).
Result<Bytes> encode_i2cp_streaming(const StreamingPacket& packet, std::uint16_t src_port, std::uint16_t dst_port,
                                    encoding::Deflater& deflater);

// The 32 bytes of a destination hash as 8 big-endian words, in order.
std::vector<std::uint32_t> hash_to_nacks(const common::Hash& hash);

// Bytes [start, start + length); the caller keeps the range inside the bytes.
Bytes slice_bytes(ByteView bytes, std::size_t start, std::size_t length);

// Signature length of a signing type; none for a code without one.
std::optional<std::size_t> signature_length(common::SigningPublicKeyType type);

// The offline block as it stands in the options: expiry, transient type, transient key,
// the destination's signature.
Bytes encode_offline_signature(const common::OfflineSignature& block);

}  // namespace streaming
